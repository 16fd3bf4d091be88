#include "strict_scoring.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "side_stats.hpp"
#include "split_scan.hpp"

namespace ornik {
namespace {

// The weights of fold f's rows, or none when every sample weighs one.
SampleWeights fold_weights(const std::vector<std::vector<double>>& weights, size_t f) {
  return weights.empty() ? SampleWeights{} : SampleWeights(weights[f]);
}

// A state's two groups of a fold's targets (and their weights, when weighted).
struct Groups {
  std::vector<double> left, right, left_weights, right_weights;

  void split(bool ordered, size_t si, std::span<const uint32_t> buckets, std::span<const double> y,
             SampleWeights w) {
    left.clear(), right.clear(), left_weights.clear(), right_weights.clear();
    for (size_t i = 0; i < y.size(); ++i) {
      const bool goes_left = ordered ? buckets[i] <= si : buckets[i] == si;
      (goes_left ? left : right).push_back(y[i]);
      if (!w.empty()) (goes_left ? left_weights : right_weights).push_back(w[i]);
    }
  }
  bool split_both() const { return !left.empty() && !right.empty(); }
  // The impurity decrease of the groups, sides weighing their weights (0 for a side of no weight).
  double decrease(const RegressionCriterion& criterion, double parent, double n) const {
    return impurity_decrease(
        parent, n, SideSums::of(left, left_weights).n, criterion.impurity(left, left_weights),
        SideSums::of(right, right_weights).n, criterion.impurity(right, right_weights));
  }
};

// Appends the fold's score of every state, materialising each state's two groups: the literal
// procedure, for criteria without a form in sums (the median-based one).
void score_fold_by_groups(bool ordered, size_t n_states, std::span<const uint32_t> buckets,
                          std::span<const double> yv, SampleWeights wv,
                          const RegressionCriterion& criterion,
                          std::vector<std::vector<double>>& lists) {
  const double parent = criterion.impurity(yv, wv);
  const double n_val = SideSums::of(yv, wv).n;
  if (!(n_val > 0.0)) return;
  Groups groups;
  for (size_t si = 0; si < n_states; ++si) {
    groups.split(ordered, si, buckets, yv, wv);
    if (groups.split_both()) lists[si].push_back(groups.decrease(criterion, parent, n_val));
  }
}

// The held-out loss scores (when choice asks for them) and the fold's picks of a criterion
// without a form in sums, from each state's validation and training groups.
// Sides with samples but no weight are scored as the sums scans score them (see side_stats.hpp).
void score_fold_held_out_by_groups(bool ordered, size_t n_states,
                                   std::span<const uint32_t> val_buckets,
                                   std::span<const double> yv, SampleWeights wv,
                                   std::span<const uint32_t> train_buckets,
                                   std::span<const double> yt, SampleWeights wt,
                                   const RegressionCriterion& criterion, const ScanChoice& choice,
                                   size_t fold, std::vector<std::vector<double>>& lists) {
  const double n_val = SideSums::of(yv, wv).n;
  const double n_train = SideSums::of(yt, wt).n;
  const double parent_loss = n_train > 0.0 ? criterion.held_out_loss(yt, wt, yv, wv) : 0.0;
  const double train_parent = criterion.impurity(yt, wt);
  Groups val, train;
  for (size_t si = 0; si < n_states; ++si) {
    val.split(ordered, si, val_buckets, yv, wv);
    train.split(ordered, si, train_buckets, yt, wt);
    const bool val_split = val.split_both() && n_val > 0.0;
    const bool train_split = train.split_both() && n_train > 0.0;
    std::optional<double> score;
    if (val_split && train_split && SideSums::of(train.left, train.left_weights).n > 0.0 &&
        SideSums::of(train.right, train.right_weights).n > 0.0) {
      score = loss_decrease(
          parent_loss,
          criterion.held_out_loss(train.left, train.left_weights, val.left, val.left_weights),
          criterion.held_out_loss(train.right, train.right_weights, val.right, val.right_weights),
          n_val);
      if (choice.held_out_loss) lists[si].push_back(*score);
    }
    if (choice.picks == nullptr || !train_split) continue;
    const double gain = train.decrease(criterion, train_parent, n_train);
    if (choice.picks->beats(fold, gain, choice.feature, si)) {
      choice.picks->take(fold, gain, choice.feature, si, score);
    }
  }
}

// Criteria in sums: every state's side sums in one pass. Each side's sum runs over the whole
// fold in order, skipping the samples on the other side; the sums equal the group sums. (A
// prefix over per-bucket sums would add in another order, and round differently.) Weighted, a
// target's terms are its weight times the target and times its square, and each state's left
// weight is summed likewise; the sides stay empty or not by their sample counts.
template <bool Weighted>
void score_fold_sums(bool ordered, size_t n_states, std::span<const uint32_t> buckets,
                     std::span<const double> yv, SampleWeights wv, const SumsCriterion& criterion,
                     std::vector<double>& acc, std::vector<uint64_t>& n_left,
                     std::vector<std::vector<double>>& lists) {
  acc.assign((Weighted ? 5 : 4) * n_states, 0.0);
  n_left.assign(n_states, 0);
  double* ls = acc.data();
  double* lq = ls + n_states;
  double* rs = lq + n_states;
  double* rq = rs + n_states;
  double* lw = rq + n_states;  // the left weights, when weighted
  double ps = 0.0, pq = 0.0, pw = 0.0;
  for (size_t t = 0; t < yv.size(); ++t) {
    const double w = Weighted ? wv[t] : 1.0;
    const double y = Weighted ? w * yv[t] : yv[t];
    const double y2 = Weighted ? w * (yv[t] * yv[t]) : y * y;
    const size_t b = buckets[t];
    ps += y;
    pq += y2;
    if constexpr (Weighted) pw += w;
    // The +0.0 a side would add is left out (it changes nothing): the states below `first_left`
    // send the sample right, those from it on (ordered) or at it alone (unordered) left.
    const size_t first_left = std::min<size_t>(b, n_states);
    const size_t past_left = ordered ? n_states : std::min<size_t>(b + 1, n_states);
    for (size_t i = 0; i < first_left; ++i) {
      rs[i] += y;
      rq[i] += y2;
    }
    for (size_t i = first_left; i < past_left; ++i) {
      ls[i] += y;
      lq[i] += y2;
      if constexpr (Weighted) lw[i] += w;
    }
    for (size_t i = past_left; i < n_states; ++i) {
      rs[i] += y;
      rq[i] += y2;
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
  const double dn = Weighted ? pw : static_cast<double>(n);
  if (!(dn > 0.0)) return;
  const double total[3] = {dn, ps, pq};
  const auto lanes = lanes_for(SumLanes{}, std::conditional_t<Weighted, RowWeights, UnitWeights>{});
  const double parent = lanes.impurity(criterion, total);
  for (size_t i = 0; i < n_states; ++i) {
    const uint64_t nl = n_left[i];
    if (nl == 0 || nl == n) continue;
    const double w_left = Weighted ? lw[i] : static_cast<double>(nl);
    const double w_right = Weighted ? dn - lw[i] : static_cast<double>(n - nl);
    const double left[3] = {w_left, ls[i], lq[i]};
    const double right[3] = {w_right, rs[i], rq[i]};
    lists[i].push_back(split_decrease(lanes, criterion, parent, dn, left, right));
  }
}

// One fold list as a fill source: its rows' buckets and labels, in list order.
struct FoldList {
  const uint32_t* buckets;
  size_t n;
  size_t list_column;

  size_t size() const { return n; }
  static constexpr bool in_node(size_t) { return true; }
  size_t row(size_t p) const { return p; }
  size_t column(size_t) const { return list_column; }
  const uint32_t* codes(size_t, size_t p) const { return buckets + p; }
  template <class Target, class Weights>
  void prefetch(size_t, const Target*, const Weights&) const {}
};

// Fills a feature's table over its states' buckets (the last bucket never goes left) with a
// column per fold list: the validation lists, then the training lists when with_train. Weighted
// lanes (double) take each fold list's weights.
template <class Stats, class Target>
CellTable<typename Stats::Lane> fill_fold_table(const Stats& stats, bool ordered,
                                                const CodedFeature& coded,
                                                const FoldTargets<Target>& y, bool with_train,
                                                std::vector<typename Stats::Lane>& cells,
                                                std::vector<typename Stats::Lane>& totals) {
  using Lane = typename Stats::Lane;
  const size_t n_folds = y.val.size();
  const size_t n_columns = with_train ? 2 * n_folds : n_folds;
  const size_t width = stats.width();
  const BlockFeature feature{coded.states.size() + 1, 0, ordered, true};
  cells.assign(feature.n_bins * n_columns * width, 0);
  totals.assign(n_columns * width, 0);
  std::vector<uint32_t> buckets;
  const size_t first_cell = 0;
  const CellLayout layout = CellLayout::bins_outer(&first_cell, n_columns, width);
  const auto fill = [&](const std::vector<std::vector<StateCode>>& codes,
                        const std::vector<std::vector<Target>>& targets,
                        const std::vector<std::vector<double>>& weights, size_t first_column) {
    for (size_t f = 0; f < n_folds; ++f) {
      bucket_codes(codes[f], coded.states, ordered, buckets);
      const FoldList list{buckets.data(), buckets.size(), first_column + f};
      const auto fill_with = [&](const auto& w) {
        fill_cells(stats, list, targets[f].data(), w, std::span<const BlockFeature>(&feature, 1),
                   layout, cells.data(), nullptr, nullptr);
      };
      if constexpr (std::is_same_v<Lane, double>) {
        if (!weights.empty()) {
          fill_with(RowWeights{weights[f].data()});
          continue;
        }
      }
      fill_with(UnitWeights{});
    }
  };
  fill(coded.val_codes, y.val, y.val_weights, 0);
  if (with_train) fill(coded.train_codes, y.train, y.train_weights, n_folds);
  const size_t bin_lanes = n_columns * width;
  for (size_t b = 0; b < feature.n_bins; ++b) {
    for (size_t i = 0; i < bin_lanes; ++i) totals[i] += cells[b * bin_lanes + i];
  }
  return CellTable<Lane>{cells.data(), totals.data(), n_columns, width, stats.count_lane()};
}

// Calls run(lanes) with the class lanes of the weighting: integer counts, or weights with a
// count lane. KeepUnknown as in ClassLanes.
template <bool KeepUnknown, class Run>
void with_class_lanes(size_t n_classes, bool weighted, Run&& run) {
  if (weighted) {
    run(CountedLanes<ClassLanes<double, KeepUnknown>>{{n_classes}});
  } else {
    run(ClassLanes<uint64_t, KeepUnknown>{n_classes});
  }
}

}  // namespace

std::vector<FoldStats> score_coded_states(bool ordered, const CodedFeature& coded,
                                          const FoldTargets<double>& y,
                                          const RegressionCriterion& criterion,
                                          const ScanChoice& choice) {
  const size_t n_states = coded.states.size();
  const size_t n_folds = y.val.size();
  std::vector<std::vector<double>> lists(n_states);
  for (auto& list : lists) list.reserve(n_folds);
  const SumsCriterion* sums = criterion.sums();
  const bool weighted = !y.val_weights.empty();
  std::vector<uint32_t> buckets, train_buckets;
  std::vector<double> acc;
  std::vector<uint64_t> n_left;
  for (size_t f = 0; f < n_folds && !choice.held_out_loss; ++f) {
    const std::span<const double> yv = y.val[f];
    if (yv.empty()) continue;
    const SampleWeights wv = fold_weights(y.val_weights, f);
    bucket_codes(coded.val_codes[f], coded.states, ordered, buckets);
    if (sums && weighted) {
      score_fold_sums<true>(ordered, n_states, buckets, yv, wv, *sums, acc, n_left, lists);
    } else if (sums) {
      score_fold_sums<false>(ordered, n_states, buckets, yv, wv, *sums, acc, n_left, lists);
    } else {
      score_fold_by_groups(ordered, n_states, buckets, yv, wv, criterion, lists);
    }
  }
  if (choice.needs_training() && sums) {
    const auto score = [&](const auto& lanes) {
      std::vector<double> cells, totals;
      const CellTable<double> table =
          fill_fold_table(lanes, ordered, coded, y, true, cells, totals);
      ScanScratch scratch;
      score_with_training_lanes(lanes, *sums, table, n_folds,
                                CandidateBins{n_states, ordered, false}, choice, scratch,
                                [&](size_t si, std::span<const double> scores) {
                                  if (choice.held_out_loss)
                                    lists[si].assign(scores.begin(), scores.end());
                                });
    };
    if (weighted) {
      score(CountedLanes<SumLanes>{});
    } else {
      score(SumLanes{});
    }
  } else if (choice.needs_training()) {
    for (size_t f = 0; f < n_folds; ++f) {
      bucket_codes(coded.val_codes[f], coded.states, ordered, buckets);
      bucket_codes(coded.train_codes[f], coded.states, ordered, train_buckets);
      score_fold_held_out_by_groups(ordered, n_states, buckets, y.val[f],
                                    fold_weights(y.val_weights, f), train_buckets, y.train[f],
                                    fold_weights(y.train_weights, f), criterion, choice, f, lists);
    }
  }
  std::vector<FoldStats> out;
  out.reserve(n_states);
  for (auto& list : lists) out.push_back(FoldStats::from_scores(std::move(list), n_folds));
  return out;
}

std::vector<FoldStats> score_coded_states(bool ordered, const CodedFeature& coded,
                                          const FoldTargets<ClassLabel>& y,
                                          const ClassCriterion& criterion,
                                          const ScanChoice& choice) {
  const size_t n_folds = y.val.size();
  std::vector<FoldStats> out;
  out.reserve(coded.states.size());
  // Strict class lanes count labels beyond the classes in a side's size.
  with_class_lanes<true>(criterion.n_classes(), !y.val_weights.empty(), [&](const auto& stats) {
    using Lane = typename std::decay_t<decltype(stats)>::Lane;
    std::vector<Lane> cells, totals;
    const CellTable<Lane> table =
        fill_fold_table(stats, ordered, coded, y, choice.needs_training(), cells, totals);
    ScanScratch scratch;
    const CandidateBins bins{coded.states.size(), ordered, false};
    const auto emit = [&](size_t, std::span<const double> scores) {
      out.push_back(FoldStats::from_scores({scores.begin(), scores.end()}, n_folds));
    };
    if (choice.needs_training()) {
      score_with_training_lanes(stats, criterion, table, n_folds, bins, choice, scratch, emit);
    } else {
      score_impurity(stats, criterion, table, bins, scratch, emit);
    }
  });
  return out;
}

std::vector<FoldStats> score_coded_states_objective(bool ordered, const CodedFeature& coded,
                                                    const FoldTargets<ClassLabel>& y,
                                                    size_t n_classes,
                                                    const ClassObjective& objective,
                                                    const ScanChoice& choice) {
  const size_t n_folds = y.val.size();
  std::vector<FoldStats> out;
  out.reserve(coded.states.size());
  // Objectives read only the classes' lanes; weighted, the count lane counts only their samples.
  const bool weighted = !y.val_weights.empty();
  const auto score = [&](const auto& stats) {
    using Lane = typename std::decay_t<decltype(stats)>::Lane;
    std::vector<Lane> cells, totals;
    const CellTable<Lane> table = fill_fold_table(stats, ordered, coded, y, true, cells, totals);
    ScanScratch scratch;
    score_objective(
        objective, n_classes, table, n_folds, CandidateBins{coded.states.size(), ordered, false},
        choice, scratch, [&](size_t, std::span<const double> scores) {
          out.push_back(FoldStats::from_scores({scores.begin(), scores.end()}, n_folds));
        });
  };
  if (weighted) {
    with_class_lanes<false>(n_classes, true, score);
  } else {
    with_class_lanes<true>(n_classes, false, score);
  }
  return out;
}

}  // namespace ornik
