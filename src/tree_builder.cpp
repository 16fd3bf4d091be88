#include "tree_builder.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <numeric>

#include "cross_validation.hpp"
#include "histogram.hpp"
#include "objective.hpp"
#include "parallel.hpp"
#include "quantile.hpp"
#include "selector.hpp"
#include "sorted_feature.hpp"
#include "task_scoring.hpp"

namespace ornik {
namespace {

constexpr size_t kNoParent = std::numeric_limits<size_t>::max();

// ---- Shared by both builders. ----

bool parallel_allowed(const TreeParams& p) {
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

// The candidate lists of all features, concatenated in feature order.
template <class ScoreFeature>
std::vector<ScoredCandidate> score_all_features(size_t n_features, bool in_parallel,
                                                uint64_t n_threads, ScoreFeature&& score) {
  std::vector<ScoredCandidate> all;
  auto append = [&all](std::vector<ScoredCandidate>&& part) {
    for (ScoredCandidate& c : part) all.push_back(std::move(c));
  };
  if (in_parallel) {
    std::vector<size_t> features(n_features);
    std::iota(features.begin(), features.end(), size_t{0});
    auto parts = par_map(features, static_cast<size_t>(n_threads),
                         [&score](size_t f) { return score(f, true); });
    for (auto& part : parts) append(std::move(part));
  } else {
    for (size_t f = 0; f < n_features; ++f) append(score(f, false));
  }
  return all;
}

// The candidate that wins selection, unless its score is <= min_impurity_decrease (never true
// for a NaN threshold, which therefore stops nothing).
const ScoredCandidate* winning_candidate(const std::vector<ScoredCandidate>& candidates,
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

}  // namespace

namespace {

// The numeric rule of a Strict winner given the node-local edges (m of them, edge(i) the i-th).
template <class Edge>
std::optional<SplitRule> numeric_rule(size_t feature, StateCode state, uint64_t m, bool ordered,
                                      Edge&& edge) {
  if (state > m) return std::nullopt;
  std::optional<double> upper;
  if (state < m) upper = edge(state);
  if (ordered) {
    if (!upper) return std::nullopt;
    return SplitRule::numeric(feature, std::nullopt, upper);
  }
  std::optional<double> lower;
  if (state >= 1) lower = edge(state - 1);
  return SplitRule::numeric(feature, lower, upper);
}

// make_rule for a numeric feature whose node values are already sorted.
std::optional<SplitRule> make_rule_sorted(const SortedFeature& sorted, size_t feature,
                                          StateCode state, uint64_t n_bins, bool ordered) {
  const uint64_t m = (n_bins >= 2 && !sorted.values.empty()) ? n_bins - 1 : 0;
  return numeric_rule(feature, state, m, ordered,
                      [&](uint64_t i) { return sorted_edge(sorted, n_bins, i); });
}

}  // namespace

// Turns a Strict winner into a rule; none when the state gives no usable rule.
std::optional<SplitRule> make_rule(const Column& column, size_t feature, StateCode state,
                                   std::span<const size_t> samples, uint64_t n_bins, bool ordered) {
  if (column.categorical) {
    if (state >= MISSING_CATEGORY) return std::nullopt;
    return SplitRule::categorical(feature, static_cast<uint32_t>(state));
  }
  std::vector<double> values;
  values.reserve(samples.size());
  for (const size_t row : samples) values.push_back(column.numbers[row]);
  const QuantileEdges edges(values, n_bins);
  return numeric_rule(feature, state, edges.size(), ordered, [&](uint64_t i) { return edges[i]; });
}

template <class Task>
NodeList<typename Task::Payload> build_tree_strict(const Task& task, const TreeParams& params,
                                                   const Aggregator& aggregator,
                                                   std::span<const Column> columns,
                                                   std::span<const typename Task::Target> targets,
                                                   const NodeHook& between_nodes) {
  using Target = typename Task::Target;
  using Payload = typename Task::Payload;
  struct Pending {
    std::vector<size_t> samples;
    std::vector<SortedFeature> sorted;  // per numeric feature, when kept sorted
    size_t depth;
    size_t parent;  // the split whose right child this is, or kNoParent
  };

  NodeList<Payload> nodes;
  const KFold kfold = params.kfold();
  const size_t min_leaf = std::max<uint64_t>(params.min_samples_leaf, 1);
  const size_t n_features = columns.size();
  const size_t n_rows = columns.empty() ? 0 : columns[0].size();
  // Numeric features keep their node values sorted, which turns every quantile into a lookup;
  // a huge n_bins falls back to computing edges from unsorted values.
  const bool keep_sorted = params.n_bins <= 65536 && n_rows <= UINT32_MAX;
  std::vector<uint64_t> slot_of_row(keep_sorted ? n_rows : 0);
  std::vector<uint8_t> goes_left(keep_sorted ? n_rows : 0);

  std::vector<Pending> stack;
  {
    Pending root{std::vector<size_t>(n_rows), {}, 0, kNoParent};
    std::iota(root.samples.begin(), root.samples.end(), size_t{0});
    if (keep_sorted) {
      root.sorted.resize(n_features);
      for (size_t f = 0; f < n_features; ++f) {
        if (!columns[f].categorical) root.sorted[f] = sort_feature(columns[f]);
      }
    }
    stack.push_back(std::move(root));
  }
  std::vector<Target> node_targets;

  while (!stack.empty()) {
    if (between_nodes) between_nodes();
    Pending item = std::move(stack.back());
    stack.pop_back();
    if (item.parent != kNoParent) nodes[item.parent].right = nodes.size();
    const std::vector<size_t>& samples = item.samples;
    const size_t n = samples.size();

    node_targets.clear();
    for (const size_t row : samples) node_targets.push_back(targets[row]);
    Payload payload = leaf_payload(task, node_targets);
    if (stops_before_scoring(task, params, n, item.depth, std::span<const Target>(node_targets))) {
      append_leaf(nodes, std::move(payload), n);
      continue;
    }

    const std::vector<Fold> folds = kfold.folds(samples);
    FoldTargets<Target> fold_targets;
    if (keep_sorted) {
      fold_targets.val = gather_fold_targets(std::span<const Fold>(folds), targets, false);
      if (needs_train_codes(task)) {
        fold_targets.train = gather_fold_targets(std::span<const Fold>(folds), targets, true);
      }
      for (size_t f = 0; f < folds.size(); ++f) {
        for (size_t v = 0; v < folds[f].val.size(); ++v)
          slot_of_row[folds[f].val[v]] = fold_slot(f, v);
      }
    }
    auto score = [&](size_t f, bool) {
      const Column& column = columns[f];
      const bool ordered = params.split_style == SplitStyle::Threshold && !column.categorical;
      std::vector<ScoredCandidate> out;
      std::vector<StateCode> states;
      std::vector<FoldStats> stats;
      if (keep_sorted && !column.categorical) {
        CodedFeature coded;
        code_sorted_feature(item.sorted[f], folds, slot_of_row, params.n_bins,
                            needs_train_codes(task), coded);
        if (coded.states.empty()) return out;
        stats = score_coded(task, ordered, coded, folds, fold_targets);
        states = std::move(coded.states);
      } else {
        states = present_states(column, samples, params.n_bins);
        if (states.empty()) return out;
        stats = score_states_strict(task, column, ordered, states, folds, targets, params.n_bins);
      }
      out.reserve(states.size());
      for (size_t s = 0; s < states.size(); ++s) {
        const double value = aggregator.aggregate(stats[s]);
        out.push_back(ScoredCandidate{std::move(stats[s]), f, states[s], value});
      }
      return out;
    };
    const std::vector<ScoredCandidate> candidates =
        score_all_features(n_features, parallel_allowed(params), params.n_threads, score);
    const ScoredCandidate* best = winning_candidate(candidates, params.min_impurity_decrease);
    if (!best) {
      append_leaf(nodes, std::move(payload), n);
      continue;
    }
    const size_t bf = best->feature;
    const Column& column = columns[bf];
    const bool ordered = params.split_style == SplitStyle::Threshold && !column.categorical;
    const std::optional<SplitRule> rule =
        keep_sorted && !column.categorical
            ? make_rule_sorted(item.sorted[bf], bf, best->state, params.n_bins, ordered)
            : make_rule(column, bf, best->state, samples, params.n_bins, ordered);
    if (!rule) {
      append_leaf(nodes, std::move(payload), n);
      continue;
    }

    Pending left{{}, {}, item.depth + 1, kNoParent};
    Pending right{{}, {}, item.depth + 1, 0};
    for (const size_t row : samples) {
      const bool to_left = route_left_train(*rule, columns, row);
      (to_left ? left.samples : right.samples).push_back(row);
      if (keep_sorted) goes_left[row] = to_left ? 1 : 0;
    }
    if (left.samples.size() < min_leaf || right.samples.size() < min_leaf) {
      append_leaf(nodes, std::move(payload), n);
      continue;
    }
    if (keep_sorted) {
      left.sorted.resize(n_features);
      right.sorted.resize(n_features);
      for (size_t f = 0; f < n_features; ++f) {
        if (columns[f].categorical) continue;
        split_sorted(item.sorted[f], goes_left, left.samples.size(), right.samples.size(),
                     left.sorted[f], right.sorted[f]);
        std::vector<double>().swap(item.sorted[f].values);  // release the parent's copy early
        std::vector<uint32_t>().swap(item.sorted[f].rows);
      }
    }
    right.parent = nodes.size();
    append_split(nodes, *rule);
    item = Pending{};  // release the parent's lists before descending
    stack.push_back(std::move(right));
    stack.push_back(std::move(left));
  }
  return nodes;
}

size_t partition_in_place(std::span<uint32_t> positions, const uint16_t* codes, size_t stride,
                          uint64_t state, bool ordered) {
  size_t k = 0;
  for (size_t j = 0; j < positions.size(); ++j) {
    const uint64_t code = codes[positions[j] * stride];
    const bool left = ordered ? code <= state : code == state;
    if (left) {
      std::swap(positions[j], positions[k]);
      ++k;
    }
  }
  return k;
}

namespace {

// The rule of a Fast winner, or none when its state is outside the feature's bins.
std::optional<SplitRule> fast_rule(const FeatureBins& bins, size_t feature, uint64_t b,
                                   bool ordered) {
  if (!bins.continuous) {
    if (b >= bins.categories.size()) return std::nullopt;
    return SplitRule::categorical(feature, bins.categories[b]);
  }
  const std::vector<double>& e = bins.edges;
  if (ordered) {
    if (b >= e.size()) return std::nullopt;
    return SplitRule::numeric(feature, std::nullopt, e[b]);
  }
  if (b > e.size()) return std::nullopt;
  std::optional<double> lower, upper;
  if (b > 0) lower = e[b - 1];
  if (b < e.size()) upper = e[b];
  return SplitRule::numeric(feature, lower, upper);
}

}  // namespace

namespace {

// A subtree left to the subtree workers: its slice of positions and the placeholder node that
// stands for it in the top of the tree.
struct DeferredSubtree {
  size_t placeholder;
  size_t begin, end, depth;
};

// Grows Fast-mode subtrees. Every subtree is grown by the same sequential steps wherever it runs,
// so the tree does not depend on which thread grew which part.
template <class Task>
class FastGrower {
 public:
  using Target = typename Task::Target;
  using Payload = typename Task::Payload;

  FastGrower(const Task& task, const TreeParams& params, const Aggregator& aggregator,
             const BinnedData& binned, std::span<const Target> targets)
      : task_(task),
        params_(params),
        aggregator_(aggregator),
        binned_(binned),
        targets_(targets),
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

      node_targets.clear();
      for (const uint32_t row : slice) node_targets.push_back(targets_[row]);
      Payload payload = leaf_payload(task_, node_targets);
      if (stops_before_scoring(task_, params_, n, item.depth,
                               std::span<const Target>(node_targets))) {
        append_leaf(out, std::move(payload), n);
        continue;
      }

      const FoldAssignment folds = kfold_.assign(slice);
      const bool in_parallel =
          feature_parallel && chunks_.size() >= 2 && n >= params_.parallel_min_samples;
      const std::vector<ScoredCandidate> candidates = score(folds, in_parallel, scratch);
      const ScoredCandidate* best = winning_candidate(candidates, params_.min_impurity_decrease);
      if (!best) {
        append_leaf(out, std::move(payload), n);
        continue;
      }
      const BlockFeature& winner = block_features_[best->feature];
      const std::optional<SplitRule> rule =
          fast_rule(binned_.features[best->feature], best->feature, best->state, winner.ordered);
      if (!rule) {
        append_leaf(out, std::move(payload), n);
        continue;
      }
      const size_t n_left = partition_in_place(slice, binned_.codes.data() + best->feature,
                                               n_features_, best->state, winner.ordered);
      if (n_left < min_leaf_ || n - n_left < min_leaf_) {
        append_leaf(out, std::move(payload), n);
        continue;
      }
      const size_t id = out.size();
      append_split(out, *rule);
      stack.push_back({item.begin + n_left, item.end, item.depth + 1, id});
      stack.push_back({item.begin, item.begin + n_left, item.depth + 1, kNoParent});
    }
  }

 private:
  // Sequentially every feature is scored in one pass over the node's rows; in parallel each
  // worker makes that pass over its own contiguous chunk of features. Either way the candidate
  // list is in feature order.
  std::vector<ScoredCandidate> score(const FoldAssignment& folds, bool in_parallel,
                                     FastScratch& scratch) const {
    if (!in_parallel)
      return score_block_fast(task_, block(0, n_features_), targets_, folds, aggregator_, scratch);
    auto parts = par_map(chunks_, chunks_.size(), [&](const std::pair<size_t, size_t>& range) {
      FastScratch own;
      return score_block_fast(task_, block(range.first, range.second), targets_, folds, aggregator_,
                              own);
    });
    std::vector<ScoredCandidate> all;
    for (auto& part : parts) {
      for (ScoredCandidate& c : part) all.push_back(std::move(c));
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
  KFold kfold_;
  size_t min_leaf_;
  size_t n_features_;
  // Disjoint slices of it are reordered by different subtree workers.
  mutable std::vector<uint32_t> positions_;
  std::vector<BlockFeature> block_features_;
  std::vector<std::pair<size_t, size_t>> chunks_;
};

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
                  checkpoint);
    }
  };
  run_workers(std::min(n_threads, subtrees.size()), grow_waiting, between_nodes);
  return grown;
}

// The whole tree in preorder: the top with each placeholder replaced by its subtree.
template <class Payload>
NodeList<Payload> splice_subtrees(const NodeList<Payload>& top,
                                  const std::vector<DeferredSubtree>& subtrees,
                                  std::vector<NodeList<Payload>>& grown) {
  std::vector<size_t> subtree_at(top.size(), kNoParent);
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
    if (subtree_at[item.top_id] != kNoParent) {
      const size_t base = nodes.size();
      for (Node<Payload>& n : grown[subtree_at[item.top_id]]) {
        if (!n.is_leaf) n.right += base;
        nodes.push_back(std::move(n));
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

}  // namespace

template <class Task>
NodeList<typename Task::Payload> build_tree_fast(const Task& task, const TreeParams& params,
                                                 const Aggregator& aggregator,
                                                 const BinnedData& binned,
                                                 std::span<const typename Task::Target> targets,
                                                 const NodeHook& between_nodes) {
  const FastGrower<Task> grower(task, params, aggregator, binned, targets);
  const size_t n = grower.n_rows();
  NodeList<typename Task::Payload> top;
  FastScratch scratch;
  if (!parallel_allowed(params) || n < std::max<uint64_t>(params.parallel_min_samples, 2)) {
    grower.grow(0, n, 0, top, scratch, parallel_allowed(params), 0, nullptr, between_nodes);
    return top;
  }
  // With threads: large nodes are scored on feature-chunk workers; subtrees below an eighth of
  // the rows per thread are grown whole, one per thread at a time.
  // (A thread count beyond the rows is capped first, so 4 * threads cannot overflow to 0.)
  const uint64_t threads = std::min<uint64_t>(params.n_threads, n);
  const size_t defer_below = std::max<size_t>(n / (4 * threads), 1);
  std::vector<DeferredSubtree> subtrees;
  grower.grow(0, n, 0, top, scratch, true, defer_below, &subtrees, between_nodes);
  if (subtrees.empty()) return top;
  std::vector<NodeList<typename Task::Payload>> grown =
      grow_deferred(grower, subtrees, static_cast<size_t>(params.n_threads), between_nodes);
  return splice_subtrees(top, subtrees, grown);
}

#define ORNIK_INSTANTIATE_BUILDERS(TASK)                                          \
  template NodeList<TASK::Payload> build_tree_strict<TASK>(                       \
      const TASK&, const TreeParams&, const Aggregator&, std::span<const Column>, \
      std::span<const TASK::Target>, const NodeHook&);                            \
  template NodeList<TASK::Payload> build_tree_fast<TASK>(                         \
      const TASK&, const TreeParams&, const Aggregator&, const BinnedData&,       \
      std::span<const TASK::Target>, const NodeHook&);

ORNIK_INSTANTIATE_BUILDERS(Regression)
ORNIK_INSTANTIATE_BUILDERS(Classification)
ORNIK_INSTANTIATE_BUILDERS(ObjectiveClassification)

}  // namespace ornik
