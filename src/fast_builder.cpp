// The Fast builder: the top of the tree on the calling thread while, with threads, the workers
// grow the subtrees it defers and share their work as they become free.
#include <algorithm>
#include <exception>

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

// Whether a fit of n rows runs on its threads, in binning and in growing alike.
bool fit_on_threads(const TreeParams& params, size_t n) {
  return parallel_allowed(params) && n >= std::max<uint64_t>(params.parallel_min_samples, 2);
}

template <class Task, class Code>
NodeList<typename Task::Payload> grow_tree(const Task& task, const TreeParams& params,
                                           const Aggregator& aggregator, BinnedData binned,
                                           FillLaterRowVector<typename Task::Target> targets,
                                           FillLaterRowVector<double> weights,
                                           const NodeHook& between_nodes,
                                           FoldAssignment root_folds) {
  const FastGrower<Task, Code> grower(task, params, aggregator, std::move(binned),
                                      std::move(targets), std::move(weights));
  const size_t n = grower.n_rows();
  if (!fit_on_threads(params, n)) {
    NodeList<typename Task::Payload> top;
    FastScratch scratch;
    scratch.folds = std::move(root_folds);
    grower.grow(0, n, 0, top, scratch, {}, between_nodes);
    return top;
  }
  // With threads: the top of the tree is grown on the calling thread, which defers the subtrees
  // below the rows per thread to the other workers. (A thread count beyond the rows is capped
  // first.)
  const uint64_t threads = std::min<uint64_t>(params.n_threads, n);
  SubtreeQueue queue(static_cast<size_t>(threads));
  auto [top_nodes, grown] =
      grow_top_and_subtrees(grower, n / threads + 1, static_cast<size_t>(threads), queue,
                            between_nodes, std::move(root_folds));
  if (grown.empty()) return top_nodes;
  return splice_subtrees(top_nodes, queue.subtrees(), grown);
}

// root_folds, when not empty, is the fit's assignment of the root's rows.
template <class Task>
NodeList<typename Task::Payload> grow_tree(const Task& task, const TreeParams& params,
                                           const Aggregator& aggregator, BinnedData binned,
                                           FillLaterRowVector<typename Task::Target> targets,
                                           FillLaterRowVector<double> weights,
                                           const NodeHook& between_nodes,
                                           FoldAssignment root_folds = {}) {
  if (std::holds_alternative<CodeMatrix<uint8_t>>(binned.codes)) {
    return grow_tree<Task, uint8_t>(task, params, aggregator, std::move(binned), std::move(targets),
                                    std::move(weights), between_nodes, std::move(root_folds));
  }
  return grow_tree<Task, uint16_t>(task, params, aggregator, std::move(binned), std::move(targets),
                                   std::move(weights), between_nodes, std::move(root_folds));
}

}  // namespace

template <class Task>
NodeList<typename Task::Payload> build_tree_fast(const Task& task, const TreeParams& params,
                                                 const Aggregator& aggregator, BinnedData binned,
                                                 FillLaterRowVector<typename Task::Target> targets,
                                                 FillLaterRowVector<double> weights,
                                                 const NodeHook& between_nodes) {
  return grow_tree(task, params, aggregator, std::move(binned), std::move(targets),
                   std::move(weights), between_nodes);
}

template <class Task>
std::variant<NodeList<typename Task::Payload>, std::string> fit_tree_fast(
    const Task& task, const TreeParams& params, const Aggregator& aggregator, size_t n_rows,
    size_t n_features, const std::function<Column(size_t)>& column_at,
    FillLaterRowVector<typename Task::Target> targets, FillLaterRowVector<double> weights,
    const NodeHook& between_nodes) {
  std::variant<BinnedData, std::string> binned;
  FoldAssignment root_folds;
  if (!fit_on_threads(params, n_rows)) {
    binned = bin_columns(n_rows, n_features, params.n_bins, 1, column_at);
  } else {
    // The root's folds depend on the row count alone: a worker of its own draws them while the
    // columns are binned, in the time binning's workers spend waiting on each other. Failures
    // propagate as they are, binning's first.
    std::exception_ptr failures[2];
    run_workers(2, [&](size_t worker, const Checkpoint&) {
      try {
        if (worker == 0) {
          binned = bin_columns(n_rows, n_features, params.n_bins, params.n_threads, column_at);
        } else {
          params.kfold().assign(n_rows, root_folds);
        }
      } catch (...) {
        failures[worker] = std::current_exception();
      }
    });
    for (const std::exception_ptr& failure : failures) {
      if (failure) std::rethrow_exception(failure);
    }
  }
  if (const std::string* error = std::get_if<std::string>(&binned)) return *error;
  return grow_tree(task, params, aggregator, std::move(std::get<BinnedData>(binned)),
                   std::move(targets), std::move(weights), between_nodes, std::move(root_folds));
}

#define ORNIK_INSTANTIATE_FAST(TASK)                                                  \
  template NodeList<TASK::Payload> build_tree_fast<TASK>(                             \
      const TASK&, const TreeParams&, const Aggregator&, BinnedData,                  \
      FillLaterRowVector<TASK::Target>, FillLaterRowVector<double>, const NodeHook&); \
  template std::variant<NodeList<TASK::Payload>, std::string> fit_tree_fast<TASK>(    \
      const TASK&, const TreeParams&, const Aggregator&, size_t, size_t,              \
      const std::function<Column(size_t)>&, FillLaterRowVector<TASK::Target>,         \
      FillLaterRowVector<double>, const NodeHook&);

ORNIK_INSTANTIATE_FAST(Regression)
ORNIK_INSTANTIATE_FAST(Classification)
ORNIK_INSTANTIATE_FAST(ObjectiveClassification)

}  // namespace ornik
