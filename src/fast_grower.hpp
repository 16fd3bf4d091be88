// The Fast grower: grows subtrees over one binned matrix whose rows (with their targets and
// weights) it reorders in place, so that every node owns a contiguous block of rows and a node's
// passes read only its own memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "binning.hpp"
#include "histogram.hpp"
#include "node_steps.hpp"
#include "parallel.hpp"
#include "subtree_queue.hpp"
#include "task_scoring.hpp"
#include "tree_builder.hpp"

namespace ornik {

// The rule of a Fast winner, or none when its bin is outside the feature's bins.
std::optional<SplitRule> fast_rule(const FeatureBins& bins, size_t feature, uint64_t bin,
                                   bool ordered);

// A block of n rows held side by side: row i's codes at codes[i * stride] (stride codes), its
// target and, when weights is not null, its weight.
template <class Target, class Code>
struct NodeRows {
  Code* codes;
  size_t stride;
  Target* targets;
  double* weights;
  size_t n;
};

// Swaps two rows of `width` bytes, a piece of 16, 8, 4, 2 or 1 bytes at a time (each piece read
// whole before it is written, so a row swapped with itself is left as it is).
[[gnu::always_inline]] inline void swap_row_bytes(unsigned char* a, unsigned char* b,
                                                  size_t width) {
  const auto swap_piece = [&](size_t at, auto piece) {
    decltype(piece) from_a, from_b;
    std::memcpy(&from_a, a + at, sizeof piece);
    std::memcpy(&from_b, b + at, sizeof piece);
    std::memcpy(a + at, &from_b, sizeof piece);
    std::memcpy(b + at, &from_a, sizeof piece);
  };
  struct Bytes16 {
    uint64_t low, high;
  };
  size_t at = 0;
  for (; at + 16 <= width; at += 16) swap_piece(at, Bytes16{});
  if (width - at >= 8) swap_piece(at, uint64_t{}), at += 8;
  if (width - at >= 4) swap_piece(at, uint32_t{}), at += 4;
  if (width - at >= 2) swap_piece(at, uint16_t{}), at += 2;
  if (width - at >= 1) swap_piece(at, uint8_t{});
}

// Moves the rows whose code of the given feature satisfies the rule (code <= state when ordered,
// code == state otherwise) to the front, each row's codes, target and weight together, keeping
// the order of the rows moved; returns how many there are. Each row found to go left swaps with
// the first row that does not; a row that stays swaps with itself, so that the loop has no branch
// on the data to mispredict. (Kept out of line: inlined into the grower, its loop was compiled
// differently, and slower, whenever the code around it changed.)
template <class Target, class Code>
[[gnu::noinline]] size_t partition_rows(const NodeRows<Target, Code>& rows, size_t feature,
                                        uint64_t state, bool ordered) {
  const size_t width = rows.stride * sizeof(Code);
  auto* const bytes = reinterpret_cast<unsigned char*>(rows.codes);
  const auto sweep = [&](auto goes_left, bool weighted) {
    size_t n_left = 0;
    for (size_t j = 0; j < rows.n; ++j) {
      const bool left = goes_left(rows.codes[j * rows.stride + feature]);
      const size_t to = left ? n_left : j;
      swap_row_bytes(bytes + j * width, bytes + to * width, width);
      std::swap(rows.targets[j], rows.targets[to]);
      if (weighted) std::swap(rows.weights[j], rows.weights[to]);
      n_left += left;
    }
    return n_left;
  };
  const bool weighted = rows.weights != nullptr;
  if (ordered) return sweep([state](uint64_t code) { return code <= state; }, weighted);
  return sweep([state](uint64_t code) { return code == state; }, weighted);
}

// Where a grower hands nodes to the workers of a queue: every node below `below` rows, and any
// node of at least parallel_min_samples rows that a free worker can take while the grower has
// others left; its placeholders belong to `owner` (kTopOfTree, or a deferred subtree's index).
struct SubtreeSharing {
  SubtreeQueue* queue = nullptr;
  size_t below = 0;
  size_t owner = kTopOfTree;
};

// Grows Fast-mode subtrees over a matrix of Code (the binned data's width). Every subtree is
// grown by the same sequential steps wherever it runs, so the tree does not depend on which
// thread grew which part.
template <class Task, class Code>
class FastGrower {
 public:
  using Target = typename Task::Target;
  using Payload = typename Task::Payload;

  // Takes the binned matrix, targets and weights over, to reorder their rows.
  FastGrower(const Task& task, const TreeParams& params, const Aggregator& aggregator,
             BinnedData binned, FillLaterRowVector<Target> targets,
             FillLaterRowVector<double> weights)
      : task_(task),
        params_(params),
        aggregator_(aggregator),
        binned_(std::move(binned)),
        codes_(std::get<CodeMatrix<Code>>(binned_.codes).data()),
        targets_(std::move(targets)),
        weights_(std::move(weights)),
        kfold_(params.kfold()),
        min_leaf_(std::max<uint64_t>(params.min_samples_leaf, 1)),
        n_features_(binned_.features.size()),
        block_features_(n_features_) {
    for (size_t f = 0; f < n_features_; ++f) {
      const FeatureBins& bins = binned_.features[f];
      block_features_[f] = BlockFeature{
          bins.n_bins, f, params.split_style == SplitStyle::Threshold && bins.continuous,
          !bins.has_missing};
    }
    if (parallel_allowed(params))
      max_pass_workers_ = std::max<size_t>(1, std::min<uint64_t>(n_features_, params.n_threads));
  }

  size_t n_rows() const { return targets_.size(); }

  // Grows the subtree over rows [begin, end) into out, in preorder. A node that sharing defers
  // is not grown: a placeholder leaf stands for it in out. With threads, a node of at least
  // parallel_min_samples shares its pass with other workers, as many as there are threads (or,
  // with a queue, free workers) besides this one. (Nodes and scores do not depend on where they
  // are computed, so these choices may follow the moment.)
  void grow(size_t begin, size_t end, size_t depth, NodeList<Payload>& out, FastScratch& scratch,
            const SubtreeSharing& sharing, const NodeHook& between_nodes) const {
    struct Pending {
      size_t begin, end, depth;
      size_t parent;  // the split whose right child this is, or kNoParent
    };
    std::vector<Pending> stack{{begin, end, depth, kNoParent}};
    while (!stack.empty()) {
      if (between_nodes) between_nodes();
      const Pending item = stack.back();
      stack.pop_back();
      if (item.parent != kNoParent) out[item.parent].right = out.size();
      const NodeRows<Target, Code> rows = node_rows(item.begin, item.end);
      const size_t n = rows.n;
      SubtreeQueue* const queue = sharing.queue;
      const auto defer = [&] {
        queue->defer({sharing.owner, out.size(), item.begin, item.end, item.depth});
        append_leaf(out, Payload{}, n);
      };
      if (queue && n < sharing.below) {
        defer();
        continue;
      }

      const std::span<const Target> node_targets(rows.targets, n);
      const std::span<const double> node_weights(rows.weights, rows.weights ? n : 0);
      const auto settle = [&] {
        settle_leaf(task_, out, node_targets, node_weights, between_nodes);
      };
      if (stops_before_scoring(task_, params_, n, item.depth, node_targets, node_weights)) {
        settle();
        continue;
      }
      // A free worker takes this node when this grower has others left to grow.
      const bool big = n >= params_.parallel_min_samples;
      if (queue && big && !stack.empty() && queue->free_workers() > 0) {
        defer();
        continue;
      }

      // The folds address the node's rows by their place in its block. They depend on the row
      // count alone, so an assignment of n places already in the scratch (the root's, drawn
      // while the columns were binned, or a node's of the same size) is this node's too.
      FoldAssignment& folds = scratch.folds;
      if (!folds.every_place || folds.order.size() != n) kfold_.assign(n, folds);
      FoldPicks picks(params_.stop_rule == StopRule::Selection ? folds.n_folds : 0);
      std::vector<ScoredCandidate> candidates;
      {
        const LentWorkers helpers(big ? max_pass_workers_ - 1 : 0, queue);
        candidates = score(rows, folds, 1 + helpers.count(), scratch, picks).take();
      }
      SplitEvidence evidence;
      const ScoredCandidate* best =
          winning_candidate(candidates, params_, aggregator_, picks, evidence);
      if (!best) {
        settle();
        continue;
      }
      const BlockFeature& winner = block_features_[best->feature];
      const std::optional<SplitRule> rule =
          fast_rule(binned_.features[best->feature], best->feature, best->state, winner.ordered);
      if (!rule) {
        settle();
        continue;
      }
      // A leaf's value is of its rows in their order before any partition. A partition that fails
      // a minimum leaf of one sent every row to one side and moved none; a larger minimum can fail
      // after rows moved, so that value is taken first.
      std::optional<Payload> unpartitioned;
      if (min_leaf_ > 1) unpartitioned = leaf_payload(task_, node_targets, node_weights);
      const size_t n_left = partition_rows(rows, best->feature, best->state, winner.ordered);
      if (n_left < min_leaf_ || n - n_left < min_leaf_) {
        if (unpartitioned) {
          settle_leaf(out, std::move(*unpartitioned), n, between_nodes);
        } else {
          settle();
        }
        continue;
      }
      const size_t id = out.size();
      append_split(out, *rule, evidence);
      stack.push_back({item.begin + n_left, item.end, item.depth + 1, id});
      stack.push_back({item.begin, item.begin + n_left, item.depth + 1, kNoParent});
    }
  }

 private:
  // The best candidate of the node (only the winner is needed): every feature scored in one pass
  // over the node's rows, shared among n_workers workers when there are several.
  Candidates score(const NodeRows<Target, Code>& rows, const FoldAssignment& folds,
                   size_t n_workers, FastScratch& scratch, FoldPicks& picks) const {
    const std::span<const Target> targets(rows.targets, rows.n);
    const std::span<const double> weights(rows.weights, rows.weights ? rows.n : 0);
    PassWorkers workers;
    if (n_workers > 1) {
      workers.count = n_workers;
      workers.run = [n_workers](size_t n_items, const std::function<void(size_t)>& f) {
        for_each_handed_out(n_items, n_workers, [&f](size_t, size_t item) { f(item); });
      };
    }
    Candidates best(false);
    score_block_fast(task_, block(rows), targets, weights, folds, aggregator_, scratch, best,
                     scan_choice(params_, picks), workers);
    return best;
  }

  // Every feature of the node's rows, scored together.
  FastBlock block(const NodeRows<Target, Code>& rows) const {
    return FastBlock{rows.codes, n_features_, block_features_};
  }

  // Rows [begin, end): disjoint blocks are reordered by different subtree workers.
  NodeRows<Target, Code> node_rows(size_t begin, size_t end) const {
    return {codes_ + begin * n_features_, n_features_, targets_.data() + begin,
            weights_.empty() ? nullptr : weights_.data() + begin, end - begin};
  }

  const Task& task_;
  const TreeParams& params_;
  const Aggregator& aggregator_;
  BinnedData binned_;
  Code* codes_;  // binned_'s matrix, whose rows the grower reorders
  mutable FillLaterRowVector<Target> targets_;
  mutable FillLaterRowVector<double> weights_;  // empty: every sample weighs one
  KFold kfold_;
  size_t min_leaf_;
  size_t n_features_;
  std::vector<BlockFeature> block_features_;
  size_t max_pass_workers_ = 1;  // the workers that share a node's pass at most
};

}  // namespace ornik
