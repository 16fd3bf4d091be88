// Fast mode's per-fold histogram scans of a node's features.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "cross_validation.hpp"
#include "data.hpp"
#include "selector.hpp"

namespace ornik {

// Reusable scan buffers; grown as needed, never shrunk, zero-filled per call. Cells are laid out
// bin-major ([bin][fold], [bin][fold][class]) so that a scan over bins reads them in sequence.
struct FastScratch {
  // Regression, per (bin, fold): one cell holds all three statistics, so an update touches one
  // cache line. Per fold: the totals.
  struct RegressionCell {
    double sum;
    double sum_sq;
    uint64_t count;
  };
  std::vector<RegressionCell> cells;
  std::vector<double> fold_sum, fold_sum_sq;
  // Classification, per (bin, fold, class), per (fold, class) and per (bin, fold).
  std::vector<uint32_t> class_count, fold_class_count, fold_bin_count;
  // Counted samples per fold, and each fold's parent impurity (or baseline objective score).
  std::vector<uint32_t> fold_count;
  std::vector<double> fold_parent;
  // Running left side of a threshold scan: per fold count, sum and sum of squares, or per
  // (fold, class) counts; plus one fold's right-side class counts.
  std::vector<uint32_t> left_count;
  std::vector<double> left_sum, left_sum_sq;
  std::vector<uint32_t> left_class_count, right_class_count;
  // Objective scan: all-fold counts per (bin, class) and per class, the running all-fold left
  // counts per class, and per (fold, class) the counts outside the fold.
  std::vector<uint32_t> bin_class_total, class_total, left_class_total, train_class_count;
  // Where each block feature's (bin, fold) cells start.
  std::vector<size_t> cell_offset;
  // Totals over all the node's samples per fold (slot k unused), shared by complete features.
  std::vector<uint32_t> node_count, node_class_count;
  std::vector<double> node_sum, node_sum_sq;
};

// One feature of a block: its bin count, its position in the matrix and whether it is scored as
// thresholds (ordered) or as one bin against the rest.
struct BlockFeature {
  size_t n_bins = 0;
  size_t feature = 0;
  bool ordered = false;
  bool complete = false;  // every code is below n_bins: its fold totals are the node's
};

// Features scored together in one pass over a node's rows.
struct FastBlock {
  const uint16_t* codes = nullptr;  // codes[row * stride + j] is block feature j's code
  size_t stride = 1;
  std::span<const BlockFeature> features;
};

// A single feature whose codes are stored contiguously.
struct FastFeature {
  std::span<const uint16_t> codes;  // the feature's code of every training row
  size_t n_bins = 0;
  size_t feature = 0;
  bool ordered = false;
};

// Candidates of every block feature, in feature order, each in increasing bin order.
std::vector<ScoredCandidate> score_block_fast_regression(const FastBlock& block,
                                                         std::span<const double> targets,
                                                         const FoldAssignment& folds,
                                                         const Aggregator& aggregator,
                                                         FastScratch& scratch);

std::vector<ScoredCandidate> score_block_fast_classification(
    const FastBlock& block, std::span<const ClassLabel> targets, const FoldAssignment& folds,
    const Aggregator& aggregator, size_t n_classes, bool entropy, FastScratch& scratch);

std::vector<ScoredCandidate> score_feature_fast_regression(const FastFeature& feature,
                                                           std::span<const double> targets,
                                                           const FoldAssignment& folds,
                                                           const Aggregator& aggregator,
                                                           FastScratch& scratch);

// Zero-fills the first n entries of a scratch buffer, growing it when it is shorter.
template <class T>
T* zero_scratch(std::vector<T>& buffer, size_t n) {
  if (buffer.size() < n) buffer.resize(n);
  std::fill(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n), T{});
  return buffer.data();
}

// Class histograms of the node's counted samples (code below n_bins and not missing, label below
// n_classes) for every block feature j, in one pass in fold-assignment order. Feature j's cells
// start at cell c0 = cell_offset[j]: class_count [c0 + bin*k + fold][class] and fold_bin_count
// [c0 + bin*k + fold]; its fold totals at slot s0 = j*(k+1): fold_class_count [s0 + fold][class]
// and fold_count [s0 + fold]. Bin n_bins and fold slot k collect the uncounted samples.
void fill_class_histograms(const FastBlock& block, std::span<const ClassLabel> targets,
                           const FoldAssignment& folds, size_t n_classes, FastScratch& scratch);

// Feature j's per-fold class totals ([fold][class]) and counted samples per fold after
// fill_class_histograms: its own, or the node's when the feature is complete.
const uint32_t* class_fold_totals(const FastScratch& scratch, const BlockFeature& feature, size_t j,
                                  size_t k, size_t n_classes);
const uint32_t* fold_totals(const FastScratch& scratch, const BlockFeature& feature, size_t j,
                            size_t k);

inline FastBlock single_feature_block(const FastFeature& feature, BlockFeature& storage) {
  storage = BlockFeature{feature.n_bins, feature.feature, feature.ordered, false};
  return FastBlock{feature.codes.data(), 1, std::span<const BlockFeature>(&storage, 1)};
}

// Summarises a candidate's fold scores (k folds tried), aggregates them and appends the candidate.
void append_candidate(std::vector<ScoredCandidate>& out, std::vector<double> scores, size_t k,
                      size_t feature, size_t bin, const Aggregator& aggregator);

std::vector<ScoredCandidate> score_feature_fast_classification(
    const FastFeature& feature, std::span<const ClassLabel> targets, const FoldAssignment& folds,
    const Aggregator& aggregator, size_t n_classes, bool entropy, FastScratch& scratch);

}  // namespace ornik
