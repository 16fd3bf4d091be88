// What each task kind contributes to a node: its leaf payload, its stopping impurity and the
// scoring of its candidates in either mode. The builders call only these.
#pragma once

#include <span>
#include <vector>

#include "cross_validation.hpp"
#include "histogram.hpp"
#include "objective.hpp"
#include "sorted_feature.hpp"
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

inline std::vector<FoldStats> score_states_strict(const Regression& task, const Column& column,
                                                  bool ordered, std::span<const StateCode> states,
                                                  std::span<const Fold> folds,
                                                  std::span<const double> targets,
                                                  uint64_t n_bins) {
  return cv_score_states<double>(column, ordered, states, folds, targets, *task.criterion, n_bins);
}

inline std::vector<FoldStats> score_states_strict(const Classification& task, const Column& column,
                                                  bool ordered, std::span<const StateCode> states,
                                                  std::span<const Fold> folds,
                                                  std::span<const ClassLabel> targets,
                                                  uint64_t n_bins) {
  return cv_score_states<ClassLabel>(column, ordered, states, folds, targets, *task.criterion,
                                     n_bins);
}

inline std::vector<FoldStats> score_states_strict(const ObjectiveClassification& task,
                                                  const Column& column, bool ordered,
                                                  std::span<const StateCode> states,
                                                  std::span<const Fold> folds,
                                                  std::span<const ClassLabel> targets,
                                                  uint64_t n_bins) {
  return cv_score_states_objective(column, ordered, states, folds, targets, task.n_classes, n_bins,
                                   *task.objective);
}

// The targets of a node's folds, gathered once per node for every feature's scoring.
template <class Target>
struct FoldTargets {
  std::vector<std::vector<Target>> val;
  std::vector<std::vector<Target>> train;  // only for the objective scoring
};

inline std::vector<FoldStats> score_coded(const Regression& task, bool ordered,
                                          const CodedFeature& c, std::span<const Fold> folds,
                                          const FoldTargets<double>& y) {
  return score_coded_states<double>(ordered, c.states, folds, c.val_codes, y.val, *task.criterion);
}

inline std::vector<FoldStats> score_coded(const Classification& task, bool ordered,
                                          const CodedFeature& c, std::span<const Fold> folds,
                                          const FoldTargets<ClassLabel>& y) {
  return score_coded_states<ClassLabel>(ordered, c.states, folds, c.val_codes, y.val,
                                        *task.criterion);
}

inline std::vector<FoldStats> score_coded(const ObjectiveClassification& task, bool ordered,
                                          const CodedFeature& c, std::span<const Fold> folds,
                                          const FoldTargets<ClassLabel>& y) {
  return score_coded_states_objective(ordered, c.states, folds, c.train_codes, c.val_codes, y.train,
                                      y.val, task.n_classes, *task.objective);
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

inline std::vector<ScoredCandidate> score_block_fast(const Regression&, const FastBlock& block,
                                                     std::span<const double> targets,
                                                     const FoldAssignment& folds,
                                                     const Aggregator& aggregator,
                                                     FastScratch& scratch) {
  return score_block_fast_regression(block, targets, folds, aggregator, scratch);
}

inline std::vector<ScoredCandidate> score_block_fast(
    const Classification& task, const FastBlock& block, std::span<const ClassLabel> targets,
    const FoldAssignment& folds, const Aggregator& aggregator, FastScratch& scratch) {
  return score_block_fast_classification(block, targets, folds, aggregator, task.n_classes,
                                         task.entropy, scratch);
}

inline std::vector<ScoredCandidate> score_block_fast(const ObjectiveClassification& task,
                                                     const FastBlock& block,
                                                     std::span<const ClassLabel> targets,
                                                     const FoldAssignment& folds,
                                                     const Aggregator& aggregator,
                                                     FastScratch& scratch) {
  return score_block_fast_objective(block, targets, folds, aggregator, task.n_classes,
                                    *task.objective, scratch);
}

}  // namespace ornik
