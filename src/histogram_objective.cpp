// Fast objective scan: per-fold, per-bin class counts turned into majority-class predictions.
#include <algorithm>
#include <utility>

#include "histogram.hpp"
#include "objective.hpp"

namespace ornik {
namespace {

// The per-call view of the count tables; all class vectors are n_classes long.
struct ObjectiveTables {
  size_t k = 0;
  size_t n_classes = 0;
  const uint32_t* fold_total = nullptr;  // F [fold][class]: the fold's counted samples
  const uint32_t* train = nullptr;       // N - F [fold][class]: the samples outside the fold
  const double* baseline = nullptr;      // objective of the outside majority on the fold
  uint32_t* val_right = nullptr;         // work vectors of one fold
  uint32_t* train_left = nullptr;
  uint32_t* train_right = nullptr;
};

// Fold scores of one candidate: val_left [fold][class] are the left counts of each fold,
// all_left [class] those of all folds together.
std::vector<double> objective_scores(const ObjectiveTables& t, const uint32_t* val_left,
                                     const uint32_t* all_left, const ClassObjective& objective,
                                     Confusion& confusion) {
  const size_t nc = t.n_classes;
  std::vector<double> scores;
  scores.reserve(t.k);
  for (size_t f = 0; f < t.k; ++f) {
    const uint32_t* vl = val_left + f * nc;
    const uint32_t* vt = t.fold_total + f * nc;
    const uint32_t* tt = t.train + f * nc;
    uint64_t n_vl = 0, n_vr = 0, n_tl = 0, n_tr = 0;
    for (size_t c = 0; c < nc; ++c) {
      const uint32_t vr = vt[c] - vl[c];
      const uint32_t tl = all_left[c] - vl[c];
      const uint32_t tr = tt[c] - tl;
      t.val_right[c] = vr;
      t.train_left[c] = tl;
      t.train_right[c] = tr;
      n_vl += vl[c];
      n_vr += vr;
      n_tl += tl;
      n_tr += tr;
    }
    if (n_vl == 0 || n_vr == 0 || n_tl == 0 || n_tr == 0) continue;
    confusion.clear();
    confusion.add_group(majority_class(std::span<const uint32_t>(t.train_left, nc)),
                        std::span<const uint32_t>(vl, nc));
    confusion.add_group(majority_class(std::span<const uint32_t>(t.train_right, nc)),
                        std::span<const uint32_t>(t.val_right, nc));
    scores.push_back(objective.score(confusion) - t.baseline[f]);
  }
  return scores;
}

}  // namespace

namespace {

// Scores one feature from its slice of the block tables.
void scan_objective(const uint32_t* hist, const uint32_t* fold_total, const BlockFeature& feature,
                    size_t k, size_t nc, const Aggregator& aggregator,
                    const ClassObjective& objective, Confusion& confusion, FastScratch& s,
                    std::vector<ScoredCandidate>& out) {
  const size_t n_bins = feature.n_bins;
  const size_t block = k * nc;

  // A [bin][class] over all folds and N [class].
  uint32_t* all = zero_scratch(s.bin_class_total, n_bins * nc);
  for (size_t x = 0; x < n_bins; ++x) {
    const uint32_t* cells = hist + x * block;
    uint32_t* row = all + x * nc;
    for (size_t f = 0; f < k; ++f) {
      for (size_t c = 0; c < nc; ++c) row[c] += cells[f * nc + c];
    }
  }
  uint32_t* total = zero_scratch(s.class_total, nc);
  for (size_t f = 0; f < k; ++f) {
    for (size_t c = 0; c < nc; ++c) total[c] += fold_total[f * nc + c];
  }

  // Per fold: the training counts N - F and the baseline objective of their majority class.
  uint32_t* train = zero_scratch(s.train_class_count, block);
  double* baseline = zero_scratch(s.fold_parent, k);
  for (size_t f = 0; f < k; ++f) {
    uint32_t* tt = train + f * nc;
    for (size_t c = 0; c < nc; ++c) tt[c] = total[c] - fold_total[f * nc + c];
    confusion.clear();
    confusion.add_group(majority_class(std::span<const uint32_t>(tt, nc)),
                        std::span<const uint32_t>(fold_total + f * nc, nc));
    baseline[f] = objective.score(confusion);
  }

  uint32_t* work = zero_scratch(s.right_class_count, 3 * nc);
  ObjectiveTables t;
  t.k = k;
  t.n_classes = nc;
  t.fold_total = fold_total;
  t.train = train;
  t.baseline = baseline;
  t.val_right = work;
  t.train_left = work + nc;
  t.train_right = work + 2 * nc;

  if (feature.ordered) {
    uint32_t* val_left = zero_scratch(s.left_class_count, block);
    uint32_t* all_left = zero_scratch(s.left_class_total, nc);
    for (size_t x = 0; x + 1 < n_bins; ++x) {
      const uint32_t* cells = hist + x * block;
      for (size_t i = 0; i < block; ++i) val_left[i] += cells[i];
      const uint32_t* row = all + x * nc;
      uint64_t in_bin = 0;
      for (size_t c = 0; c < nc; ++c) {
        all_left[c] += row[c];
        in_bin += row[c];
      }
      if (in_bin == 0) continue;
      append_candidate(out, objective_scores(t, val_left, all_left, objective, confusion), k,
                       feature.feature, x, aggregator);
    }
  } else {
    for (size_t x = 0; x < n_bins; ++x) {
      const uint32_t* row = all + x * nc;
      uint64_t in_bin = 0;
      for (size_t c = 0; c < nc; ++c) in_bin += row[c];
      if (in_bin == 0) continue;
      append_candidate(out, objective_scores(t, hist + x * block, row, objective, confusion), k,
                       feature.feature, x, aggregator);
    }
  }
}

}  // namespace

std::vector<ScoredCandidate> score_block_fast_objective(
    const FastBlock& block, std::span<const ClassLabel> targets, const FoldAssignment& folds,
    const Aggregator& aggregator, size_t n_classes, const ClassObjective& objective,
    FastScratch& s) {
  const size_t k = folds.k;
  const size_t nc = n_classes;
  std::vector<ScoredCandidate> out;
  if (k == 0 || nc == 0 || block.features.empty()) return out;
  // H [bin][fold][class] and F [fold][class] of every block feature.
  fill_class_histograms(block, targets, folds, nc, s);
  Confusion confusion = Confusion::zero(nc);
  for (size_t j = 0; j < block.features.size(); ++j) {
    const BlockFeature& feature = block.features[j];
    if (feature.n_bins == 0) continue;
    scan_objective(s.class_count.data() + s.cell_offset[j] * nc,
                   class_fold_totals(s, feature, j, k, nc), feature, k, nc, aggregator, objective,
                   confusion, s, out);
  }
  return out;
}

std::vector<ScoredCandidate> score_feature_fast_objective(
    const FastFeature& feature, std::span<const ClassLabel> targets, const FoldAssignment& folds,
    const Aggregator& aggregator, size_t n_classes, const ClassObjective& objective,
    FastScratch& scratch) {
  BlockFeature storage;
  return score_block_fast_objective(single_feature_block(feature, storage), targets, folds,
                                    aggregator, n_classes, objective, scratch);
}

}  // namespace ornik
