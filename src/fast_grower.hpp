// The Fast grower: grows subtrees over one shared binned matrix, reordering a list of row
// positions in place so that every node owns a contiguous slice of it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "binning.hpp"
#include "histogram.hpp"
#include "node_steps.hpp"
#include "parallel.hpp"
#include "task_scoring.hpp"
#include "tree_builder.hpp"

namespace ornik {

// A subtree left to the subtree workers: its slice of positions and the placeholder node that
// stands for it in the top of the tree.
struct DeferredSubtree {
  size_t placeholder;
  size_t begin, end, depth;
};

// The rule of a Fast winner, or none when its bin is outside the feature's bins.
std::optional<SplitRule> fast_rule(const FeatureBins& bins, size_t feature, uint64_t bin,
                                   bool ordered);

// Grows Fast-mode subtrees. Every subtree is grown by the same sequential steps wherever it runs,
// so the tree does not depend on which thread grew which part.
template <class Task>
class FastGrower {
 public:
  using Target = typename Task::Target;
  using Payload = typename Task::Payload;

  FastGrower(const Task& task, const TreeParams& params, const Aggregator& aggregator,
             const BinnedData& binned, std::span<const Target> targets,
             std::span<const double> weights)
      : task_(task),
        params_(params),
        aggregator_(aggregator),
        binned_(binned),
        targets_(targets),
        weights_(weights),
        kfold_(params.kfold()),
        min_leaf_(std::max<uint64_t>(params.min_samples_leaf, 1)),
        n_features_(binned.features.size()),
        positions_(binned.n_rows),
        block_features_(n_features_) {
    std::iota(positions_.begin(), positions_.end(), uint32_t{0});
    for (size_t f = 0; f < n_features_; ++f) {
      const FeatureBins& bins = binned.features[f];
      block_features_[f] = BlockFeature{
          bins.n_bins, f, params.split_style == SplitStyle::Threshold && bins.continuous,
          !bins.has_missing};
    }
    // The contiguous feature chunks of the parallel path, one per worker.
    if (parallel_allowed(params)) chunks_ = even_chunks(n_features_, params.n_threads);
  }

  size_t n_rows() const { return positions_.size(); }

  // Grows the subtree over positions[begin, end) into out, in preorder. A node with fewer than
  // defer_below samples is not grown: a placeholder leaf stands for it and it is recorded in
  // deferred. Nodes of at least parallel_min_samples are scored on feature-chunk workers when
  // feature_parallel is set.
  void grow(size_t begin, size_t end, size_t depth, NodeList<Payload>& out, FastScratch& scratch,
            bool feature_parallel, size_t defer_below, std::vector<DeferredSubtree>* deferred,
            const NodeHook& between_nodes) const {
    struct Pending {
      size_t begin, end, depth;
      size_t parent;  // the split whose right child this is, or kNoParent
    };
    std::vector<Pending> stack{{begin, end, depth, kNoParent}};
    std::vector<Target> node_targets;
    std::vector<double> node_weights;
    while (!stack.empty()) {
      if (between_nodes) between_nodes();
      const Pending item = stack.back();
      stack.pop_back();
      if (item.parent != kNoParent) out[item.parent].right = out.size();
      const std::span<uint32_t> slice(positions_.data() + item.begin, item.end - item.begin);
      const size_t n = slice.size();
      if (deferred && n < defer_below) {
        deferred->push_back({out.size(), item.begin, item.end, item.depth});
        append_leaf(out, Payload{}, n);
        continue;
      }

      gather_node(slice, targets_, weights_, node_targets, node_weights);
      Payload payload = leaf_payload(task_, node_targets, node_weights);
      if (stops_before_scoring(task_, params_, n, item.depth, std::span<const Target>(node_targets),
                               node_weights)) {
        settle_leaf(out, std::move(payload), n, between_nodes);
        continue;
      }

      const FoldAssignment folds = kfold_.assign(slice);
      const bool in_parallel =
          feature_parallel && chunks_.size() >= 2 && n >= params_.parallel_min_samples;
      FoldPicks picks(params_.stop_rule == StopRule::Selection ? folds.n_folds : 0);
      const std::vector<ScoredCandidate> candidates = score(folds, in_parallel, scratch, picks);
      SplitEvidence evidence;
      const ScoredCandidate* best =
          winning_candidate(candidates, params_, aggregator_, picks, evidence);
      if (!best) {
        settle_leaf(out, std::move(payload), n, between_nodes);
        continue;
      }
      const BlockFeature& winner = block_features_[best->feature];
      const std::optional<SplitRule> rule =
          fast_rule(binned_.features[best->feature], best->feature, best->state, winner.ordered);
      if (!rule) {
        settle_leaf(out, std::move(payload), n, between_nodes);
        continue;
      }
      const size_t n_left = partition_in_place(slice, binned_.codes.data() + best->feature,
                                               n_features_, best->state, winner.ordered);
      if (n_left < min_leaf_ || n - n_left < min_leaf_) {
        settle_leaf(out, std::move(payload), n, between_nodes);
        continue;
      }
      const size_t id = out.size();
      append_split(out, *rule, evidence);
      stack.push_back({item.begin + n_left, item.end, item.depth + 1, id});
      stack.push_back({item.begin, item.begin + n_left, item.depth + 1, kNoParent});
    }
  }

 private:
  // Sequentially every feature is scored in one pass over the node's rows; in parallel each
  // worker makes that pass over its own contiguous chunk of features, with picks of its own that
  // are merged in feature order. Either way the candidate list is in feature order.
  std::vector<ScoredCandidate> score(const FoldAssignment& folds, bool in_parallel,
                                     FastScratch& scratch, FoldPicks& picks) const {
    if (!in_parallel) {
      return score_block_fast(task_, block(0, n_features_), targets_, weights_, folds, aggregator_,
                              scratch, scan_choice(params_, picks));
    }
    struct Part {
      std::vector<ScoredCandidate> candidates;
      FoldPicks picks;
    };
    auto parts = par_map(chunks_, chunks_.size(), [&](const std::pair<size_t, size_t>& range) {
      FastScratch own;
      Part part{{}, FoldPicks(picks.folds().size())};
      part.candidates =
          score_block_fast(task_, block(range.first, range.second), targets_, weights_, folds,
                           aggregator_, own, scan_choice(params_, part.picks));
      return part;
    });
    std::vector<ScoredCandidate> all;
    for (Part& part : parts) {
      for (ScoredCandidate& c : part.candidates) all.push_back(std::move(c));
      picks.merge(part.picks);
    }
    return all;
  }

  FastBlock block(size_t first, size_t last) const {
    return FastBlock{binned_.codes.data() + first, n_features_,
                     std::span<const BlockFeature>(block_features_.data() + first, last - first)};
  }

  const Task& task_;
  const TreeParams& params_;
  const Aggregator& aggregator_;
  const BinnedData& binned_;
  std::span<const Target> targets_;
  std::span<const double> weights_;  // empty: every sample weighs one
  KFold kfold_;
  size_t min_leaf_;
  size_t n_features_;
  // Disjoint slices of it are reordered by different subtree workers.
  mutable std::vector<uint32_t> positions_;
  std::vector<BlockFeature> block_features_;
  std::vector<std::pair<size_t, size_t>> chunks_;
};

}  // namespace ornik
