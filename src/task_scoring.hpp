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
  std::vector<std::vector<Target>> train;  // only when the training rows are coded too
};

// What the scans compute for a fit's settings besides the impurity scoring: the held-out loss as
// the fold score, and each fold's pick (into picks) for the selection-aware stop test.
inline ScanChoice scan_choice(const TreeParams& p, FoldPicks& picks, size_t feature = 0) {
  return ScanChoice{p.fold_score == FoldScore::Loss,
                    p.stop_rule == StopRule::Selection ? &picks : nullptr, feature};
}

inline std::vector<FoldStats> score_coded(const Regression& task, bool ordered,
                                          const CodedFeature& c, const FoldTargets<double>& y,
                                          const ScanChoice& choice) {
  return score_coded_states(ordered, c, y.val, *task.criterion, choice, y.train);
}

inline std::vector<FoldStats> score_coded(const Classification& task, bool ordered,
                                          const CodedFeature& c, const FoldTargets<ClassLabel>& y,
                                          const ScanChoice& choice) {
  return score_coded_states(ordered, c, y.val, *task.criterion, choice, y.train);
}

inline std::vector<FoldStats> score_coded(const ObjectiveClassification& task, bool ordered,
                                          const CodedFeature& c, const FoldTargets<ClassLabel>& y,
                                          const ScanChoice& choice) {
  return score_coded_states_objective(ordered, c, y.train, y.val, task.n_classes, *task.objective,
                                      choice);
}

// The objective scoring always codes the training rows too; the criteria do when the held-out
// loss or the folds' picks need them.
inline bool needs_train_codes(const Regression&, const ScanChoice& choice) {
  return choice.needs_training();
}
inline bool needs_train_codes(const Classification&, const ScanChoice& choice) {
  return choice.needs_training();
}
inline bool needs_train_codes(const ObjectiveClassification&, const ScanChoice&) {
  return true;
}

// Strict scoring of given states from the column itself: its fold rows coded, then scored.
template <class Task>
std::vector<FoldStats> score_states_strict(const Task& task, const Column& column, bool ordered,
                                           std::span<const StateCode> states,
                                           std::span<const Fold> folds,
                                           std::span<const typename Task::Target> targets,
                                           uint64_t n_bins, const ScanChoice& choice = {}) {
  const bool with_train = needs_train_codes(task, choice);
  CodedFeature coded = code_fold_rows(column, folds, n_bins, with_train);
  coded.states.assign(states.begin(), states.end());
  FoldTargets<typename Task::Target> y;
  y.val = gather_fold_targets(folds, targets, false);
  if (with_train) y.train = gather_fold_targets(folds, targets, true);
  return score_coded(task, ordered, coded, y, choice);
}

inline std::vector<ScoredCandidate> score_block_fast(const Regression& task, const FastBlock& block,
                                                     std::span<const double> targets,
                                                     const FoldAssignment& folds,
                                                     const Aggregator& aggregator,
                                                     FastScratch& scratch,
                                                     const ScanChoice& choice) {
  const SumsCriterion* sums = task.criterion->sums();
  if (sums == nullptr) {
    throw std::invalid_argument(std::string("Fast mode cannot score the criterion ") +
                                task.criterion->name());
  }
  return score_block_fast_regression(block, targets, {}, folds, *sums, aggregator, scratch, choice);
}

inline std::vector<ScoredCandidate> score_block_fast(
    const Classification& task, const FastBlock& block, std::span<const ClassLabel> targets,
    const FoldAssignment& folds, const Aggregator& aggregator, FastScratch& scratch,
    const ScanChoice& choice) {
  return score_block_fast_classification(block, targets, {}, folds, *task.criterion, aggregator,
                                         scratch, choice);
}

inline std::vector<ScoredCandidate> score_block_fast(
    const ObjectiveClassification& task, const FastBlock& block,
    std::span<const ClassLabel> targets, const FoldAssignment& folds, const Aggregator& aggregator,
    FastScratch& scratch, const ScanChoice& choice) {
  return score_block_fast_objective(block, targets, {}, folds, *task.objective, task.n_classes,
                                    aggregator, scratch, choice);
}

}  // namespace ornik
