// The subtrees that Fast mode with threads leaves to whole-subtree workers, their growing on the
// worker pool and their splicing back into the preorder node list.
#pragma once

#include <algorithm>
#include <atomic>
#include <limits>
#include <numeric>
#include <vector>

#include "fast_grower.hpp"
#include "parallel.hpp"

namespace ornik {

// Grows every deferred subtree on up to n_threads workers, the calling thread among them (it
// alone runs between_nodes). Each worker takes the largest subtree still waiting, so that no
// thread is left with one big subtree at the end. Results are kept per subtree, so the order of
// work does not matter.
template <class Task>
std::vector<NodeList<typename Task::Payload>> grow_deferred(
    const FastGrower<Task>& grower, const std::vector<DeferredSubtree>& subtrees, size_t n_threads,
    const NodeHook& between_nodes) {
  std::vector<NodeList<typename Task::Payload>> grown(subtrees.size());
  std::vector<size_t> largest_first(subtrees.size());
  std::iota(largest_first.begin(), largest_first.end(), size_t{0});
  std::stable_sort(largest_first.begin(), largest_first.end(), [&](size_t a, size_t b) {
    return subtrees[a].end - subtrees[a].begin > subtrees[b].end - subtrees[b].begin;
  });
  std::atomic<size_t> next{0};
  const auto grow_waiting = [&](size_t, const Checkpoint& checkpoint) {
    FastScratch scratch;
    for (size_t i = next.fetch_add(1); i < largest_first.size(); i = next.fetch_add(1)) {
      const size_t id = largest_first[i];
      const DeferredSubtree& subtree = subtrees[id];
      grower.grow(subtree.begin, subtree.end, subtree.depth, grown[id], scratch, false, 0, nullptr,
                  between_nodes.for_worker(checkpoint));
    }
  };
  const Checkpoint between_steps = between_nodes ? Checkpoint([&] { between_nodes(); }) : nullptr;
  run_workers(std::min(n_threads, subtrees.size()), grow_waiting, between_steps);
  return grown;
}

// The whole tree in preorder: the top with each placeholder replaced by its grown subtree.
template <class Payload>
NodeList<Payload> splice_subtrees(const NodeList<Payload>& top,
                                  const std::vector<DeferredSubtree>& subtrees,
                                  std::vector<NodeList<Payload>>& grown) {
  constexpr size_t kNotDeferred = std::numeric_limits<size_t>::max();
  std::vector<size_t> subtree_at(top.size(), kNotDeferred);
  size_t total = top.size();
  for (size_t i = 0; i < subtrees.size(); ++i) {
    subtree_at[subtrees[i].placeholder] = i;
    total += grown[i].size();
  }
  NodeList<Payload> nodes;
  nodes.reserve(total);
  struct Item {
    size_t top_id;
    size_t parent;  // the split in `nodes` whose right child this is, or kNoParent
  };
  std::vector<Item> stack{{0, kNoParent}};
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    if (item.parent != kNoParent) nodes[item.parent].right = nodes.size();
    const Node<Payload>& node = top[item.top_id];
    if (subtree_at[item.top_id] != kNotDeferred) {
      const size_t base = nodes.size();
      for (Node<Payload>& grown_node : grown[subtree_at[item.top_id]]) {
        if (!grown_node.is_leaf) grown_node.right += base;
        nodes.push_back(std::move(grown_node));
      }
    } else if (node.is_leaf) {
      nodes.push_back(node);
    } else {
      const size_t id = nodes.size();
      nodes.push_back(node);
      stack.push_back({node.right, id});
      stack.push_back({item.top_id + 1, kNoParent});
    }
  }
  return nodes;
}

}  // namespace ornik
