// What each task kind contributes to a node: its leaf payload, its stopping impurity and the
// scoring of its candidates in either mode. The builders call only these.
#pragma once

#include <span>
#include <stdexcept>
#include <vector>

#include "cross_validation.hpp"
#include "fold_coding.hpp"
#include "histogram.hpp"
#include "strict_scoring.hpp"
#include "task.hpp"

namespace ornik {

inline double leaf_payload(const Regression&, std::span<const double> y) {
  if (y.empty()) return 0.0;
  double sum = 0.0;
  for (const double v : y) sum += v;
  return sum / static_cast<double>(y.size());
}

inline ClassPrediction leaf_payload(const Classification& task, std::span<const ClassLabel> y) {
  return class_leaf(task.n_classes, y);
}

inline ClassPrediction leaf_payload(const ObjectiveClassification& task,
                                    std::span<const ClassLabel> y) {
  return class_leaf(task.n_classes, y);
}

inline double node_impurity(const Regression& task, std::span<const double> y) {
  return task.criterion->impurity(y);
}

inline double node_impurity(const Classification& task, std::span<const ClassLabel> y) {
  return task.criterion->impurity(y);
}

// The objective classifier stops on Gini purity whatever its objective.
inline double node_impurity(const ObjectiveClassification& task, std::span<const ClassLabel> y) {
  return task.gini.impurity(y);
}

// The targets of a node's folds, gathered once per node for every feature's scoring.
template <class Target>
struct FoldTargets {
  std::vector<std::vector<Target>> val;
  std::vector<std::vector<Target>> train;  // only for the objective scoring
};

inline std::vector<FoldStats> score_coded(const Regression& task, bool ordered,
                                          const CodedFeature& c, std::span<const Fold>,
                                          const FoldTargets<double>& y) {
  return score_coded_states(ordered, c, y.val, *task.criterion);
}

inline std::vector<FoldStats> score_coded(const Classification& task, bool ordered,
                                          const CodedFeature& c, std::span<const Fold>,
                                          const FoldTargets<ClassLabel>& y) {
  return score_coded_states(ordered, c, y.val, *task.criterion);
}

inline std::vector<FoldStats> score_coded(const ObjectiveClassification& task, bool ordered,
                                          const CodedFeature& c, std::span<const Fold>,
                                          const FoldTargets<ClassLabel>& y) {
  return score_coded_states_objective(ordered, c, y.train, y.val, task.n_classes, *task.objective);
}

// Only the objective scoring codes the training rows too.
constexpr bool needs_train_codes(const Regression&) {
  return false;
}
constexpr bool needs_train_codes(const Classification&) {
  return false;
}
constexpr bool needs_train_codes(const ObjectiveClassification&) {
  return true;
}

// Strict scoring of given states from the column itself: its fold rows coded, then scored.
template <class Task>
std::vector<FoldStats> score_states_strict(const Task& task, const Column& column, bool ordered,
                                           std::span<const StateCode> states,
                                           std::span<const Fold> folds,
                                           std::span<const typename Task::Target> targets,
                                           uint64_t n_bins) {
  CodedFeature coded = code_fold_rows(column, folds, n_bins, needs_train_codes(task));
  coded.states.assign(states.begin(), states.end());
  FoldTargets<typename Task::Target> y;
  y.val = gather_fold_targets(folds, targets, false);
  if (needs_train_codes(task)) y.train = gather_fold_targets(folds, targets, true);
  return score_coded(task, ordered, coded, folds, y);
}

inline std::vector<ScoredCandidate> score_block_fast(const Regression& task, const FastBlock& block,
                                                     std::span<const double> targets,
                                                     const FoldAssignment& folds,
                                                     const Aggregator& aggregator,
                                                     FastScratch& scratch) {
  const SumsCriterion* sums = task.criterion->sums();
  if (sums == nullptr) {
    throw std::invalid_argument(std::string("Fast mode cannot score the criterion ") +
                                task.criterion->name());
  }
  return score_block_fast_regression(block, targets, {}, folds, *sums, aggregator, scratch);
}

inline std::vector<ScoredCandidate> score_block_fast(
    const Classification& task, const FastBlock& block, std::span<const ClassLabel> targets,
    const FoldAssignment& folds, const Aggregator& aggregator, FastScratch& scratch) {
  return score_block_fast_classification(block, targets, {}, folds, *task.criterion, aggregator,
                                         scratch);
}

inline std::vector<ScoredCandidate> score_block_fast(const ObjectiveClassification& task,
                                                     const FastBlock& block,
                                                     std::span<const ClassLabel> targets,
                                                     const FoldAssignment& folds,
                                                     const Aggregator& aggregator,
                                                     FastScratch& scratch) {
  return score_block_fast_objective(block, targets, {}, folds, *task.objective, task.n_classes,
                                    aggregator, scratch);
}

}  // namespace ornik
