// The Strict builder: every node re-cuts its own quantile edges and scores every state of every
// feature by cross-validation over its own samples.
#include <algorithm>
#include <numeric>

#include "node_steps.hpp"
#include "parallel.hpp"
#include "quantile.hpp"
#include "sorted_feature.hpp"
#include "task_scoring.hpp"
#include "tree_builder.hpp"

namespace ornik {

namespace {

// One feature's candidates and its folds' picks.
struct ScoredFeature {
  std::vector<ScoredCandidate> candidates;
  FoldPicks picks;
};

// The candidate lists of all features, concatenated in feature order, and their picks merged in
// feature order.
template <class ScoreFeature>
std::vector<ScoredCandidate> score_all_features(size_t n_features, bool in_parallel,
                                                uint64_t n_threads, FoldPicks& picks,
                                                ScoreFeature&& score) {
  std::vector<ScoredCandidate> all;
  auto append = [&](ScoredFeature&& part) {
    for (ScoredCandidate& c : part.candidates) all.push_back(std::move(c));
    picks.merge(part.picks);
  };
  if (in_parallel) {
    std::vector<size_t> features(n_features);
    std::iota(features.begin(), features.end(), size_t{0});
    for (auto& part : par_map(features, static_cast<size_t>(n_threads), score))
      append(std::move(part));
  } else {
    for (size_t f = 0; f < n_features; ++f) append(score(f));
  }
  return all;
}

// The numeric rule of a Strict winner given the node-local edges (n_edges of them, edge(i) the
// i-th).
template <class Edge>
std::optional<SplitRule> numeric_rule(size_t feature, StateCode state, uint64_t n_edges,
                                      bool ordered, Edge&& edge) {
  if (state > n_edges) return std::nullopt;
  std::optional<double> upper;
  if (state < n_edges) upper = edge(state);
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
  const uint64_t n_edges = (n_bins >= 2 && sorted.size() > 0) ? n_bins - 1 : 0;
  return numeric_rule(feature, state, n_edges, ordered,
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
  const StridedValues numbers = column.values();
  std::vector<double> values;
  values.reserve(samples.size());
  for (const size_t row : samples) values.push_back(numbers[row]);
  const QuantileEdges edges(values, n_bins);
  return numeric_rule(feature, state, edges.size(), ordered, [&](uint64_t i) { return edges[i]; });
}

template <class Task>
NodeList<typename Task::Payload> build_tree_strict(const Task& task, const TreeParams& params,
                                                   const Aggregator& aggregator,
                                                   std::span<const Column> columns,
                                                   std::span<const typename Task::Target> targets,
                                                   std::span<const double> weights,
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
  std::vector<double> node_weights;

  while (!stack.empty()) {
    if (between_nodes) between_nodes();
    Pending item = std::move(stack.back());
    stack.pop_back();
    if (item.parent != kNoParent) nodes[item.parent].right = nodes.size();
    const std::vector<size_t>& samples = item.samples;
    const size_t n = samples.size();

    gather_node(samples, targets, weights, node_targets, node_weights);
    // node_targets stay as gathered until the next node.
    const auto settle = [&] {
      settle_leaf(task, nodes, std::span<const Target>(node_targets), node_weights, between_nodes);
    };
    if (stops_before_scoring(task, params, n, item.depth, std::span<const Target>(node_targets),
                             node_weights)) {
      settle();
      continue;
    }

    const std::vector<Fold> folds = kfold.folds(samples);
    const size_t n_picks = params.stop_rule == StopRule::Selection ? folds.size() : 0;
    FoldPicks picks(n_picks);
    const bool with_train = needs_train_codes(task, scan_choice(params, picks));
    FoldTargets<Target> fold_targets;
    if (keep_sorted) {
      fold_targets =
          gather_fold_targets(std::span<const Fold>(folds), targets, weights, with_train);
      for (size_t f = 0; f < folds.size(); ++f) {
        for (size_t v = 0; v < folds[f].val.size(); ++v)
          slot_of_row[folds[f].val[v]] = fold_slot(f, v);
      }
    }
    auto score = [&](size_t f) {
      const Column& column = columns[f];
      const bool ordered = params.split_style == SplitStyle::Threshold && !column.categorical;
      ScoredFeature out{{}, FoldPicks(n_picks)};
      const ScanChoice choice = scan_choice(params, out.picks, f);
      std::vector<StateCode> states;
      std::vector<FoldStats> stats;
      if (keep_sorted && !column.categorical) {
        CodedFeature coded;
        code_sorted_feature(item.sorted[f], folds, slot_of_row, params.n_bins, with_train, coded);
        if (coded.states.empty()) return out;
        stats = score_coded(task, ordered, coded, fold_targets, choice);
        states = std::move(coded.states);
      } else {
        states = present_states(column, samples, params.n_bins);
        if (states.empty()) return out;
        stats = score_states_strict(task, column, ordered, states, folds, targets, weights,
                                    params.n_bins, choice);
      }
      out.candidates.reserve(states.size());
      for (size_t s = 0; s < states.size(); ++s) {
        const double value = aggregator.aggregate(stats[s]);
        out.candidates.push_back(ScoredCandidate{std::move(stats[s]), f, states[s], value});
      }
      return out;
    };
    const std::vector<ScoredCandidate> candidates =
        score_all_features(n_features, parallel_allowed(params), params.n_threads, picks, score);
    SplitEvidence evidence;
    const ScoredCandidate* best =
        winning_candidate(candidates, params, aggregator, picks, evidence);
    if (!best) {
      settle();
      continue;
    }
    const size_t best_feature = best->feature;
    const Column& column = columns[best_feature];
    const bool ordered = params.split_style == SplitStyle::Threshold && !column.categorical;
    const std::optional<SplitRule> rule =
        keep_sorted && !column.categorical
            ? make_rule_sorted(item.sorted[best_feature], best_feature, best->state, params.n_bins,
                               ordered)
            : make_rule(column, best_feature, best->state, samples, params.n_bins, ordered);
    if (!rule) {
      settle();
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
      settle();
      continue;
    }
    if (keep_sorted) {
      left.sorted.resize(n_features);
      right.sorted.resize(n_features);
      for (size_t f = 0; f < n_features; ++f) {
        if (columns[f].categorical) continue;
        split_sorted(item.sorted[f], goes_left, left.samples.size(), right.samples.size(),
                     left.sorted[f], right.sorted[f]);
        std::vector<uint32_t>().swap(item.sorted[f].rows);  // release the parent's list early
      }
    }
    right.parent = nodes.size();
    append_split(nodes, *rule, evidence);
    item = Pending{};  // release the parent's lists before descending
    stack.push_back(std::move(right));
    stack.push_back(std::move(left));
  }
  return nodes;
}

#define ORNIK_INSTANTIATE_STRICT(TASK)                                            \
  template NodeList<TASK::Payload> build_tree_strict<TASK>(                       \
      const TASK&, const TreeParams&, const Aggregator&, std::span<const Column>, \
      std::span<const TASK::Target>, std::span<const double>, const NodeHook&);

ORNIK_INSTANTIATE_STRICT(Regression)
ORNIK_INSTANTIATE_STRICT(Classification)
ORNIK_INSTANTIATE_STRICT(ObjectiveClassification)

}  // namespace ornik
