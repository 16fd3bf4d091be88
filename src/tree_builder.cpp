#include "tree_builder.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "candidate.hpp"
#include "cross_validation.hpp"
#include "encoder.hpp"
#include "histogram.hpp"
#include "objective.hpp"
#include "parallel.hpp"
#include "selector.hpp"

namespace ornik {
namespace {

constexpr size_t kNoParent = std::numeric_limits<size_t>::max();

// ---- What each task kind contributes to a node. ----

double leaf_payload(const Regression&, std::span<const double> y) {
  if (y.empty()) return 0.0;
  double sum = 0.0;
  for (const double v : y) sum += v;
  return sum / static_cast<double>(y.size());
}

ClassPrediction leaf_payload(const Classification& task, std::span<const ClassLabel> y) {
  return class_leaf(task.n_classes, y);
}

ClassPrediction leaf_payload(const ObjectiveClassification& task, std::span<const ClassLabel> y) {
  return class_leaf(task.n_classes, y);
}

double node_impurity(const Regression& task, std::span<const double> y) {
  return task.criterion->impurity(y);
}

double node_impurity(const Classification& task, std::span<const ClassLabel> y) {
  return task.criterion->impurity(y);
}

// The objective classifier stops on Gini purity whatever its objective.
double node_impurity(const ObjectiveClassification& task, std::span<const ClassLabel> y) {
  return task.gini.impurity(y);
}

std::vector<FoldStats> score_states_strict(const Regression& task, const Column& column,
                                           bool ordered, std::span<const StateCode> states,
                                           std::span<const Fold> folds,
                                           std::span<const double> targets, uint64_t n_bins) {
  return cv_score_states<double>(column, ordered, states, folds, targets, *task.criterion, n_bins);
}

std::vector<FoldStats> score_states_strict(const Classification& task, const Column& column,
                                           bool ordered, std::span<const StateCode> states,
                                           std::span<const Fold> folds,
                                           std::span<const ClassLabel> targets, uint64_t n_bins) {
  return cv_score_states<ClassLabel>(column, ordered, states, folds, targets, *task.criterion,
                                     n_bins);
}

std::vector<FoldStats> score_states_strict(const ObjectiveClassification& task,
                                           const Column& column, bool ordered,
                                           std::span<const StateCode> states,
                                           std::span<const Fold> folds,
                                           std::span<const ClassLabel> targets, uint64_t n_bins) {
  return cv_score_states_objective(column, ordered, states, folds, targets, task.n_classes, n_bins,
                                   *task.objective);
}

std::vector<FoldStats> score_coded(const Regression& task, bool ordered, const CodedFeature& c,
                                   std::span<const Fold> folds, std::span<const double> targets) {
  return score_coded_states<double>(ordered, c.states, folds, c.val_codes, targets,
                                    *task.criterion);
}

std::vector<FoldStats> score_coded(const Classification& task, bool ordered,
                                   const CodedFeature& c, std::span<const Fold> folds,
                                   std::span<const ClassLabel> targets) {
  return score_coded_states<ClassLabel>(ordered, c.states, folds, c.val_codes, targets,
                                        *task.criterion);
}

std::vector<FoldStats> score_coded(const ObjectiveClassification& task, bool ordered,
                                   const CodedFeature& c, std::span<const Fold> folds,
                                   std::span<const ClassLabel> targets) {
  return score_coded_states_objective(ordered, c.states, folds, c.train_codes, c.val_codes,
                                      targets, task.n_classes, *task.objective);
}

// Only the objective scoring codes the training rows too.
constexpr bool needs_train_codes(const Regression&) { return false; }
constexpr bool needs_train_codes(const Classification&) { return false; }
constexpr bool needs_train_codes(const ObjectiveClassification&) { return true; }

std::vector<ScoredCandidate> score_block_fast(const Regression&, const FastBlock& block,
                                              std::span<const double> targets,
                                              const FoldAssignment& folds,
                                              const Aggregator& aggregator, FastScratch& scratch) {
  return score_block_fast_regression(block, targets, folds, aggregator, scratch);
}

std::vector<ScoredCandidate> score_block_fast(const Classification& task, const FastBlock& block,
                                              std::span<const ClassLabel> targets,
                                              const FoldAssignment& folds,
                                              const Aggregator& aggregator, FastScratch& scratch) {
  return score_block_fast_classification(block, targets, folds, aggregator, task.n_classes,
                                         task.entropy, scratch);
}

std::vector<ScoredCandidate> score_block_fast(const ObjectiveClassification& task,
                                              const FastBlock& block,
                                              std::span<const ClassLabel> targets,
                                              const FoldAssignment& folds,
                                              const Aggregator& aggregator, FastScratch& scratch) {
  return score_block_fast_objective(block, targets, folds, aggregator, task.n_classes,
                                    *task.objective, scratch);
}

// ---- Shared by both builders. ----

bool parallel_allowed(const TreeParams& p) { return p.parallel && p.n_threads >= 2; }

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
                                   std::span<const size_t> samples, uint64_t n_bins,
                                   bool ordered) {
  if (column.categorical) {
    if (state >= MISSING_CATEGORY) return std::nullopt;
    return SplitRule::categorical(feature, static_cast<uint32_t>(state));
  }
  std::vector<double> values;
  values.reserve(samples.size());
  for (const size_t row : samples) values.push_back(column.numbers[row]);
  const QuantileEdges edges(values, n_bins);
  return numeric_rule(feature, state, edges.size(), ordered,
                      [&](uint64_t i) { return edges[i]; });
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
  std::vector<uint32_t> fold_of_row(keep_sorted ? n_rows : 0);
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
    if (keep_sorted) {
      for (size_t f = 0; f < folds.size(); ++f) {
        for (const size_t row : folds[f].val) fold_of_row[row] = static_cast<uint32_t>(f);
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
        code_sorted_feature(column, item.sorted[f], folds, fold_of_row, params.n_bins,
                            needs_train_codes(task), coded);
        if (coded.states.empty()) return out;
        stats = score_coded(task, ordered, coded, folds, targets);
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
        split_sorted(item.sorted[f], goes_left, left.sorted[f], right.sorted[f]);
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

template <class Task>
NodeList<typename Task::Payload> build_tree_fast(const Task& task, const TreeParams& params,
                                                 const Aggregator& aggregator,
                                                 const BinnedData& binned,
                                                 std::span<const typename Task::Target> targets,
                                                 const NodeHook& between_nodes) {
  using Target = typename Task::Target;
  using Payload = typename Task::Payload;
  struct Pending {
    size_t begin, end, depth;
    size_t parent;  // the split whose right child this is, or kNoParent
  };

  NodeList<Payload> nodes;
  const KFold kfold = params.kfold();
  const size_t min_leaf = std::max<uint64_t>(params.min_samples_leaf, 1);
  const size_t n_features = binned.features.size();
  std::vector<uint32_t> positions(binned.n_rows);
  std::iota(positions.begin(), positions.end(), uint32_t{0});
  std::vector<Pending> stack{{0, positions.size(), 0, kNoParent}};
  std::vector<Target> node_targets;
  FastScratch shared_scratch;

  std::vector<BlockFeature> block_features(n_features);
  for (size_t f = 0; f < n_features; ++f) {
    const FeatureBins& bins = binned.features[f];
    block_features[f] =
        BlockFeature{bins.n_bins, f, params.split_style == SplitStyle::Threshold && bins.continuous,
                     !bins.has_missing};
  }
  auto block_of = [&](size_t first, size_t last) {
    return FastBlock{binned.codes.data() + first, n_features,
                     std::span<const BlockFeature>(block_features.data() + first, last - first)};
  };
  // The contiguous feature chunks of the parallel path: one per worker, as par_map cuts them.
  std::vector<std::pair<size_t, size_t>> chunks;
  if (parallel_allowed(params) && n_features > 0) {
    const size_t workers = std::min<size_t>(n_features, params.n_threads);
    const size_t chunk = (n_features + workers - 1) / workers;
    for (size_t first = 0; first < n_features; first += chunk) {
      chunks.emplace_back(first, std::min(first + chunk, n_features));
    }
  }

  while (!stack.empty()) {
    if (between_nodes) between_nodes();
    const Pending item = stack.back();
    stack.pop_back();
    if (item.parent != kNoParent) nodes[item.parent].right = nodes.size();
    const std::span<uint32_t> slice(positions.data() + item.begin, item.end - item.begin);
    const size_t n = slice.size();

    node_targets.clear();
    for (const uint32_t row : slice) node_targets.push_back(targets[row]);
    Payload payload = leaf_payload(task, node_targets);
    if (stops_before_scoring(task, params, n, item.depth, std::span<const Target>(node_targets))) {
      append_leaf(nodes, std::move(payload), n);
      continue;
    }

    const FoldAssignment folds = kfold.assign(slice);
    // Sequentially every feature is scored in one pass over the node's rows; in parallel each
    // worker makes that pass over its own contiguous chunk of features. Either way the
    // candidate list is in feature order.
    const bool in_parallel = parallel_allowed(params) && n >= params.parallel_min_samples;
    std::vector<ScoredCandidate> candidates;
    if (!in_parallel || chunks.size() < 2) {
      candidates = score_block_fast(task, block_of(0, n_features), targets, folds, aggregator,
                                    shared_scratch);
    } else {
      auto parts = par_map(chunks, chunks.size(), [&](const std::pair<size_t, size_t>& range) {
        FastScratch own;
        return score_block_fast(task, block_of(range.first, range.second), targets, folds,
                                aggregator, own);
      });
      for (auto& part : parts) {
        for (ScoredCandidate& c : part) candidates.push_back(std::move(c));
      }
    }
    const ScoredCandidate* best = winning_candidate(candidates, params.min_impurity_decrease);
    if (!best) {
      append_leaf(nodes, std::move(payload), n);
      continue;
    }
    const BlockFeature& winner = block_features[best->feature];
    const std::optional<SplitRule> rule =
        fast_rule(binned.features[best->feature], best->feature, best->state, winner.ordered);
    if (!rule) {
      append_leaf(nodes, std::move(payload), n);
      continue;
    }
    const size_t n_left = partition_in_place(slice, binned.codes.data() + best->feature,
                                             n_features, best->state, winner.ordered);
    if (n_left < min_leaf || n - n_left < min_leaf) {
      append_leaf(nodes, std::move(payload), n);
      continue;
    }
    const size_t id = nodes.size();
    append_split(nodes, *rule);
    stack.push_back({item.begin + n_left, item.end, item.depth + 1, id});
    stack.push_back({item.begin, item.begin + n_left, item.depth + 1, kNoParent});
  }
  return nodes;
}

#define ORNIK_INSTANTIATE_BUILDERS(TASK)                                                       \
  template NodeList<TASK::Payload> build_tree_strict<TASK>(                                    \
      const TASK&, const TreeParams&, const Aggregator&, std::span<const Column>,              \
      std::span<const TASK::Target>, const NodeHook&);                                         \
  template NodeList<TASK::Payload> build_tree_fast<TASK>(const TASK&, const TreeParams&,       \
                                                         const Aggregator&, const BinnedData&, \
                                                         std::span<const TASK::Target>,        \
                                                         const NodeHook&);

ORNIK_INSTANTIATE_BUILDERS(Regression)
ORNIK_INSTANTIATE_BUILDERS(Classification)
ORNIK_INSTANTIATE_BUILDERS(ObjectiveClassification)

}  // namespace ornik
