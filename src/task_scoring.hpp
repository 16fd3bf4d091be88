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

// A node's leaf value: the (weighted) mean of its targets. Samples that all weigh nothing still
// give the leaf a value: their plain mean.
inline double leaf_payload(const Regression& task, std::span<const double> y,
                           SampleWeights w = {}) {
  const SideSums s = SideSums::of(y, w);
  if (s.n > 0.0) return s.sum / s.n;
  return y.empty() ? 0.0 : leaf_payload(task, y);  // unweighted, s.n is 0 only when y is empty
}

inline ClassPrediction leaf_payload(const Classification& task, std::span<const ClassLabel> y,
                                    SampleWeights w = {}) {
  return class_leaf(task.n_classes, y, w);
}

inline ClassPrediction leaf_payload(const ObjectiveClassification& task,
                                    std::span<const ClassLabel> y, SampleWeights w = {}) {
  return class_leaf(task.n_classes, y, w);
}

inline double node_impurity(const Regression& task, std::span<const double> y,
                            SampleWeights w = {}) {
  return task.criterion->impurity(y, w);
}

inline double node_impurity(const Classification& task, std::span<const ClassLabel> y,
                            SampleWeights w = {}) {
  return task.criterion->impurity(y, w);
}

// The objective classifier stops on Gini purity whatever its objective.
inline double node_impurity(const ObjectiveClassification& task, std::span<const ClassLabel> y,
                            SampleWeights w = {}) {
  return task.gini.impurity(y, w);
}

// The fold targets of a node (and their weights, when weights is not empty), the training ones
// only when with_train.
template <class Target>
FoldTargets<Target> gather_fold_targets(std::span<const Fold> folds,
                                        std::span<const Target> targets,
                                        std::span<const double> weights, bool with_train) {
  FoldTargets<Target> y;
  y.val = gather_fold_targets(folds, targets, false);
  if (with_train) y.train = gather_fold_targets(folds, targets, true);
  if (weights.empty()) return y;
  y.val_weights = gather_fold_targets(folds, weights, false);
  if (with_train) y.train_weights = gather_fold_targets(folds, weights, true);
  return y;
}

// What the scans compute for a fit's settings besides the impurity scoring: the held-out loss as
// the fold score, and each fold's pick (into picks) for the selection-aware stop test.
inline ScanChoice scan_choice(const TreeParams& p, FoldPicks& picks, size_t feature = 0) {
  return ScanChoice{p.fold_score == FoldScore::Loss,
                    p.stop_rule == StopRule::Selection ? &picks : nullptr, feature};
}

inline std::vector<FoldStats> score_coded(const Regression& task, bool ordered,
                                          const CodedFeature& c, const FoldTargets<double>& y,
                                          const ScanChoice& choice) {
  return score_coded_states(ordered, c, y, *task.criterion, choice);
}

inline std::vector<FoldStats> score_coded(const Classification& task, bool ordered,
                                          const CodedFeature& c, const FoldTargets<ClassLabel>& y,
                                          const ScanChoice& choice) {
  return score_coded_states(ordered, c, y, *task.criterion, choice);
}

inline std::vector<FoldStats> score_coded(const ObjectiveClassification& task, bool ordered,
                                          const CodedFeature& c, const FoldTargets<ClassLabel>& y,
                                          const ScanChoice& choice) {
  return score_coded_states_objective(ordered, c, y, task.n_classes, *task.objective, choice);
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
// weights as in build_tree_strict.
template <class Task>
std::vector<FoldStats> score_states_strict(const Task& task, const Column& column, bool ordered,
                                           std::span<const StateCode> states,
                                           std::span<const Fold> folds,
                                           std::span<const typename Task::Target> targets,
                                           std::span<const double> weights, uint64_t n_bins,
                                           const ScanChoice& choice) {
  const bool with_train = needs_train_codes(task, choice);
  CodedFeature coded = code_fold_rows(column, folds, n_bins, with_train);
  coded.states.assign(states.begin(), states.end());
  return score_coded(task, ordered, coded, gather_fold_targets(folds, targets, weights, with_train),
                     choice);
}

inline void score_block_fast(const Regression& task, const FastBlock& block,
                             std::span<const double> targets, std::span<const double> weights,
                             const FoldAssignment& folds, const Aggregator& aggregator,
                             FastScratch& scratch, Candidates& out, const ScanChoice& choice,
                             const PassWorkers& workers = {}) {
  const SumsCriterion* sums = task.criterion->sums();
  if (sums == nullptr) {
    throw std::invalid_argument(std::string("Fast mode cannot score the criterion ") +
                                task.criterion->name());
  }
  score_block_fast_regression(block, targets, weights, folds, *sums, aggregator, scratch, out,
                              choice, workers);
}

inline void score_block_fast(const Classification& task, const FastBlock& block,
                             std::span<const ClassLabel> targets, std::span<const double> weights,
                             const FoldAssignment& folds, const Aggregator& aggregator,
                             FastScratch& scratch, Candidates& out, const ScanChoice& choice,
                             const PassWorkers& workers = {}) {
  score_block_fast_classification(block, targets, weights, folds, *task.criterion, aggregator,
                                  scratch, out, choice, workers);
}

inline void score_block_fast(const ObjectiveClassification& task, const FastBlock& block,
                             std::span<const ClassLabel> targets, std::span<const double> weights,
                             const FoldAssignment& folds, const Aggregator& aggregator,
                             FastScratch& scratch, Candidates& out, const ScanChoice& choice,
                             const PassWorkers& workers = {}) {
  score_block_fast_objective(block, targets, weights, folds, *task.objective, task.n_classes,
                             aggregator, scratch, out, choice, workers);
}

}  // namespace ornik
