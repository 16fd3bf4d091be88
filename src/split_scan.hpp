// The fill pass and the candidate scan that both modes share. Samples are summed into cells of
// side statistics (side_stats.hpp), one cell per (bin, column), a column being a fold's
// validation samples (or, in Strict objective scoring, a fold's training samples). A scan over
// the bins gives every candidate's left side per column: the bins up to its own (ordered) or its
// bin alone. Fold scores follow from the left side, the column total and the parent.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "criterion.hpp"
#include "fold_picks.hpp"
#include "objective.hpp"
#include "side_stats.hpp"

namespace ornik {

// One feature of a fill: its bin count and whether every code is below it; for the scan, the
// feature's index and whether it is scored as thresholds (ordered) or as one bin against the rest.
struct BlockFeature {
  size_t n_bins = 0;
  size_t feature = 0;
  bool ordered = false;
  bool complete = false;  // every code is below n_bins: its column totals are the fill's
};

// Zero-fills the first n entries of a scratch buffer, growing it when it is shorter.
template <class T>
T* zero_scratch(std::vector<T>& buffer, size_t n) {
  if (buffer.size() < n) buffer.resize(n);
  std::fill(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n), T{});
  return buffer.data();
}

// Whether a pass adds only the class lane of each sample (see ClassLanes::kWeightAfterPass).
template <class Stats>
constexpr bool weight_after_pass() {
  if constexpr (requires { Stats::kWeightAfterPass; }) {
    return Stats::kWeightAfterPass;
  } else {
    return false;
  }
}

// Where a fill puts its cells: feature j's cell of code x in column c starts at lane
// offset[j] + x * bin_stride + c * column_stride. Bins may hold their columns side by side
// ([bin][column][lane] per feature), or each column may hold every feature's bins
// ([column][feature][bin][lane]), which keeps a pass whose samples come column by column on a
// column's cells alone.
struct CellLayout {
  const size_t* offset = nullptr;
  size_t n_columns = 0;
  size_t bin_stride = 0;
  size_t column_stride = 0;

  static CellLayout bins_outer(const size_t* offset, size_t n_columns, size_t width) {
    return {offset, n_columns, n_columns * width, width};
  }
  static CellLayout columns_outer(const size_t* offset, size_t n_columns, size_t width,
                                  size_t column_lanes) {
    return {offset, n_columns, width, column_lanes};
  }
};

// The loop of fill_cells, compiled apart for blocks whose features are all complete.
template <bool AllComplete, class Stats, class Source, class Target, class Weights>
void fill_rows(const Stats& stats, const Source& source, const Target* targets,
               const Weights& weights, std::span<const BlockFeature> features,
               const CellLayout& layout, typename Stats::Lane* cells,
               typename Stats::Lane* feature_totals, typename Stats::Lane* totals) {
  const size_t width = stats.width();
  const size_t bin_stride = layout.bin_stride;
  const size_t* const offset = layout.offset;
  const size_t spare_slot = layout.n_columns * width;  // an incomplete feature's spare total
  const size_t slot_lanes = spare_slot + width;        // one incomplete feature's own totals
  const size_t n_features = features.size();
  const BlockFeature* feature = features.data();
  const auto add = [&stats](typename Stats::Lane* cell, const auto& sample) {
    if constexpr (weight_after_pass<Stats>()) {
      stats.add_class(cell, sample);
    } else {
      stats.add(cell, sample);
    }
  };
  using Lane = typename Stats::Lane;
  using Sample = decltype(stats.sample(targets[0], 0, weights));
  // Rows are taken two at a time. Where every feature is complete a feature's offset is then
  // loaded once for both; the first row's sample still reaches each cell before the second's.
  Sample samples[2];
  Lane* row_cells[2];   // the cells of the row's column
  size_t row_total[2];  // the lane of the row's column among column totals
  decltype(source.codes(0, 0)) row_codes[2];
  for (size_t p = 0; p < source.size();) {
    size_t n = 0;
    for (; p < source.size() && n < 2; ++p) {
      source.prefetch(p, targets, weights);
      if (!source.in_node(p)) continue;
      const size_t row = source.row(p);
      const auto sample = stats.sample(targets[row], row, weights);
      if (!stats.counted(sample)) continue;
      const size_t column = source.column(p);
      row_total[n] = column * width;
      if (totals != nullptr) add(totals + row_total[n], sample);
      samples[n] = sample;
      row_cells[n] = cells + column * layout.column_stride;
      row_codes[n] = source.codes(row, p);
      ++n;
    }
    for (size_t i = 0; i < n; ++i) {
      if (AllComplete && n == 2) {
        const auto* const first_codes = row_codes[0];
        const auto* const second_codes = row_codes[1];
        for (size_t j = 0; j < n_features; ++j) {
          const size_t at = offset[j];
          add(row_cells[0] + at + first_codes[j] * bin_stride, samples[0]);
          add(row_cells[1] + at + second_codes[j] * bin_stride, samples[1]);
        }
        break;
      }
      const auto* const codes = row_codes[i];
      for (size_t j = 0; j < n_features; ++j) {
        const size_t x = codes[j];
        if (AllComplete || feature[j].complete) {
          add(row_cells[i] + offset[j] + x * bin_stride, samples[i]);
          continue;
        }
        const size_t n_bins = feature[j].n_bins;
        const bool in_range = x < n_bins;
        add(row_cells[i] + offset[j] + (in_range ? x : n_bins) * bin_stride, samples[i]);
        add(feature_totals + j * slot_lanes + (in_range ? row_total[i] : spare_slot), samples[i]);
      }
    }
  }
}

// One pass over a source's samples in order, so that every sum accumulates in that order. Each
// counted sample is added to its column's totals and, for every feature j, to the cell of its
// code and column (placed as layout says). An incomplete feature keeps column totals of its own
// (n_columns + 1 slots from slot j * (n_columns + 1)); its missing or out-of-range codes land in
// its spare bin n_bins and spare slot n_columns, which keeps them out of every cell and total
// that is read, without a branch. A null totals is left alone: with integer lanes the column
// totals may instead be summed from a complete feature's cells afterwards, and a pass shared out
// in slices adds each column's totals in one slice only. A pass of only class lanes leaves the
// weight lanes to weigh_after_pass.
// A source gives, for position p: size(), in_node(p) (whether p holds a sample), row(p) (of the
// targets and weights), column(p), codes(row, p) (the features' codes) and prefetch(p, targets,
// weights).
template <class Stats, class Source, class Target, class Weights>
void fill_samples(const Stats& stats, const Source& source, const Target* targets,
                  const Weights& weights, std::span<const BlockFeature> features,
                  const CellLayout& layout, typename Stats::Lane* cells,
                  typename Stats::Lane* feature_totals, typename Stats::Lane* totals) {
  const bool all_complete = std::all_of(features.begin(), features.end(),
                                        [](const BlockFeature& f) { return f.complete; });
  if (all_complete) {
    fill_rows<true>(stats, source, targets, weights, features, layout, cells, feature_totals,
                    totals);
  } else {
    fill_rows<false>(stats, source, targets, weights, features, layout, cells, feature_totals,
                     totals);
  }
}

// The weight lanes of every cell and total that a pass of only class lanes left to fill (not
// the spare bins and slots); nothing for other passes.
template <class Stats>
void weigh_after_pass(const Stats& stats, std::span<const BlockFeature> features,
                      const CellLayout& layout, typename Stats::Lane* cells,
                      typename Stats::Lane* feature_totals, typename Stats::Lane* totals) {
  if constexpr (weight_after_pass<Stats>()) {
    const size_t n_columns = layout.n_columns;
    for (size_t j = 0; j < features.size(); ++j) {
      for (size_t c = 0; c < n_columns; ++c) {
        typename Stats::Lane* column = cells + layout.offset[j] + c * layout.column_stride;
        for (size_t b = 0; b < features[j].n_bins; ++b)
          stats.weigh_cells(column + b * layout.bin_stride, 1);
      }
      if (!features[j].complete)
        stats.weigh_cells(feature_totals + j * (n_columns + 1) * stats.width(), n_columns);
    }
    if (totals != nullptr) stats.weigh_cells(totals, n_columns);
  }
}

// fill_samples, then weigh_after_pass.
template <class Stats, class Source, class Target, class Weights>
void fill_cells(const Stats& stats, const Source& source, const Target* targets,
                const Weights& weights, std::span<const BlockFeature> features,
                const CellLayout& layout, typename Stats::Lane* cells,
                typename Stats::Lane* feature_totals, typename Stats::Lane* totals) {
  fill_samples(stats, source, targets, weights, features, layout, cells, feature_totals, totals);
  weigh_after_pass(stats, features, layout, cells, feature_totals, totals);
}

// One feature's cells after a fill.
template <class Lane>
struct CellTable {
  const Lane* cells = nullptr;   // bin b, column c from lane b * bin_stride + c * column_stride
  const Lane* totals = nullptr;  // [column][lane]
  size_t n_columns = 0;
  size_t width = 0;
  size_t count_lane = 0;  // the lane of a side's sample count (its weight when unweighted)
  size_t bin_stride = n_columns * width;
  size_t column_stride = width;
};

// The candidates of a table: its first `count` bins. With skip_empty a bin without samples in
// any column is no candidate (its cells still count towards the next bins' left sides).
struct CandidateBins {
  size_t count = 0;
  bool ordered = false;
  bool skip_empty = false;
};

// Reusable buffers of the scans.
struct ScanScratch {
  std::vector<double> left, right, totals, parent, train_left, train_total;
  std::vector<double> scores;         // one candidate's fold scores, as emitted
  std::vector<double> side_impurity;  // every fold's left then right impurity
};

// Calls visit(b, left) for every candidate bin b in increasing order, left holding the lanes of
// its left side per column ([column][lane]).
template <class Lane, class Visit>
void scan_candidates(const CellTable<Lane>& table, const CandidateBins& bins,
                     std::vector<double>& left_buffer, Visit&& visit) {
  const size_t width = table.width;
  const size_t n_columns = table.n_columns;
  double* left = zero_scratch(left_buffer, n_columns * width);
  for (size_t b = 0; b < bins.count; ++b) {
    const Lane* cells = table.cells + b * table.bin_stride;
    bool has_weight = !bins.skip_empty;
    for (size_t c = 0; c < n_columns && !has_weight; ++c) {
      has_weight = cells[c * table.column_stride + table.count_lane] != 0;
    }
    for (size_t c = 0; c < n_columns; ++c) {
      const Lane* cell = cells + c * table.column_stride;
      double* side = left + c * width;
      if (bins.ordered) {
        for (size_t i = 0; i < width; ++i) side[i] += static_cast<double>(cell[i]);
      } else {
        for (size_t i = 0; i < width; ++i) side[i] = static_cast<double>(cell[i]);
      }
    }
    if (!has_weight) continue;
    visit(b, static_cast<const double*>(left));
  }
}

// The first n lanes of a table's totals as doubles.
template <class Lane>
double* totals_as_double(const Lane* totals, size_t n, std::vector<double>& buffer) {
  double* out = zero_scratch(buffer, n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<double>(totals[i]);
  return out;
}

// Impurity-decrease fold scores of every candidate of a table whose columns are the folds;
// emit(b, scores) receives them in bin order (a span valid during the call). A fold without samples
// or weight, or whose candidate sends all of its samples or none left, gives no score; the right
// side is the fold total minus the left.
template <class Stats, class Crit, class Lane, class Emit>
void score_impurity(const Stats& stats, const Crit& criterion, const CellTable<Lane>& table,
                    const CandidateBins& bins, ScanScratch& s, Emit&& emit) {
  const size_t n_folds = table.n_columns;
  const size_t width = table.width;
  const size_t count = table.count_lane;
  const double* totals = totals_as_double(table.totals, n_folds * width, s.totals);
  double* parent = zero_scratch(s.parent, n_folds);
  for (size_t f = 0; f < n_folds; ++f) {
    if (totals[f * width] > 0) parent[f] = stats.impurity(criterion, totals + f * width);
  }
  // Every fold's sides are scored in two calls; a fold that gives no score is skipped after.
  double* right = zero_scratch(s.right, n_folds * width);
  double* impurity = zero_scratch(s.side_impurity, 2 * n_folds);
  scan_candidates(table, bins, s.left, [&](size_t b, const double* left) {
    for (size_t i = 0; i < n_folds * width; ++i) right[i] = totals[i] - left[i];
    stats.impurities(criterion, left, width, n_folds, impurity);
    stats.impurities(criterion, right, width, n_folds, impurity + n_folds);
    std::vector<double>& scores = s.scores;
    scores.clear();
    for (size_t f = 0; f < n_folds; ++f) {
      const double* total = totals + f * width;
      const double n_left = left[f * width + count];
      if (total[0] == 0 || n_left == 0 || n_left == total[count]) continue;
      scores.push_back(impurity_decrease(parent[f], total[0], left[f * width], impurity[f],
                                         right[f * width], impurity[n_folds + f]));
    }
    emit(b, std::span<const double>(scores));
  });
}

// What a scan computes besides each candidate's impurity-decrease fold scores: the drop in
// held-out loss as the fold score instead (held_out_loss), and each fold's pick of the
// selection-aware stop test, offered to picks (when not null) as candidates of this feature.
struct ScanChoice {
  bool held_out_loss = false;
  FoldPicks* picks = nullptr;
  size_t feature = 0;

  bool needs_training() const { return held_out_loss || picks != nullptr; }
};

// A scan whose candidates also see each fold's training lanes. The table's first n_folds columns
// are the folds' validation samples; fold f's training samples are column n_folds + f when the
// table has 2 * n_folds columns (Strict mode), or else every other column (Fast mode, where each
// sample validates one fold and trains the others). start(val_total, train_total) is called once
// with the folds' totals, then visit(b, val_left, train_left) for every candidate bin b (each
// [fold][lane]).
template <class Lane, class Start, class Visit>
void scan_with_training(const CellTable<Lane>& table, size_t n_folds, const CandidateBins& bins,
                        ScanScratch& s, Start&& start, Visit&& visit) {
  const size_t width = table.width;
  const size_t fold_lanes = n_folds * width;
  const bool own_train = table.n_columns == 2 * n_folds;
  const double* totals = totals_as_double(table.totals, table.n_columns * width, s.totals);
  // Each fold's training totals: the rest of the node when not counted apart.
  double* derived = own_train ? nullptr : zero_scratch(s.train_total, fold_lanes + width);
  double* all = own_train ? nullptr : derived + fold_lanes;
  const double* train_total = own_train ? totals + fold_lanes : derived;
  const auto derive_train = [&](const double* val, double* train) {
    std::fill(all, all + width, 0.0);
    for (size_t f = 0; f < n_folds; ++f) {
      for (size_t i = 0; i < width; ++i) all[i] += val[f * width + i];
    }
    for (size_t f = 0; f < n_folds; ++f) {
      for (size_t i = 0; i < width; ++i) train[f * width + i] = all[i] - val[f * width + i];
    }
  };
  if (!own_train) derive_train(totals, derived);
  start(static_cast<const double*>(totals), train_total);
  double* derived_left = own_train ? nullptr : zero_scratch(s.train_left, fold_lanes);
  scan_candidates(table, bins, s.left, [&](size_t b, const double* left) {
    if (!own_train) derive_train(left, derived_left);
    visit(b, left, static_cast<const double*>(own_train ? left + fold_lanes : derived_left));
  });
}

// Fold scores of every candidate of a criterion's table with the training lanes at hand (see
// scan_with_training): each fold's impurity decrease of its validation sides or, with
// held_out_loss, the drop in its held-out samples' mean loss when each side predicts from its
// training samples; emit(b, scores) receives them in bin order (a span valid during the call). A
// fold whose candidate leaves a side empty among the validation samples (or, for the loss, the
// training samples) gives no score, nor does one whose sides to score, or to predict from, weigh
// nothing. With picks, each fold offers the candidate its in-sample training gain, together with
// its held-out loss score.
template <class Stats, class Crit, class Lane, class Emit>
void score_with_training_lanes(const Stats& stats, const Crit& criterion,
                               const CellTable<Lane>& table, size_t n_folds,
                               const CandidateBins& bins, const ScanChoice& choice, ScanScratch& s,
                               Emit&& emit) {
  const size_t width = table.width;
  const size_t count = table.count_lane;
  const double* val_total = nullptr;
  const double* train_total = nullptr;
  double* val_parent = zero_scratch(s.parent, 3 * n_folds);
  double* train_parent = val_parent + n_folds;
  double* parent_loss = train_parent + n_folds;
  double* val_right = zero_scratch(s.right, 2 * width);
  double* train_right = val_right + width;
  const auto start = [&](const double* vt, const double* tt) {
    val_total = vt;
    train_total = tt;
    for (size_t f = 0; f < n_folds; ++f) {
      const double* v = vt + f * width;
      const double* t = tt + f * width;
      if (v[0] > 0) val_parent[f] = stats.impurity(criterion, v);
      if (t[0] > 0) train_parent[f] = stats.impurity(criterion, t);
      if (v[0] > 0 && t[0] > 0) parent_loss[f] = stats.loss(criterion, t, v);
    }
  };
  scan_with_training(
      table, n_folds, bins, s, start,
      [&](size_t b, const double* val_left, const double* train_left) {
        std::vector<double>& scores = s.scores;
        scores.clear();
        for (size_t f = 0; f < n_folds; ++f) {
          const double* vl = val_left + f * width;
          const double* vt = val_total + f * width;
          const double* tl = train_left + f * width;
          const double* tt = train_total + f * width;
          for (size_t i = 0; i < width; ++i) {
            val_right[i] = vt[i] - vl[i];
            train_right[i] = tt[i] - tl[i];
          }
          const bool val_split = vl[count] != 0 && val_right[count] != 0 && vt[0] > 0;
          const bool train_split = tl[count] != 0 && train_right[count] != 0 && tt[0] > 0;
          const auto loss_score = [&]() -> std::optional<double> {
            if (!val_split || !train_split || !(tl[0] > 0 && train_right[0] > 0)) {
              return std::nullopt;
            }
            return loss_decrease(parent_loss[f], stats.loss(criterion, tl, vl),
                                 stats.loss(criterion, train_right, val_right), vt[0]);
          };
          std::optional<double> loss;  // computed at most once, when needed
          if (choice.held_out_loss) {
            loss = loss_score();
            if (loss) scores.push_back(*loss);
          } else if (val_split) {
            scores.push_back(split_decrease(stats, criterion, val_parent[f], vt[0], vl, val_right));
          }
          if (choice.picks == nullptr || !train_split) continue;
          const double gain =
              split_decrease(stats, criterion, train_parent[f], tt[0], tl, train_right);
          if (choice.picks->beats(f, gain, choice.feature, b)) {
            choice.picks->take(f, gain, choice.feature, b,
                               choice.held_out_loss ? loss : loss_score());
          }
        }
        emit(b, std::span<const double>(scores));
      });
}

// Objective fold scores of one candidate from class lanes ([fold][lane], classes from lane 1, a
// count lane at count_lane when not 0), into scores: each side predicts its training majority on
// its validation samples, the score being the gain over the baseline's. A fold with a side
// without samples of the classes in training or validation gives no score. With picks, each fold
// whose training sides are both non-empty offers the candidate (at the given feature and
// position) its in-sample gain: the same predictions booked on the training samples, minus
// train_baseline's.
void objective_scores(const ClassObjective& objective, Confusion& confusion, size_t n_folds,
                      size_t width, size_t count_lane, const double* val_left,
                      const double* val_total, const double* train_left, const double* train_total,
                      const double* baseline, double* right, const ScanChoice& choice,
                      size_t position, const double* train_baseline, std::vector<double>& scores);

// Objective fold scores of every candidate of a class table with the training lanes at hand (see
// scan_with_training), and with picks each fold's offers.
template <class Lane, class Emit>
void score_objective(const ClassObjective& objective, size_t n_classes,
                     const CellTable<Lane>& table, size_t n_folds, const CandidateBins& bins,
                     const ScanChoice& choice, ScanScratch& s, Emit&& emit) {
  const size_t width = table.width;
  Confusion confusion = Confusion::zero(n_classes);
  double* baseline = zero_scratch(s.parent, 2 * n_folds);
  double* train_baseline = baseline + n_folds;
  const double* val_total = nullptr;
  const double* train_total = nullptr;
  const auto start = [&](const double* vt, const double* tt) {
    val_total = vt;
    train_total = tt;
    for (size_t f = 0; f < n_folds; ++f) {
      baseline[f] =
          majority_objective(objective, confusion, tt + f * width + 1, vt + f * width + 1);
      if (choice.picks != nullptr) {
        train_baseline[f] =
            majority_objective(objective, confusion, tt + f * width + 1, tt + f * width + 1);
      }
    }
  };
  double* right = zero_scratch(s.right, 2 * width);
  scan_with_training(table, n_folds, bins, s, start,
                     [&](size_t b, const double* left, const double* train_left) {
                       objective_scores(objective, confusion, n_folds, width, table.count_lane,
                                        left, val_total, train_left, train_total, baseline, right,
                                        choice, b, train_baseline, s.scores);
                       emit(b, std::span<const double>(s.scores));
                     });
}

}  // namespace ornik
