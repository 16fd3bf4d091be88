// Fast mode's per-fold histogram scans of a node's features.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <type_traits>
#include <variant>
#include <vector>

#include "aggregation.hpp"
#include "criterion.hpp"
#include "cross_validation.hpp"
#include "data.hpp"
#include "objective.hpp"
#include "selector.hpp"
#include "split_scan.hpp"

namespace ornik {

// Reusable scan buffers; grown as needed, never shrunk, zero-filled per call. Count cells are
// bin-major ([bin][fold][lane]), as rows read in place reach every fold at once; sum cells are
// fold-major ([fold][feature][bin][lane]), as rows read fold by fold reach one fold's cells only.
struct FastScratch {
  template <class Lane>
  struct Cells {
    std::vector<Lane> cells;           // every block feature's (bin, fold) cells
    std::vector<Lane> feature_totals;  // per incomplete feature, per fold (and a spare slot)
    std::vector<Lane> totals;          // per fold over the node's counted samples
  };
  Cells<double> sums;               // regression lanes and weighted class lanes
  Cells<uint32_t> counts;           // unweighted class lanes
  std::vector<size_t> cell_offset;  // the lane where each block feature's cells start
  RowVector<uint8_t> fold_at;       // the fold of each row of the node, in place order
  FoldAssignment folds;             // a grower's last node's, by the grower's KFold only
  ScanScratch scan;

  template <class Lane>
  Cells<Lane>& cells_of() {
    if constexpr (std::is_same_v<Lane, double>) {
      return sums;
    } else {
      return counts;
    }
  }
};

// Workers that may share a node's pass over its rows: run(n, f) calls f(item) for every item in
// [0, n), on up to `count` workers (the calling thread among them), and returns once all are
// done. The cells do not depend on how the pass is shared: every cell is filled by one worker,
// with its samples in the order of a single pass.
struct PassWorkers {
  size_t count = 1;
  std::function<void(size_t, const std::function<void(size_t)>&)> run;
};

// Features scored together in one pass over a node's rows: codes[row * stride + j] is block
// feature j's code of the node's row `row`, one byte or two.
struct FastBlock {
  std::variant<const uint8_t*, const uint16_t*> codes;
  size_t stride = 1;
  std::span<const BlockFeature> features;
};

// Offers out the candidates of every block feature, in feature order, each in increasing bin
// order: the bins holding a counted sample (code below n_bins; for classes, a label below
// n_classes), but never the last bin of an ordered feature. weights holds one weight per training
// row, or is empty when every sample weighs one; folds, targets and weights address the node's
// rows as the block does. choice asks for held-out loss scores and the folds' picks (its feature
// is set per block feature). workers share the pass when there are several.
void score_block_fast_regression(const FastBlock& block, std::span<const double> targets,
                                 std::span<const double> weights, const FoldAssignment& folds,
                                 const SumsCriterion& criterion, const Aggregator& aggregator,
                                 FastScratch& scratch, Candidates& out,
                                 const ScanChoice& choice = {}, const PassWorkers& workers = {});

void score_block_fast_classification(const FastBlock& block, std::span<const ClassLabel> targets,
                                     std::span<const double> weights, const FoldAssignment& folds,
                                     const ClassCriterion& criterion, const Aggregator& aggregator,
                                     FastScratch& scratch, Candidates& out,
                                     const ScanChoice& choice = {},
                                     const PassWorkers& workers = {});

void score_block_fast_objective(const FastBlock& block, std::span<const ClassLabel> targets,
                                std::span<const double> weights, const FoldAssignment& folds,
                                const ClassObjective& objective, size_t n_classes,
                                const Aggregator& aggregator, FastScratch& scratch, Candidates& out,
                                const ScanChoice& choice = {}, const PassWorkers& workers = {});

}  // namespace ornik
