// The Fast builder: the top of the tree on the calling thread while, with threads, the workers
// grow the subtrees it defers and share their work as they become free.
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

namespace {

template <class Task, class Code>
NodeList<typename Task::Payload> grow_tree(const Task& task, const TreeParams& params,
                                           const Aggregator& aggregator, BinnedData binned,
                                           FillLaterRowVector<typename Task::Target> targets,
                                           FillLaterRowVector<double> weights,
                                           const NodeHook& between_nodes) {
  const FastGrower<Task, Code> grower(task, params, aggregator, std::move(binned),
                                      std::move(targets), std::move(weights));
  const size_t n = grower.n_rows();
  if (!parallel_allowed(params) || n < std::max<uint64_t>(params.parallel_min_samples, 2)) {
    NodeList<typename Task::Payload> top;
    FastScratch scratch;
    grower.grow(0, n, 0, top, scratch, {}, between_nodes);
    return top;
  }
  // With threads: the top of the tree is grown on the calling thread, which defers the subtrees
  // below the rows per thread to the other workers. (A thread count beyond the rows is capped
  // first.)
  const uint64_t threads = std::min<uint64_t>(params.n_threads, n);
  SubtreeQueue queue(static_cast<size_t>(threads));
  auto [top_nodes, grown] = grow_top_and_subtrees(
      grower, n / threads + 1, static_cast<size_t>(threads), queue, between_nodes);
  if (grown.empty()) return top_nodes;
  return splice_subtrees(top_nodes, queue.subtrees(), grown);
}

}  // namespace

template <class Task>
NodeList<typename Task::Payload> build_tree_fast(const Task& task, const TreeParams& params,
                                                 const Aggregator& aggregator, BinnedData binned,
                                                 FillLaterRowVector<typename Task::Target> targets,
                                                 FillLaterRowVector<double> weights,
                                                 const NodeHook& between_nodes) {
  if (std::holds_alternative<CodeMatrix<uint8_t>>(binned.codes)) {
    return grow_tree<Task, uint8_t>(task, params, aggregator, std::move(binned), std::move(targets),
                                    std::move(weights), between_nodes);
  }
  return grow_tree<Task, uint16_t>(task, params, aggregator, std::move(binned), std::move(targets),
                                   std::move(weights), between_nodes);
}

#define ORNIK_INSTANTIATE_FAST(TASK)                                 \
  template NodeList<TASK::Payload> build_tree_fast<TASK>(            \
      const TASK&, const TreeParams&, const Aggregator&, BinnedData, \
      FillLaterRowVector<TASK::Target>, FillLaterRowVector<double>, const NodeHook&);

ORNIK_INSTANTIATE_FAST(Regression)
ORNIK_INSTANTIATE_FAST(Classification)
ORNIK_INSTANTIATE_FAST(ObjectiveClassification)

}  // namespace ornik
