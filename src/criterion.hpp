// Impurity criteria: how mixed a set of regression targets or class labels is, and the tables
// that name them.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>

#include "data.hpp"

namespace ornik {

// Sample weights, one per target; empty when every sample weighs one.
using SampleWeights = std::span<const double>;

template <class Target>
class Criterion {
 public:
  virtual ~Criterion() = default;
  // The impurity of targets of these weights; 0 when they weigh nothing.
  virtual double impurity(std::span<const Target> targets, SampleWeights weights) const = 0;
  double impurity(std::span<const Target> targets) const { return impurity(targets, {}); }
  virtual const char* name() const = 0;
};

class SumsCriterion;

// Every impurity criterion names its held-out loss: the total loss of a side's held-out samples
// when they are predicted from the side's training samples (never empty). On a side's own samples
// its mean is the side's impurity, so a drop in held-out loss is the held-out counterpart of an
// impurity decrease.

// A regression criterion computable from a side's weight, sum and sum of squares derives from
// SumsCriterion and scores in both modes; any other scores Strict candidates from the samples of
// each side.
class RegressionCriterion : public Criterion<double> {
 public:
  using Criterion<double>::impurity;
  virtual const SumsCriterion* sums() const { return nullptr; }
  // Held-out samples weigh val_weights; the training samples, of train_weights, weigh more than 0.
  virtual double held_out_loss(std::span<const double> train, SampleWeights train_weights,
                               std::span<const double> val, SampleWeights val_weights) const = 0;
  double held_out_loss(std::span<const double> train, std::span<const double> val) const {
    return held_out_loss(train, {}, val, {});
  }
};

// A side's weight n, its weighted sum of targets and of squared targets.
struct SideSums {
  double n = 0.0, sum = 0.0, sum_sq = 0.0;
  static SideSums of(std::span<const double> targets, SampleWeights weights = {});  // in order
};

class SumsCriterion : public RegressionCriterion {
 public:
  // Impurity of a side of weight n > 0 (its sample count when unweighted) whose targets sum to
  // sum and whose squared targets sum to sum_sq.
  virtual double from_sums(double n, double sum, double sum_sq) const = 0;
  // from_sums of n_sides sides at once, side i's n, sum and sum_sq from sides[i * stride].
  virtual void from_sums_each(const double* sides, size_t stride, size_t n_sides,
                              double* out) const = 0;
  // The held-out loss from the sums of the training and the held-out samples.
  virtual double loss_from_sums(const SideSums& train, const SideSums& val) const = 0;
  using RegressionCriterion::held_out_loss;
  using RegressionCriterion::impurity;
  // from_sums of the targets' sums taken in order; 0 for no weight.
  double impurity(std::span<const double> targets, SampleWeights weights) const final;
  double held_out_loss(std::span<const double> train, SampleWeights train_weights,
                       std::span<const double> val, SampleWeights val_weights) const final {
    return loss_from_sums(SideSums::of(train, train_weights), SideSums::of(val, val_weights));
  }
  const SumsCriterion* sums() const final { return this; }
};

// Classification criteria are computed from class counts, in both modes.
class ClassCriterion : public Criterion<ClassLabel> {
 public:
  explicit ClassCriterion(size_t n_classes) : n_classes_(n_classes) {}
  // Impurity of a side of weight n > 0 whose classes weigh counts (n_classes entries); n also
  // counts the labels beyond the classes, if any.
  virtual double from_counts(std::span<const double> counts, double n) const = 0;
  // from_counts of n_sides sides at once, side i's weight at sides[i * stride] and its class
  // counts right after it: a scan scores a candidate's every fold in one call.
  virtual void from_counts_each(const double* sides, size_t stride, size_t n_sides,
                                double* out) const = 0;
  // The held-out loss of held-out samples weighing val_n, val_counts of them per class, predicted
  // from training samples weighing train_n, train_counts per class (n_classes entries each; a
  // label beyond the classes is counted in the weight only).
  virtual double loss_from_counts(std::span<const double> train_counts, double train_n,
                                  std::span<const double> val_counts, double val_n) const = 0;
  using Criterion<ClassLabel>::impurity;
  // from_counts of the labels' weights, those beyond n_classes counted in n only; 0 for no weight.
  double impurity(std::span<const ClassLabel> targets, SampleWeights weights) const final;
  size_t n_classes() const { return n_classes_; }

 private:
  size_t n_classes_;
};

// from_counts_each of a final criterion class: a loop over its own from_counts, which the
// compiler calls directly.
template <class C>
void each_side_from_counts(const C& criterion, const double* sides, size_t stride, size_t n_sides,
                           double* out) {
  for (size_t i = 0; i < n_sides; ++i) {
    const double* side = sides + i * stride;
    out[i] = criterion.from_counts({side + 1, criterion.n_classes()}, side[0]);
  }
}

// The impurity decrease of a split of n samples: the parent's impurity minus the sides'
// impurities weighted by their shares.
inline double impurity_decrease(double parent, double n, double n_left, double left, double n_right,
                                double right) {
  return parent - (left * n_left + right * n_right) / n;
}

// The drop in held-out samples' mean loss, of total weight n, from the parent's prediction to
// the sides' predictions, given the total losses of each.
inline double loss_decrease(double parent, double left, double right, double n) {
  return (parent - (left + right)) / n;
}

// Population variance in one-pass form: max(q - m*m, 0) with m = sum/n and q = sum_sq/n; a NaN
// or negative difference becomes +0.
inline double variance_from_sums(double n, double sum, double sum_sq) {
  const double m = sum / n;
  const double q = sum_sq / n;
  const double d = q - m * m;
  return d > 0.0 ? d : 0.0;
}

// Squared error of held-out samples around the training mean m, from sums: the held-out samples'
// own spread plus their weight times the squared distance of their mean from m (which, unlike
// sum_sq - 2 m sum + n m^2, never goes negative).
double squared_error_from_sums(const SideSums& train, const SideSums& val);

// Population variance of a side; "mse" and "variance" are two names of it.
class SquaredError : public SumsCriterion {
 public:
  double from_sums(double n, double sum, double sum_sq) const override {
    return variance_from_sums(n, sum, sum_sq);
  }
  void from_sums_each(const double* sides, size_t stride, size_t n_sides,
                      double* out) const override {
    for (size_t i = 0; i < n_sides; ++i) {
      const double* side = sides + i * stride;
      out[i] = variance_from_sums(side[0], side[1], side[2]);
    }
  }
  double loss_from_sums(const SideSums& train, const SideSums& val) const override {
    return squared_error_from_sums(train, val);
  }
};

class Mse final : public SquaredError {
 public:
  static constexpr const char* kName = "mse";
  const char* name() const override { return kName; }
};

class Variance final : public SquaredError {
 public:
  static constexpr const char* kName = "variance";
  const char* name() const override { return kName; }
};

// Mean absolute deviation from the (weighted) median: not computable from sums, so Strict mode
// only. Its held-out loss is the absolute error around the training median.
class Mae final : public RegressionCriterion {
 public:
  static constexpr const char* kName = "mae";
  using RegressionCriterion::held_out_loss;
  using RegressionCriterion::impurity;
  double impurity(std::span<const double> targets, SampleWeights weights) const override;
  double held_out_loss(std::span<const double> train, SampleWeights train_weights,
                       std::span<const double> val, SampleWeights val_weights) const override;
  const char* name() const override { return kName; }
};

// 1 - sum_c (count_c/n)^2, the sum taken over classes in ascending order before subtracting. Its
// held-out loss is the Brier score of the training proportions, sum_c (p_c - [y = c])^2 per
// sample, whose mean on a side's own samples is its Gini impurity.
class Gini final : public ClassCriterion {
 public:
  static constexpr const char* kName = "gini";
  using ClassCriterion::ClassCriterion;
  double from_counts(std::span<const double> counts, double n) const override;
  void from_counts_each(const double* sides, size_t stride, size_t n_sides,
                        double* out) const override;
  double loss_from_counts(std::span<const double> train_counts, double train_n,
                          std::span<const double> val_counts, double val_n) const override;
  const char* name() const override { return kName; }
};

// -sum_c p_c*log2(p_c) over the classes with a non-zero count, in ascending class order. Its
// held-out loss is the log loss, in bits like the entropy, of the training proportions with
// add-one smoothing, (count_c + 1) / (n + n_classes), which keeps an unseen class finite (a label
// beyond the classes is charged as an unseen class).
class Entropy final : public ClassCriterion {
 public:
  static constexpr const char* kName = "entropy";
  using ClassCriterion::ClassCriterion;
  double from_counts(std::span<const double> counts, double n) const override;
  void from_counts_each(const double* sides, size_t stride, size_t n_sides,
                        double* out) const override;
  double loss_from_counts(std::span<const double> train_counts, double train_n,
                          std::span<const double> val_counts, double val_n) const override;
  const char* name() const override { return kName; }
};

// One named criterion: how to make it (class criteria over n_classes classes) and whether Fast
// mode can score it. Every criterion scores in Strict mode.
template <class Base>
struct CriterionEntry {
  const char* name;
  std::unique_ptr<Base> (*make)(size_t n_classes);
  bool fast;
};

// Fast mode scores from side statistics only: sums for regression, counts for classification.
template <class C>
inline constexpr bool scores_in_fast_mode =
    std::is_base_of_v<SumsCriterion, C> || std::is_base_of_v<ClassCriterion, C>;

// The criteria of each task by name, in the order that error messages list them.
std::span<const CriterionEntry<RegressionCriterion>> regression_criteria();
std::span<const CriterionEntry<ClassCriterion>> class_criteria();

template <class Base>
const CriterionEntry<Base>* find_criterion(std::span<const CriterionEntry<Base>> table,
                                           std::string_view name) {
  for (const CriterionEntry<Base>& e : table) {
    if (name == e.name) return &e;
  }
  return nullptr;
}

}  // namespace ornik
