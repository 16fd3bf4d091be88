// The steps of growing one node that the Strict and Fast builders share: the stopping rules,
// picking the winning candidate and appending the node.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fold_picks.hpp"
#include "selector.hpp"
#include "task.hpp"
#include "task_scoring.hpp"
#include "tree_builder.hpp"

namespace ornik {

// The parent of a pending node that is a left child: the split before it in preorder.
inline constexpr size_t kNoParent = std::numeric_limits<size_t>::max();

inline bool parallel_allowed(const TreeParams& p) {
  return p.parallel && p.n_threads >= 2;
}

// Stopping rules checked before any scoring: too few samples, depth reached, or a pure node (by
// weight: samples of no weight do not make a node mixed).
template <class Task>
bool stops_before_scoring(const Task& task, const TreeParams& p, size_t n, size_t depth,
                          std::span<const typename Task::Target> node_targets,
                          SampleWeights node_weights) {
  if (n < std::max<uint64_t>(p.min_samples_split, 2)) return true;
  if (p.max_depth && depth >= *p.max_depth) return true;
  return node_impurity(task, node_targets, node_weights) <= 0.0;
}

// A node's targets and, when the fit is weighted, their weights, gathered in row order.
template <class Rows, class Target>
void gather_node(const Rows& rows, std::span<const Target> targets, std::span<const double> weights,
                 std::vector<Target>& node_targets, std::vector<double>& node_weights) {
  node_targets.clear();
  node_weights.clear();
  for (const auto row : rows) node_targets.push_back(targets[row]);
  if (weights.empty()) return;
  for (const auto row : rows) node_weights.push_back(weights[row]);
}

// The candidate that wins selection, and the evidence of the split it would make; none when no
// score is finite or the stop score is <= min_impurity_decrease (never true for a NaN threshold,
// which therefore stops nothing). The stop score is the winner's score, or under
// StopRule::Selection the aggregate of the held-out scores of the folds' picks.
inline const ScoredCandidate* winning_candidate(const std::vector<ScoredCandidate>& candidates,
                                                const TreeParams& p, const Aggregator& aggregator,
                                                const FoldPicks& picks, SplitEvidence& evidence) {
  const std::optional<size_t> best = select_best(candidates);
  if (!best) return nullptr;
  const ScoredCandidate& winner = candidates[*best];
  const double stop_score = p.stop_rule == StopRule::Selection
                                ? aggregator.aggregate(picks.held_out_stats())
                                : winner.score;
  if (stop_score <= p.min_impurity_decrease) return nullptr;
  evidence = SplitEvidence{winner.score, stop_score, winner.stats.mean, winner.stats.std,
                           winner.stats.n_valid};
  return &winner;
}

template <class Payload>
void append_leaf(NodeList<Payload>& nodes, Payload payload, size_t n) {
  Node<Payload>& leaf = nodes.emplace_back();
  leaf.is_leaf = true;
  leaf.n_samples = n;
  leaf.payload = std::move(payload);
}

// A final leaf: appended, and its samples counted as settled.
template <class Payload>
void settle_leaf(NodeList<Payload>& nodes, Payload payload, size_t n, const NodeHook& hook) {
  append_leaf(nodes, std::move(payload), n);
  hook.settle(n);
}

// The same for a node of the given targets, whose value is computed here: only a node that ends
// as a leaf needs one.
template <class Task>
void settle_leaf(const Task& task, NodeList<typename Task::Payload>& nodes,
                 std::span<const typename Task::Target> node_targets, SampleWeights node_weights,
                 const NodeHook& hook) {
  settle_leaf(nodes, leaf_payload(task, node_targets, node_weights), node_targets.size(), hook);
}

template <class Payload>
void append_split(NodeList<Payload>& nodes, const SplitRule& rule, const SplitEvidence& evidence) {
  Node<Payload>& split = nodes.emplace_back();
  split.is_leaf = false;
  split.rule = rule;
  split.evidence = evidence;
}

}  // namespace ornik
