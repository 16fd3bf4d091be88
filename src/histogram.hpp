// Fast mode's per-fold histogram scans of one feature at one node.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "cross_validation.hpp"
#include "data.hpp"
#include "selector.hpp"

namespace ornik {

// Reusable scan buffers; grown as needed, never shrunk, zero-filled per call.
struct FastScratch {
  // Regression, per (fold, bin) and per fold.
  std::vector<uint32_t> bin_count;
  std::vector<double> bin_sum, bin_sum_sq;
  std::vector<double> fold_sum, fold_sum_sq;
  // Classification, per (fold, bin, class), per (fold, class) and per (fold, bin).
  std::vector<uint32_t> class_count, fold_class_count, fold_bin_count;
};

// Inputs shared by the three scans of one feature.
struct FastFeature {
  std::span<const uint16_t> codes;  // the feature's code of every training row
  size_t n_bins = 0;
  size_t feature = 0;
  bool ordered = false;
};

std::vector<ScoredCandidate> score_feature_fast_regression(const FastFeature& feature,
                                                           std::span<const double> targets,
                                                           const FoldAssignment& folds,
                                                           const Aggregator& aggregator,
                                                           FastScratch& scratch);

std::vector<ScoredCandidate> score_feature_fast_classification(
    const FastFeature& feature, std::span<const ClassLabel> targets, const FoldAssignment& folds,
    const Aggregator& aggregator, size_t n_classes, bool entropy, FastScratch& scratch);

}  // namespace ornik
