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

template <bool Entropy>
std::vector<ScoredCandidate> scan_classification(const FastFeature& feature, size_t k,
                                                 size_t n_classes, const Aggregator& aggregator,
                                                 FastScratch& s) {
  const size_t n_bins = feature.n_bins;
  const size_t block = k * n_classes;  // cells of one bin
  const uint32_t* class_count = s.class_count.data();
  const uint32_t* fold_class_count = s.fold_class_count.data();
  const uint32_t* fold_bin_count = s.fold_bin_count.data();
  const uint32_t* fold_count = s.fold_count.data();
  double* parent = zero_scratch(s.fold_parent, k);
  for (size_t f = 0; f < k; ++f) {
    if (fold_count[f] > 0) {
      parent[f] = class_impurity<Entropy>(fold_class_count + f * n_classes, n_classes,
                                          static_cast<double>(fold_count[f]));
    }
  }
  uint32_t* right = zero_scratch(s.right_class_count, n_classes);

  std::vector<ScoredCandidate> out;
  if (feature.ordered) {
    uint32_t* left = zero_scratch(s.left_class_count, block);
    uint32_t* left_n = zero_scratch(s.left_count, k);
    for (size_t b = 0; b + 1 < n_bins; ++b) {
      const uint32_t* cells = class_count + b * block;
      for (size_t i = 0; i < block; ++i) left[i] += cells[i];
      const uint32_t* per_fold = fold_bin_count + b * k;
      uint64_t in_bin = 0;
      for (size_t f = 0; f < k; ++f) {
        left_n[f] += per_fold[f];
        in_bin += per_fold[f];
      }
      if (in_bin == 0) continue;
      append_candidate(out,
                     classification_scores<Entropy>(k, n_classes, fold_count, fold_class_count,
                                                    parent, left, left_n, right),
                     k, feature.feature, b, aggregator);
    }
  } else {
    for (size_t b = 0; b < n_bins; ++b) {
      const uint32_t* per_fold = fold_bin_count + b * k;
      uint64_t in_bin = 0;
      for (size_t f = 0; f < k; ++f) in_bin += per_fold[f];
      if (in_bin == 0) continue;
      append_candidate(out,
                     classification_scores<Entropy>(k, n_classes, fold_count, fold_class_count,
                                                    parent, class_count + b * block, per_fold,
                                                    right),
                     k, feature.feature, b, aggregator);
    }
  }
  return out;
}

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

std::vector<ScoredCandidate> score_feature_fast_regression(const FastFeature& feature,
                                                           std::span<const double> targets,
                                                           const FoldAssignment& folds,
                                                           const Aggregator& aggregator,
                                                           FastScratch& s) {
  const size_t k = folds.k;
  const size_t n_bins = feature.n_bins;
  if (k == 0 || n_bins == 0) return {};

  uint32_t* bin_count = zero_scratch(s.bin_count, n_bins * k);
  double* bin_sum = zero_scratch(s.bin_sum, n_bins * k);
  double* bin_sum_sq = zero_scratch(s.bin_sum_sq, n_bins * k);
  uint32_t* fold_count = zero_scratch(s.fold_count, k);
  double* fold_sum = zero_scratch(s.fold_sum, k);
  double* fold_sum_sq = zero_scratch(s.fold_sum_sq, k);

  const uint16_t* codes = feature.codes.data();
  const double* y = targets.data();
  const uint32_t* order = folds.order.data();
  const uint8_t* fold_of = folds.fold_of.data();
  const size_t n_samples = folds.order.size();
  for (size_t p = 0; p < n_samples; ++p) {
    const uint32_t row = order[p];
    const uint16_t x = codes[row];
    if (x == MISSING_CODE || x >= n_bins) continue;
    const size_t f = fold_of[p];
    const double v = y[row];
    const double v2 = v * v;
    const size_t cell = static_cast<size_t>(x) * k + f;
    ++bin_count[cell];
    bin_sum[cell] += v;
    bin_sum_sq[cell] += v2;
    ++fold_count[f];
    fold_sum[f] += v;
    fold_sum_sq[f] += v2;
  }

  double* parent = zero_scratch(s.fold_parent, k);
  for (size_t f = 0; f < k; ++f) {
    if (fold_count[f] > 0) {
      parent[f] =
          variance_from_sums(fold_sum[f], fold_sum_sq[f], static_cast<double>(fold_count[f]));
    }
  }

  std::vector<ScoredCandidate> out;
  if (feature.ordered) {
    uint32_t* left_n = zero_scratch(s.left_count, k);
    double* left_s = zero_scratch(s.left_sum, k);
    double* left_q = zero_scratch(s.left_sum_sq, k);
    for (size_t b = 0; b + 1 < n_bins; ++b) {
      const size_t base = b * k;
      uint64_t in_bin = 0;
      for (size_t f = 0; f < k; ++f) {
        left_n[f] += bin_count[base + f];
        left_s[f] += bin_sum[base + f];
        left_q[f] += bin_sum_sq[base + f];
        in_bin += bin_count[base + f];
      }
      if (in_bin == 0) continue;
      append_candidate(out,
                     regression_scores(k, fold_count, fold_sum, fold_sum_sq, parent, left_n,
                                       left_s, left_q),
                     k, feature.feature, b, aggregator);
    }
  } else {
    for (size_t b = 0; b < n_bins; ++b) {
      const size_t base = b * k;
      uint64_t in_bin = 0;
      for (size_t f = 0; f < k; ++f) in_bin += bin_count[base + f];
      if (in_bin == 0) continue;
      append_candidate(out,
                     regression_scores(k, fold_count, fold_sum, fold_sum_sq, parent,
                                       bin_count + base, bin_sum + base, bin_sum_sq + base),
                     k, feature.feature, b, aggregator);
    }
  }
  return out;
}

void fill_class_histograms(const FastFeature& feature, std::span<const ClassLabel> targets,
                           const FoldAssignment& folds, size_t n_classes, FastScratch& s) {
  const size_t k = folds.k;
  const size_t n_bins = feature.n_bins;
  uint32_t* class_count = zero_scratch(s.class_count, n_bins * k * n_classes);
  uint32_t* fold_class_count = zero_scratch(s.fold_class_count, k * n_classes);
  uint32_t* fold_bin_count = zero_scratch(s.fold_bin_count, n_bins * k);
  uint32_t* fold_count = zero_scratch(s.fold_count, k);

  const uint16_t* codes = feature.codes.data();
  const ClassLabel* y = targets.data();
  const uint32_t* order = folds.order.data();
  const uint8_t* fold_of = folds.fold_of.data();
  const size_t n_samples = folds.order.size();
  for (size_t p = 0; p < n_samples; ++p) {
    const uint32_t row = order[p];
    const uint16_t x = codes[row];
    const ClassLabel c = y[row];
    if (x == MISSING_CODE || x >= n_bins || c >= n_classes) continue;
    const size_t f = fold_of[p];
    const size_t cell = static_cast<size_t>(x) * k + f;
    ++class_count[cell * n_classes + c];
    ++fold_class_count[f * n_classes + c];
    ++fold_bin_count[cell];
    ++fold_count[f];
  }
}

std::vector<ScoredCandidate> score_feature_fast_classification(
    const FastFeature& feature, std::span<const ClassLabel> targets, const FoldAssignment& folds,
    const Aggregator& aggregator, size_t n_classes, bool entropy, FastScratch& scratch) {
  if (folds.k == 0 || feature.n_bins == 0 || n_classes == 0) return {};
  fill_class_histograms(feature, targets, folds, n_classes, scratch);
  return entropy ? scan_classification<true>(feature, folds.k, n_classes, aggregator, scratch)
                 : scan_classification<false>(feature, folds.k, n_classes, aggregator, scratch);
}

}  // namespace ornik
