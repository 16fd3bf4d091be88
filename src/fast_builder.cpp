// The Fast builder: the top of the tree on the calling thread (big nodes scored on feature-chunk
// workers), then, with threads, the small subtrees grown whole on the worker pool.
#include <algorithm>

#include "deferred_subtrees.hpp"
#include "fast_grower.hpp"
#include "tree_builder.hpp"

namespace ornik {

std::optional<SplitRule> fast_rule(const FeatureBins& bins, size_t feature, uint64_t bin,
                                   bool ordered) {
  if (!bins.continuous) {
    if (bin >= bins.categories.size()) return std::nullopt;
    return SplitRule::categorical(feature, bins.categories[bin]);
  }
  const std::vector<double>& edges = bins.edges;
  if (ordered) {
    if (bin >= edges.size()) return std::nullopt;
    return SplitRule::numeric(feature, std::nullopt, edges[bin]);
  }
  if (bin > edges.size()) return std::nullopt;
  std::optional<double> lower, upper;
  if (bin > 0) lower = edges[bin - 1];
  if (bin < edges.size()) upper = edges[bin];
  return SplitRule::numeric(feature, lower, upper);
}

template <class Task>
NodeList<typename Task::Payload> build_tree_fast(const Task& task, const TreeParams& params,
                                                 const Aggregator& aggregator, BinnedData binned,
                                                 std::span<const typename Task::Target> targets,
                                                 std::span<const double> weights,
                                                 const NodeHook& between_nodes) {
  const FastGrower<Task> grower(task, params, aggregator, std::move(binned), targets, weights);
  const size_t n = grower.n_rows();
  NodeList<typename Task::Payload> top;
  FastScratch scratch;
  if (!parallel_allowed(params) || n < std::max<uint64_t>(params.parallel_min_samples, 2)) {
    grower.grow(0, n, 0, top, scratch, parallel_allowed(params), 0, nullptr, between_nodes);
    return top;
  }
  // With threads: large nodes are scored on feature-chunk workers; subtrees below a quarter of
  // the rows per thread are grown whole, one per worker at a time.
  // (A thread count beyond the rows is capped first, so 4 * threads cannot overflow to 0.)
  const uint64_t threads = std::min<uint64_t>(params.n_threads, n);
  const size_t defer_below = n / threads + 1;
  std::vector<DeferredSubtree> subtrees;
  grower.grow(0, n, 0, top, scratch, true, defer_below, &subtrees, between_nodes);
  if (subtrees.empty()) return top;
  std::vector<NodeList<typename Task::Payload>> grown =
      grow_deferred(grower, subtrees, static_cast<size_t>(params.n_threads), between_nodes);
  return splice_subtrees(top, subtrees, grown);
}

#define ORNIK_INSTANTIATE_FAST(TASK)                                 \
  template NodeList<TASK::Payload> build_tree_fast<TASK>(            \
      const TASK&, const TreeParams&, const Aggregator&, BinnedData, \
      std::span<const TASK::Target>, std::span<const double>, const NodeHook&);

ORNIK_INSTANTIATE_FAST(Regression)
ORNIK_INSTANTIATE_FAST(Classification)
ORNIK_INSTANTIATE_FAST(ObjectiveClassification)

}  // namespace ornik
