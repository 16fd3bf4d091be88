// The Strict and Fast node builders, one template each over the task kind.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "binning.hpp"
#include "sorted_feature.hpp"
#include "task.hpp"

namespace ornik {

// What a build calls between nodes, on the thread that started it, with the number of samples
// already settled in leaves (by any thread); the call may throw to abandon the build (for example
// on a pending interrupt). An empty hook counts nothing.
class NodeHook {
 public:
  using Call = std::function<void(uint64_t settled)>;

  NodeHook() = default;
  explicit NodeHook(Call call)
      : call_(std::move(call)), settled_(std::make_shared<std::atomic<uint64_t>>(0)) {}

  // A hook for a worker thread: its own checkpoint between nodes, and this hook's count.
  NodeHook for_worker(std::function<void()> checkpoint) const {
    NodeHook worker;
    worker.call_ = [checkpoint = std::move(checkpoint)](uint64_t) { checkpoint(); };
    worker.settled_ = settled_;
    return worker;
  }

  explicit operator bool() const { return static_cast<bool>(call_); }
  void operator()() const { call_(settled_ ? settled_->load(std::memory_order_relaxed) : 0); }
  void settle(uint64_t n_samples) const {
    if (settled_) settled_->fetch_add(n_samples, std::memory_order_relaxed);
  }

 private:
  Call call_;
  std::shared_ptr<std::atomic<uint64_t>> settled_;
};

// Grows a whole tree in Strict mode from the root sample list 0 .. n-1. weights holds one weight
// per row, or is empty when every sample weighs one: a weight scales its sample's part in every
// score and leaf value, while binning, folds and the sample-count settings count samples.
template <class Task>
NodeList<typename Task::Payload> build_tree_strict(const Task& task, const TreeParams& params,
                                                   const Aggregator& aggregator,
                                                   std::span<const Column> columns,
                                                   std::span<const typename Task::Target> targets,
                                                   std::span<const double> weights = {},
                                                   const NodeHook& between_nodes = {});

// Grows a whole tree in Fast mode over every row of the binned matrix; weights as above. The
// grower reorders the targets and weights with the rows, so it takes them over.
template <class Task>
NodeList<typename Task::Payload> build_tree_fast(const Task& task, const TreeParams& params,
                                                 const Aggregator& aggregator, BinnedData binned,
                                                 FillLaterRowVector<typename Task::Target> targets,
                                                 FillLaterRowVector<double> weights = {},
                                                 const NodeHook& between_nodes = {});

// Bins the columns as bin_columns does (n_features of n_rows, column_at(j) building column j) and
// grows a tree over them as build_tree_fast does; a binning error is returned as it is.
template <class Task>
std::variant<NodeList<typename Task::Payload>, std::string> fit_tree_fast(
    const Task& task, const TreeParams& params, const Aggregator& aggregator, size_t n_rows,
    size_t n_features, const std::function<Column(size_t)>& column_at,
    FillLaterRowVector<typename Task::Target> targets, FillLaterRowVector<double> weights = {},
    const NodeHook& between_nodes = {});

// The same over copies of the targets and weights.
template <class Task>
NodeList<typename Task::Payload> build_tree_fast(const Task& task, const TreeParams& params,
                                                 const Aggregator& aggregator, BinnedData binned,
                                                 std::span<const typename Task::Target> targets,
                                                 std::span<const double> weights = {},
                                                 const NodeHook& between_nodes = {}) {
  return build_tree_fast(task, params, aggregator, std::move(binned),
                         FillLaterRowVector<typename Task::Target>(targets.begin(), targets.end()),
                         FillLaterRowVector<double>(weights.begin(), weights.end()), between_nodes);
}

// The rule of a Strict winner: its bin among the node's own quantile edges (threshold style:
// everything up to that bin, never the top bin) or its category. None when no rule fits.
std::optional<SplitRule> make_rule(const Column& column, size_t feature, StateCode state,
                                   std::span<const size_t> samples, uint64_t n_bins, bool ordered);

}  // namespace ornik
