// What a fit is asked to do: its settings, the task kinds (what a tree predicts and how a
// builder scores for it) and their leaf payloads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "aggregation.hpp"
#include "criterion.hpp"
#include "cross_validation.hpp"
#include "data.hpp"
#include "objective.hpp"
#include "tree.hpp"

namespace ornik {

enum class SplitMode : uint8_t { Strict = 0, Fast = 1 };
// What a candidate's fold score measures: the impurity decrease of partitioning the fold's
// held-out samples, or the drop in their loss when each side predicts from the training part.
enum class FoldScore : uint8_t { Impurity = 0, Loss = 1 };
// When a node stays a leaf: its best aggregated score does not exceed min_impurity_decrease, or
// the aggregated held-out gains of the candidates each fold's training part alone would pick do
// not.
enum class StopRule : uint8_t { Score = 0, Selection = 1 };
enum class SplitStyle : uint8_t { Threshold = 0, BinMembership = 1 };

struct TreeParams {
  std::optional<uint64_t> max_depth;
  uint64_t cv_folds = 5;
  uint64_t cv_seed = 42;
  bool cv_shuffle = true;
  uint64_t min_samples_split = 2;
  uint64_t min_samples_leaf = 1;
  double min_impurity_decrease = 0.0;
  uint64_t n_bins = 8;
  uint64_t n_threads = 1;
  uint64_t parallel_min_samples = 512;
  SplitMode mode = SplitMode::Strict;
  SplitStyle split_style = SplitStyle::Threshold;
  bool parallel = false;
  FoldScore fold_score = FoldScore::Impurity;
  StopRule stop_rule = StopRule::Score;

  // The fold count is clamped where the folds are made (fold_count), never refused.
  KFold kfold() const { return KFold{static_cast<size_t>(cv_folds), cv_seed, cv_shuffle}; }
};

struct Regression {
  using Target = double;
  using Payload = double;
  std::unique_ptr<RegressionCriterion> criterion;
};

struct Classification {
  using Target = ClassLabel;
  using Payload = ClassPrediction;
  std::unique_ptr<ClassCriterion> criterion;
  size_t n_classes = 0;
};

struct ObjectiveClassification {
  using Target = ClassLabel;
  using Payload = ClassPrediction;
  std::unique_ptr<ClassObjective> objective;
  size_t n_classes = 0;
  Gini gini{0};
};

// Why a fit of n_rows samples cannot run with these settings (the message a caller reports), or
// none when it can: Fast mode scores only criteria whose table entry says so, and holds at most
// kMaxFastRows rows.
std::optional<std::string> fit_refusal(const Regression& task, const TreeParams& params,
                                       uint64_t n_rows);
std::optional<std::string> fit_refusal(const Classification& task, const TreeParams& params,
                                       uint64_t n_rows);
std::optional<std::string> fit_refusal(const ObjectiveClassification& task,
                                       const TreeParams& params, uint64_t n_rows);

// Class proportions of the labels below n_classes and the majority class, each label weighing its
// weight (one each when weights is empty).
ClassPrediction class_leaf(size_t n_classes, std::span<const ClassLabel> labels,
                           std::span<const double> weights = {});

}  // namespace ornik
