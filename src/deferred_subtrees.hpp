// The subtrees that Fast mode with threads leaves to whole-subtree workers, their growing on the
// worker pool and their splicing back into the preorder node list.
#pragma once

#include <exception>
#include <limits>
#include <utility>
#include <vector>

#include "fast_grower.hpp"
#include "parallel.hpp"

namespace ornik {

// Grows a tree on n_workers workers, the calling thread among them (it alone runs
// between_nodes). The calling thread grows the top of the tree, deferring each subtree below
// defer_below rows; the other workers grow deferred subtrees as they come, and so does the
// calling thread once the top is done. Any grower defers a node that a free worker can take, and
// scores a big node on feature chunks when workers are free.
// Returns the top and each subtree's nodes, in deferral order. A failure of the top propagates
// as it is. root_folds, when not empty, is the grower's assignment of the root's rows.
template <class Task, class Code>
std::pair<NodeList<typename Task::Payload>, std::vector<NodeList<typename Task::Payload>>>
grow_top_and_subtrees(const FastGrower<Task, Code>& grower, size_t defer_below, size_t n_workers,
                      SubtreeQueue& queue, const NodeHook& between_nodes,
                      FoldAssignment root_folds = {}) {
  using Payload = typename Task::Payload;
  NodeList<Payload> top;
  std::exception_ptr top_failure;
  // Each worker's subtrees with their deferral index, gathered once the workers are joined.
  std::vector<std::vector<std::pair<size_t, NodeList<Payload>>>> done(n_workers);
  const auto work = [&](size_t worker, const Checkpoint& checkpoint) {
    const NodeHook hook = between_nodes.for_worker(checkpoint);
    FastScratch scratch;
    if (worker == 0) {
      scratch.folds = std::move(root_folds);
      try {
        grower.grow(0, grower.n_rows(), 0, top, scratch, {&queue, defer_below, kTopOfTree}, hook);
      } catch (const std::exception&) {
        top_failure = std::current_exception();
        queue.close(true);
        return;
      } catch (...) {  // the run is stopping: the workers stop at their next node
        queue.close(true);
        throw;
      }
      queue.close();
    }
    while (const auto next = queue.take()) {
      const auto [id, subtree] = *next;
      NodeList<Payload> nodes;
      try {
        grower.grow(subtree.begin, subtree.end, subtree.depth, nodes, scratch, {&queue, 0, id},
                    hook);
      } catch (...) {
        queue.done();
        throw;
      }
      done[worker].emplace_back(id, std::move(nodes));
      queue.done();
    }
  };
  const Checkpoint between_steps = between_nodes ? Checkpoint([&] { between_nodes(); }) : nullptr;
  run_workers(n_workers, work, between_steps);
  if (top_failure) std::rethrow_exception(top_failure);
  std::vector<NodeList<Payload>> grown(queue.subtrees().size());
  for (auto& worker_done : done) {
    for (auto& [id, nodes] : worker_done) grown[id] = std::move(nodes);
  }
  return {std::move(top), std::move(grown)};
}

// The whole tree in preorder: the top with each placeholder replaced by its grown subtree, whose
// own placeholders are replaced in turn.
template <class Payload>
NodeList<Payload> splice_subtrees(NodeList<Payload>& top,
                                  const std::vector<DeferredSubtree>& subtrees,
                                  std::vector<NodeList<Payload>>& grown) {
  // List 0 is the top, list i + 1 subtree i's nodes; subtree_at[list][node] the subtree whose
  // placeholder the node is.
  constexpr size_t kNotDeferred = std::numeric_limits<size_t>::max();
  const auto list_of = [&](size_t list) -> NodeList<Payload>& {
    return list == 0 ? top : grown[list - 1];
  };
  std::vector<std::vector<size_t>> subtree_at(grown.size() + 1);
  size_t total = 0;
  for (size_t list = 0; list <= grown.size(); ++list) {
    subtree_at[list].assign(list_of(list).size(), kNotDeferred);
    total += list_of(list).size();
  }
  for (size_t i = 0; i < subtrees.size(); ++i) {
    const size_t owner = subtrees[i].owner == kTopOfTree ? 0 : subtrees[i].owner + 1;
    subtree_at[owner][subtrees[i].placeholder] = i;
  }
  NodeList<Payload> nodes;
  nodes.reserve(total);
  struct Item {
    size_t list, id;
    size_t parent;  // the split in `nodes` whose right child this is, or kNoParent
  };
  std::vector<Item> stack{{0, 0, kNoParent}};
  while (!stack.empty()) {
    Item item = stack.back();
    stack.pop_back();
    if (item.parent != kNoParent) nodes[item.parent].right = nodes.size();
    while (subtree_at[item.list][item.id] != kNotDeferred) {
      item = {subtree_at[item.list][item.id] + 1, 0, kNoParent};
    }
    Node<Payload>& node = list_of(item.list)[item.id];
    const size_t id = nodes.size();
    nodes.push_back(std::move(node));
    if (!nodes.back().is_leaf) {
      stack.push_back({item.list, nodes.back().right, id});
      stack.push_back({item.list, item.id + 1, kNoParent});
    }
  }
  return nodes;
}

}  // namespace ornik
