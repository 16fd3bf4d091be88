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

#include "selector.hpp"
#include "task.hpp"
#include "task_scoring.hpp"

namespace ornik {

// The parent of a pending node that is a left child: the split before it in preorder.
inline constexpr size_t kNoParent = std::numeric_limits<size_t>::max();

inline bool parallel_allowed(const TreeParams& p) {
  return p.parallel && p.n_threads >= 2;
}

// Stopping rules checked before any scoring: too few samples, depth reached, or a pure node.
template <class Task>
bool stops_before_scoring(const Task& task, const TreeParams& p, size_t n, size_t depth,
                          std::span<const typename Task::Target> node_targets) {
  if (n < std::max<uint64_t>(p.min_samples_split, 2)) return true;
  if (p.max_depth && depth >= *p.max_depth) return true;
  return node_impurity(task, node_targets) <= 0.0;
}

// The candidate that wins selection, unless its score is <= min_impurity_decrease (never true
// for a NaN threshold, which therefore stops nothing).
inline const ScoredCandidate* winning_candidate(const std::vector<ScoredCandidate>& candidates,
                                                double min_impurity_decrease) {
  const std::optional<size_t> best = select_best(candidates);
  if (!best || candidates[*best].score <= min_impurity_decrease) return nullptr;
  return &candidates[*best];
}

template <class Payload>
void append_leaf(NodeList<Payload>& nodes, Payload payload, size_t n) {
  Node<Payload>& leaf = nodes.emplace_back();
  leaf.is_leaf = true;
  leaf.n_samples = n;
  leaf.payload = std::move(payload);
}

template <class Payload>
void append_split(NodeList<Payload>& nodes, const SplitRule& rule) {
  Node<Payload>& split = nodes.emplace_back();
  split.is_leaf = false;
  split.rule = rule;
}

}  // namespace ornik
