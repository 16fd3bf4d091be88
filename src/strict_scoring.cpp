#include "strict_scoring.hpp"

#include <cstdint>
#include <optional>

#include "side_stats.hpp"
#include "split_scan.hpp"

namespace ornik {
namespace {

// Appends the fold's score of every state, materialising each state's two groups: the literal
// procedure, for criteria without a form in sums (the median-based one).
void score_fold_by_groups(bool ordered, size_t n_states, std::span<const uint32_t> buckets,
                          std::span<const double> yv, const RegressionCriterion& criterion,
                          std::vector<std::vector<double>>& lists) {
  const size_t n_val = yv.size();
  const double parent = criterion.impurity(yv);
  const double dn_val = static_cast<double>(n_val);
  std::vector<double> left, right;
  left.reserve(n_val);
  right.reserve(n_val);
  for (size_t si = 0; si < n_states; ++si) {
    left.clear();
    right.clear();
    for (size_t i = 0; i < n_val; ++i) {
      const bool goes_left = ordered ? buckets[i] <= si : buckets[i] == si;
      (goes_left ? left : right).push_back(yv[i]);
    }
    if (left.empty() || right.empty()) continue;
    const double n_left = static_cast<double>(left.size());
    const double n_right = static_cast<double>(right.size());
    lists[si].push_back(impurity_decrease(parent, dn_val, n_left, criterion.impurity(left), n_right,
                                          criterion.impurity(right)));
  }
}

// The held-out loss scores (when choice asks for them) and the fold's picks of a criterion
// without a form in sums, from each state's validation and training groups.
void score_fold_held_out_by_groups(bool ordered, size_t n_states,
                                   std::span<const uint32_t> val_buckets,
                                   std::span<const double> yv,
                                   std::span<const uint32_t> train_buckets,
                                   std::span<const double> yt, const RegressionCriterion& criterion,
                                   const ScanChoice& choice, size_t fold,
                                   std::vector<std::vector<double>>& lists) {
  const double parent_loss = yt.empty() ? 0.0 : criterion.held_out_loss(yt, yv);
  const double train_parent = criterion.impurity(yt);
  std::vector<double> val_left, val_right, train_left, train_right;
  const auto split = [&](size_t si, std::span<const uint32_t> buckets, std::span<const double> y,
                         std::vector<double>& left, std::vector<double>& right) {
    left.clear();
    right.clear();
    for (size_t i = 0; i < y.size(); ++i) {
      const bool goes_left = ordered ? buckets[i] <= si : buckets[i] == si;
      (goes_left ? left : right).push_back(y[i]);
    }
  };
  for (size_t si = 0; si < n_states; ++si) {
    split(si, val_buckets, yv, val_left, val_right);
    split(si, train_buckets, yt, train_left, train_right);
    const bool val_split = !val_left.empty() && !val_right.empty();
    const bool train_split = !train_left.empty() && !train_right.empty();
    std::optional<double> score;
    if (val_split && train_split) {
      score = loss_decrease(parent_loss, criterion.held_out_loss(train_left, val_left),
                            criterion.held_out_loss(train_right, val_right),
                            static_cast<double>(yv.size()));
      if (choice.held_out_loss) lists[si].push_back(*score);
    }
    if (choice.picks == nullptr || !train_split) continue;
    const double gain =
        impurity_decrease(train_parent, static_cast<double>(yt.size()),
                          static_cast<double>(train_left.size()), criterion.impurity(train_left),
                          static_cast<double>(train_right.size()), criterion.impurity(train_right));
    if (choice.picks->beats(fold, gain, choice.feature, si)) {
      choice.picks->take(fold, gain, choice.feature, si, score);
    }
  }
}

// Criteria in sums: every state's side sums in one pass. Each side's sum runs over the whole
// fold in order, adding +0.0 for the samples on the other side; a running sum that starts at
// +0.0 is never -0.0, so those additions change nothing and the sums equal the group sums. (A
// prefix over per-bucket sums would add in another order, and round differently.)
void score_fold_sums(bool ordered, size_t n_states, std::span<const uint32_t> buckets,
                     std::span<const double> yv, const SumsCriterion& criterion,
                     std::vector<double>& acc, std::vector<uint64_t>& n_left,
                     std::vector<std::vector<double>>& lists) {
  acc.assign(4 * n_states, 0.0);
  n_left.assign(n_states, 0);
  double* ls = acc.data();
  double* lq = ls + n_states;
  double* rs = lq + n_states;
  double* rq = rs + n_states;
  double ps = 0.0, pq = 0.0;
  for (size_t t = 0; t < yv.size(); ++t) {
    const double y = yv[t];
    const double y2 = y * y;
    const size_t b = buckets[t];
    ps += y;
    pq += y2;
    if (ordered) {
      for (size_t i = 0; i < n_states; ++i) {
        const bool left = b <= i;
        ls[i] += left ? y : 0.0;
        lq[i] += left ? y2 : 0.0;
        rs[i] += left ? 0.0 : y;
        rq[i] += left ? 0.0 : y2;
      }
    } else {
      for (size_t i = 0; i < n_states; ++i) {
        const bool left = b == i;
        ls[i] += left ? y : 0.0;
        lq[i] += left ? y2 : 0.0;
        rs[i] += left ? 0.0 : y;
        rq[i] += left ? 0.0 : y2;
      }
    }
    if (b < n_states) {
      if (ordered) {
        for (size_t i = b; i < n_states; ++i) ++n_left[i];
      } else {
        ++n_left[b];
      }
    }
  }
  // Scored from the same side lanes as every other sums scan.
  const uint64_t n = yv.size();
  const double dn = static_cast<double>(n);
  const double total[3] = {dn, ps, pq};
  const double parent = SumLanes::impurity(criterion, total);
  for (size_t i = 0; i < n_states; ++i) {
    const uint64_t nl = n_left[i];
    if (nl == 0 || nl == n) continue;
    const double left[3] = {static_cast<double>(nl), ls[i], lq[i]};
    const double right[3] = {static_cast<double>(n - nl), rs[i], rq[i]};
    lists[i].push_back(split_decrease(SumLanes{}, criterion, parent, dn, left, right));
  }
}

// One fold list as a fill source: its rows' buckets and labels, in list order.
struct FoldList {
  const uint32_t* buckets;
  size_t n;
  size_t list_column;

  size_t size() const { return n; }
  size_t row(size_t p) const { return p; }
  size_t column(size_t) const { return list_column; }
  const uint32_t* codes(size_t, size_t p) const { return buckets + p; }
  template <class Target>
  void prefetch(size_t, const Target*) const {}
};

// Strict class lanes count labels beyond the classes in a side's size.
using StrictClassLanes = ClassLanes<uint64_t, true>;

// Fills a feature's table over its states' buckets (the last bucket never goes left) with a
// column per fold list: the validation lists, then the training lists when given.
template <class Stats, class Target>
CellTable<typename Stats::Lane> fill_fold_table(const Stats& stats, bool ordered,
                                                const CodedFeature& coded,
                                                std::span<const std::vector<Target>> val_targets,
                                                std::span<const std::vector<Target>> train_targets,
                                                std::vector<typename Stats::Lane>& cells,
                                                std::vector<typename Stats::Lane>& totals) {
  const size_t n_columns = val_targets.size() + train_targets.size();
  const size_t width = stats.width();
  const BlockFeature feature{coded.states.size() + 1, 0, ordered, true};
  cells.assign(feature.n_bins * n_columns * width, 0);
  totals.assign(n_columns * width, 0);
  std::vector<uint32_t> buckets;
  const size_t first_cell = 0;
  const auto fill = [&](std::span<const std::vector<StateCode>> codes,
                        std::span<const std::vector<Target>> targets, size_t first_column) {
    for (size_t f = 0; f < targets.size(); ++f) {
      bucket_codes(codes[f], coded.states, ordered, buckets);
      fill_cells(stats, FoldList{buckets.data(), buckets.size(), first_column + f},
                 targets[f].data(), UnitWeights{}, std::span<const BlockFeature>(&feature, 1),
                 &first_cell, n_columns, cells.data(), nullptr, nullptr);
    }
  };
  fill(coded.val_codes, val_targets, 0);
  fill(coded.train_codes, train_targets, val_targets.size());
  const size_t bin_lanes = n_columns * width;
  for (size_t b = 0; b < feature.n_bins; ++b) {
    for (size_t i = 0; i < bin_lanes; ++i) totals[i] += cells[b * bin_lanes + i];
  }
  return CellTable<typename Stats::Lane>{cells.data(), totals.data(), n_columns, width};
}

}  // namespace

std::vector<FoldStats> score_coded_states(bool ordered, const CodedFeature& coded,
                                          std::span<const std::vector<double>> val_targets,
                                          const RegressionCriterion& criterion,
                                          const ScanChoice& choice,
                                          std::span<const std::vector<double>> train_targets) {
  const size_t n_states = coded.states.size();
  const size_t n_folds = val_targets.size();
  std::vector<std::vector<double>> lists(n_states);
  for (auto& list : lists) list.reserve(n_folds);
  const SumsCriterion* sums = criterion.sums();
  std::vector<uint32_t> buckets, train_buckets;
  std::vector<double> acc;
  std::vector<uint64_t> n_left;
  for (size_t f = 0; f < n_folds && !choice.held_out_loss; ++f) {
    const std::span<const double> yv = val_targets[f];
    if (yv.empty()) continue;
    bucket_codes(coded.val_codes[f], coded.states, ordered, buckets);
    if (sums) {
      score_fold_sums(ordered, n_states, buckets, yv, *sums, acc, n_left, lists);
    } else {
      score_fold_by_groups(ordered, n_states, buckets, yv, criterion, lists);
    }
  }
  if (choice.needs_training() && sums) {
    std::vector<double> cells, totals;
    const CellTable<double> table =
        fill_fold_table(SumLanes{}, ordered, coded, val_targets, train_targets, cells, totals);
    ScanScratch scratch;
    score_with_training_lanes(SumLanes{}, *sums, table, n_folds,
                              CandidateBins{n_states, ordered, false}, choice, scratch,
                              [&](size_t si, std::vector<double> scores) {
                                if (choice.held_out_loss) lists[si] = std::move(scores);
                              });
  } else if (choice.needs_training()) {
    for (size_t f = 0; f < n_folds; ++f) {
      bucket_codes(coded.val_codes[f], coded.states, ordered, buckets);
      bucket_codes(coded.train_codes[f], coded.states, ordered, train_buckets);
      score_fold_held_out_by_groups(ordered, n_states, buckets, val_targets[f], train_buckets,
                                    train_targets[f], criterion, choice, f, lists);
    }
  }
  std::vector<FoldStats> out;
  out.reserve(n_states);
  for (auto& list : lists) out.push_back(FoldStats::from_scores(std::move(list), n_folds));
  return out;
}

std::vector<FoldStats> score_coded_states(bool ordered, const CodedFeature& coded,
                                          std::span<const std::vector<ClassLabel>> val_targets,
                                          const ClassCriterion& criterion, const ScanChoice& choice,
                                          std::span<const std::vector<ClassLabel>> train_targets) {
  const size_t n_folds = val_targets.size();
  const StrictClassLanes stats{criterion.n_classes()};
  std::vector<uint64_t> cells, totals;
  const CellTable<uint64_t> table = fill_fold_table(
      stats, ordered, coded, val_targets,
      choice.needs_training() ? train_targets : std::span<const std::vector<ClassLabel>>(), cells,
      totals);
  std::vector<FoldStats> out;
  out.reserve(coded.states.size());
  ScanScratch scratch;
  const CandidateBins bins{coded.states.size(), ordered, false};
  const auto emit = [&](size_t, std::vector<double> scores) {
    out.push_back(FoldStats::from_scores(std::move(scores), n_folds));
  };
  if (choice.needs_training()) {
    score_with_training_lanes(stats, criterion, table, n_folds, bins, choice, scratch, emit);
  } else {
    score_impurity(stats, criterion, table, bins, scratch, emit);
  }
  return out;
}

std::vector<FoldStats> score_coded_states_objective(
    bool ordered, const CodedFeature& coded, std::span<const std::vector<ClassLabel>> train_labels,
    std::span<const std::vector<ClassLabel>> val_labels, size_t n_classes,
    const ClassObjective& objective, const ScanChoice& choice) {
  const size_t n_folds = val_labels.size();
  const StrictClassLanes stats{n_classes};
  std::vector<uint64_t> cells, totals;
  const CellTable<uint64_t> table =
      fill_fold_table(stats, ordered, coded, val_labels, train_labels, cells, totals);
  std::vector<FoldStats> out;
  out.reserve(coded.states.size());
  ScanScratch scratch;
  score_objective(objective, n_classes, table, n_folds,
                  CandidateBins{coded.states.size(), ordered, false}, choice, scratch,
                  [&](size_t, std::vector<double> scores) {
                    out.push_back(FoldStats::from_scores(std::move(scores), n_folds));
                  });
  return out;
}

}  // namespace ornik
