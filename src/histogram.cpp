#include "histogram.hpp"

#include <utility>

#include "binning.hpp"
#include "criterion.hpp"

namespace ornik {
namespace {

// Regression fold scores of one candidate whose per-fold left count, sum and sum of squares are
// left_n, left_s and left_q; the right side is the fold total minus the left.
std::vector<double> regression_scores(size_t k, const uint32_t* fold_count, const double* fold_sum,
                                      const double* fold_sum_sq, const double* parent,
                                      const uint32_t* left_n, const double* left_s,
                                      const double* left_q) {
  std::vector<double> scores;
  scores.reserve(k);
  for (size_t f = 0; f < k; ++f) {
    const uint32_t n = fold_count[f];
    const uint32_t nl = left_n[f];
    if (n == 0 || nl == 0 || nl == n) continue;
    const double dn = static_cast<double>(n);
    const double dl = static_cast<double>(nl);
    const double dr = static_cast<double>(n - nl);
    const double left = variance_from_sums(left_s[f], left_q[f], dl);
    const double right =
        variance_from_sums(fold_sum[f] - left_s[f], fold_sum_sq[f] - left_q[f], dr);
    scores.push_back(parent[f] - (dl * left + dr * right) / dn);
  }
  return scores;
}

template <bool Entropy>
double class_impurity(const uint32_t* counts, size_t n_classes, double n) {
  const std::span<const uint32_t> c(counts, n_classes);
  if constexpr (Entropy) {
    return entropy_from_counts(c, n);
  } else {
    return gini_from_counts(c, n);
  }
}

// Classification fold scores of one candidate whose left class counts are left ([fold][class])
// and per-fold left totals left_n; right holds one fold's right-side counts.
template <bool Entropy>
std::vector<double> classification_scores(size_t k, size_t n_classes, const uint32_t* fold_count,
                                          const uint32_t* fold_class_count, const double* parent,
                                          const uint32_t* left, const uint32_t* left_n,
                                          uint32_t* right) {
  std::vector<double> scores;
  scores.reserve(k);
  for (size_t f = 0; f < k; ++f) {
    const uint32_t n = fold_count[f];
    const uint32_t nl = left_n[f];
    if (n == 0 || nl == 0 || nl == n) continue;
    const uint32_t* lf = left + f * n_classes;
    const uint32_t* tf = fold_class_count + f * n_classes;
    for (size_t c = 0; c < n_classes; ++c) right[c] = tf[c] - lf[c];
    const double dn = static_cast<double>(n);
    const double dl = static_cast<double>(nl);
    const double dr = static_cast<double>(n - nl);
    const double il = class_impurity<Entropy>(lf, n_classes, dl);
    const double ir = class_impurity<Entropy>(right, n_classes, dr);
    scores.push_back(parent[f] - (dl * il + dr * ir) / dn);
  }
  return scores;
}

// Pointers to one feature's class histograms inside the block tables.
struct ClassCells {
  const uint32_t* class_count;       // [bin][fold][class]
  const uint32_t* fold_bin_count;    // [bin][fold]
  const uint32_t* fold_class_count;  // [fold][class]
  const uint32_t* fold_count;        // [fold]
};

template <bool Entropy>
void scan_classification(const ClassCells& h, const BlockFeature& feature, size_t k,
                         size_t n_classes, const Aggregator& aggregator, FastScratch& s,
                         std::vector<ScoredCandidate>& out) {
  const size_t n_bins = feature.n_bins;
  const size_t block = k * n_classes;  // cells of one bin
  double* parent = zero_scratch(s.fold_parent, k);
  for (size_t f = 0; f < k; ++f) {
    if (h.fold_count[f] > 0) {
      parent[f] = class_impurity<Entropy>(h.fold_class_count + f * n_classes, n_classes,
                                          static_cast<double>(h.fold_count[f]));
    }
  }
  uint32_t* right = zero_scratch(s.right_class_count, n_classes);

  if (feature.ordered) {
    uint32_t* left = zero_scratch(s.left_class_count, block);
    uint32_t* left_n = zero_scratch(s.left_count, k);
    for (size_t b = 0; b + 1 < n_bins; ++b) {
      const uint32_t* cells = h.class_count + b * block;
      for (size_t i = 0; i < block; ++i) left[i] += cells[i];
      const uint32_t* per_fold = h.fold_bin_count + b * k;
      uint64_t in_bin = 0;
      for (size_t f = 0; f < k; ++f) {
        left_n[f] += per_fold[f];
        in_bin += per_fold[f];
      }
      if (in_bin == 0) continue;
      append_candidate(
          out,
          classification_scores<Entropy>(k, n_classes, h.fold_count, h.fold_class_count, parent,
                                         left, left_n, right),
          k, feature.feature, b, aggregator);
    }
  } else {
    for (size_t b = 0; b < n_bins; ++b) {
      const uint32_t* per_fold = h.fold_bin_count + b * k;
      uint64_t in_bin = 0;
      for (size_t f = 0; f < k; ++f) in_bin += per_fold[f];
      if (in_bin == 0) continue;
      append_candidate(
          out,
          classification_scores<Entropy>(k, n_classes, h.fold_count, h.fold_class_count, parent,
                                         h.class_count + b * block, per_fold, right),
          k, feature.feature, b, aggregator);
    }
  }
}

// Lays out the block's cells: feature j gets (n_bins_j + 1) bins of k cells, the extra bin
// collecting its uncounted samples. Returns the total number of cells.
size_t layout_cells(const FastBlock& block, size_t k, FastScratch& s) {
  s.cell_offset.resize(block.features.size());
  size_t cells = 0;
  for (size_t j = 0; j < block.features.size(); ++j) {
    s.cell_offset[j] = cells;
    cells += (block.features[j].n_bins + 1) * k;
  }
  return cells;
}

// How far ahead of the current row the pass prefetches codes and targets.
constexpr size_t kPrefetchDistance = 8;

}  // namespace

void append_candidate(std::vector<ScoredCandidate>& out, std::vector<double> scores, size_t k,
                      size_t feature, size_t bin, const Aggregator& aggregator) {
  ScoredCandidate candidate;
  candidate.stats = FoldStats::from_scores(std::move(scores), k);
  candidate.score = aggregator.aggregate(candidate.stats);
  candidate.feature = feature;
  candidate.state = bin;
  out.push_back(std::move(candidate));
}

std::vector<ScoredCandidate> score_block_fast_regression(const FastBlock& block,
                                                         std::span<const double> targets,
                                                         const FoldAssignment& folds,
                                                         const Aggregator& aggregator,
                                                         FastScratch& s) {
  const size_t k = folds.k;
  const size_t nf = block.features.size();
  std::vector<ScoredCandidate> out;
  if (k == 0 || nf == 0) return out;

  const size_t n_cells = layout_cells(block, k, s);
  const size_t n_slots = nf * (k + 1);
  FastScratch::RegressionCell* cells = zero_scratch(s.cells, n_cells);
  uint32_t* fold_count = zero_scratch(s.fold_count, n_slots);
  double* fold_sum = zero_scratch(s.fold_sum, n_slots);
  double* fold_sum_sq = zero_scratch(s.fold_sum_sq, n_slots);
  const size_t* offset = s.cell_offset.data();
  const BlockFeature* features = block.features.data();

  // One pass over the node in fold-assignment order, so every sum accumulates in that order.
  // A missing or out-of-range code lands in the feature's spare bin and spare fold slot, which
  // keeps it out of every counted cell and total without a branch.
  const uint16_t* codes = block.codes;
  const size_t stride = block.stride;
  const double* y = targets.data();
  const uint32_t* order = folds.order.data();
  const uint8_t* fold_of = folds.fold_of.data();
  const size_t n_samples = folds.order.size();
  uint32_t* node_count = zero_scratch(s.node_count, k + 1);
  double* node_sum = zero_scratch(s.node_sum, k + 1);
  double* node_sum_sq = zero_scratch(s.node_sum_sq, k + 1);
  for (size_t p = 0; p < n_samples; ++p) {
    if (p + kPrefetchDistance < n_samples) {
      const size_t ahead = order[p + kPrefetchDistance];
      __builtin_prefetch(codes + ahead * stride);
      __builtin_prefetch(y + ahead);
    }
    const size_t row = order[p];
    const size_t f = fold_of[p];
    const double v = y[row];
    const double v2 = v * v;
    ++node_count[f];
    node_sum[f] += v;
    node_sum_sq[f] += v2;
    const uint16_t* row_codes = codes + row * stride;
    for (size_t j = 0; j < nf; ++j) {
      const size_t x = row_codes[j];
      if (features[j].complete) {
        FastScratch::RegressionCell& cell = cells[offset[j] + x * k + f];
        cell.sum += v;
        cell.sum_sq += v2;
        ++cell.count;
        continue;
      }
      const size_t n_bins = features[j].n_bins;
      const bool counted = x < n_bins;
      FastScratch::RegressionCell& cell = cells[offset[j] + (counted ? x : n_bins) * k + f];
      const size_t slot = j * (k + 1) + (counted ? f : k);
      cell.sum += v;
      cell.sum_sq += v2;
      ++cell.count;
      ++fold_count[slot];
      fold_sum[slot] += v;
      fold_sum_sq[slot] += v2;
    }
  }

  for (size_t j = 0; j < nf; ++j) {
    const BlockFeature& feature = features[j];
    const size_t n_bins = feature.n_bins;
    if (n_bins == 0) continue;
    const bool shared = feature.complete;
    const uint32_t* fc = shared ? node_count : fold_count + j * (k + 1);
    const double* fs = shared ? node_sum : fold_sum + j * (k + 1);
    const double* fq = shared ? node_sum_sq : fold_sum_sq + j * (k + 1);
    const FastScratch::RegressionCell* bins = cells + offset[j];
    double* parent = zero_scratch(s.fold_parent, k);
    for (size_t f = 0; f < k; ++f) {
      if (fc[f] > 0) parent[f] = variance_from_sums(fs[f], fq[f], static_cast<double>(fc[f]));
    }
    if (feature.ordered) {
      uint32_t* left_n = zero_scratch(s.left_count, k);
      double* left_s = zero_scratch(s.left_sum, k);
      double* left_q = zero_scratch(s.left_sum_sq, k);
      for (size_t b = 0; b + 1 < n_bins; ++b) {
        const size_t base = b * k;
        uint64_t in_bin = 0;
        for (size_t f = 0; f < k; ++f) {
          const FastScratch::RegressionCell& cell = bins[base + f];
          left_n[f] += static_cast<uint32_t>(cell.count);
          left_s[f] += cell.sum;
          left_q[f] += cell.sum_sq;
          in_bin += cell.count;
        }
        if (in_bin == 0) continue;
        append_candidate(out, regression_scores(k, fc, fs, fq, parent, left_n, left_s, left_q), k,
                         feature.feature, b, aggregator);
      }
    } else {
      for (size_t b = 0; b < n_bins; ++b) {
        const size_t base = b * k;
        uint64_t in_bin = 0;
        uint32_t* bin_n = zero_scratch(s.left_count, k);
        double* bin_s = zero_scratch(s.left_sum, k);
        double* bin_q = zero_scratch(s.left_sum_sq, k);
        for (size_t f = 0; f < k; ++f) {
          const FastScratch::RegressionCell& cell = bins[base + f];
          bin_n[f] = static_cast<uint32_t>(cell.count);
          bin_s[f] = cell.sum;
          bin_q[f] = cell.sum_sq;
          in_bin += cell.count;
        }
        if (in_bin == 0) continue;
        append_candidate(out, regression_scores(k, fc, fs, fq, parent, bin_n, bin_s, bin_q), k,
                         feature.feature, b, aggregator);
      }
    }
  }
  return out;
}

std::vector<ScoredCandidate> score_feature_fast_regression(const FastFeature& feature,
                                                           std::span<const double> targets,
                                                           const FoldAssignment& folds,
                                                           const Aggregator& aggregator,
                                                           FastScratch& scratch) {
  BlockFeature storage;
  return score_block_fast_regression(single_feature_block(feature, storage), targets, folds,
                                     aggregator, scratch);
}

void fill_class_histograms(const FastBlock& block, std::span<const ClassLabel> targets,
                           const FoldAssignment& folds, size_t n_classes, FastScratch& s) {
  const size_t k = folds.k;
  const size_t nf = block.features.size();
  const size_t nc = n_classes;
  const size_t n_cells = layout_cells(block, k, s);
  const size_t n_slots = nf * (k + 1);
  uint32_t* class_count = zero_scratch(s.class_count, n_cells * nc);
  uint32_t* fold_bin_count = zero_scratch(s.fold_bin_count, n_cells);
  uint32_t* fold_class_count = zero_scratch(s.fold_class_count, n_slots * nc);
  uint32_t* fold_count = zero_scratch(s.fold_count, n_slots);
  uint32_t* node_class_count = zero_scratch(s.node_class_count, (k + 1) * nc);
  uint32_t* node_count = zero_scratch(s.node_count, k + 1);
  const size_t* offset = s.cell_offset.data();
  const BlockFeature* features = block.features.data();

  const uint16_t* codes = block.codes;
  const size_t stride = block.stride;
  const ClassLabel* y = targets.data();
  const uint32_t* order = folds.order.data();
  const uint8_t* fold_of = folds.fold_of.data();
  const size_t n_samples = folds.order.size();
  for (size_t p = 0; p < n_samples; ++p) {
    if (p + kPrefetchDistance < n_samples) {
      const size_t ahead = order[p + kPrefetchDistance];
      __builtin_prefetch(codes + ahead * stride);
      __builtin_prefetch(y + ahead);
    }
    const size_t row = order[p];
    const ClassLabel c = y[row];
    if (c >= nc) continue;
    const size_t f = fold_of[p];
    ++node_class_count[f * nc + c];
    ++node_count[f];
    const uint16_t* row_codes = codes + row * stride;
    for (size_t j = 0; j < nf; ++j) {
      const size_t x = row_codes[j];
      if (features[j].complete) {
        const size_t cell = offset[j] + x * k + f;
        ++class_count[cell * nc + c];
        ++fold_bin_count[cell];
        continue;
      }
      const size_t n_bins = features[j].n_bins;
      const bool counted = x < n_bins;
      const size_t cell = offset[j] + (counted ? x : n_bins) * k + f;
      const size_t slot = j * (k + 1) + (counted ? f : k);
      ++class_count[cell * nc + c];
      ++fold_bin_count[cell];
      ++fold_class_count[slot * nc + c];
      ++fold_count[slot];
    }
  }
}

const uint32_t* class_fold_totals(const FastScratch& s, const BlockFeature& feature, size_t j,
                                  size_t k, size_t n_classes) {
  return feature.complete ? s.node_class_count.data()
                          : s.fold_class_count.data() + j * (k + 1) * n_classes;
}

const uint32_t* fold_totals(const FastScratch& s, const BlockFeature& feature, size_t j, size_t k) {
  return feature.complete ? s.node_count.data() : s.fold_count.data() + j * (k + 1);
}

std::vector<ScoredCandidate> score_block_fast_classification(
    const FastBlock& block, std::span<const ClassLabel> targets, const FoldAssignment& folds,
    const Aggregator& aggregator, size_t n_classes, bool entropy, FastScratch& s) {
  const size_t k = folds.k;
  std::vector<ScoredCandidate> out;
  if (k == 0 || n_classes == 0 || block.features.empty()) return out;
  fill_class_histograms(block, targets, folds, n_classes, s);
  for (size_t j = 0; j < block.features.size(); ++j) {
    const BlockFeature& feature = block.features[j];
    if (feature.n_bins == 0) continue;
    const size_t c0 = s.cell_offset[j];
    const ClassCells h{s.class_count.data() + c0 * n_classes, s.fold_bin_count.data() + c0,
                       class_fold_totals(s, feature, j, k, n_classes),
                       fold_totals(s, feature, j, k)};
    if (entropy) {
      scan_classification<true>(h, feature, k, n_classes, aggregator, s, out);
    } else {
      scan_classification<false>(h, feature, k, n_classes, aggregator, s, out);
    }
  }
  return out;
}

std::vector<ScoredCandidate> score_feature_fast_classification(
    const FastFeature& feature, std::span<const ClassLabel> targets, const FoldAssignment& folds,
    const Aggregator& aggregator, size_t n_classes, bool entropy, FastScratch& scratch) {
  BlockFeature storage;
  return score_block_fast_classification(single_feature_block(feature, storage), targets, folds,
                                         aggregator, n_classes, entropy, scratch);
}

}  // namespace ornik
