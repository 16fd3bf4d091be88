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

template <class Target>
class Criterion {
 public:
  virtual ~Criterion() = default;
  virtual double impurity(std::span<const Target> targets) const = 0;
  virtual const char* name() const = 0;
};

class SumsCriterion;

// A regression criterion computable from a side's weight, sum and sum of squares derives from
// SumsCriterion and scores in both modes; any other scores Strict candidates from the samples of
// each side.
class RegressionCriterion : public Criterion<double> {
 public:
  virtual const SumsCriterion* sums() const { return nullptr; }
};

class SumsCriterion : public RegressionCriterion {
 public:
  // Impurity of a side of weight n > 0 (its sample count when unweighted) whose targets sum to
  // sum and whose squared targets sum to sum_sq.
  virtual double from_sums(double n, double sum, double sum_sq) const = 0;
  // from_sums of the targets' sums taken in order; 0 for no targets.
  double impurity(std::span<const double> targets) const final;
  const SumsCriterion* sums() const final { return this; }
};

// Classification criteria are computed from class counts, in both modes.
class ClassCriterion : public Criterion<ClassLabel> {
 public:
  explicit ClassCriterion(size_t n_classes) : n_classes_(n_classes) {}
  // Impurity of a side of weight n > 0 whose classes weigh counts (n_classes entries); n also
  // counts the labels beyond the classes, if any.
  virtual double from_counts(std::span<const double> counts, double n) const = 0;
  // from_counts of the labels, those beyond n_classes counted in n only; 0 for no labels.
  double impurity(std::span<const ClassLabel> targets) const final;
  size_t n_classes() const { return n_classes_; }

 private:
  size_t n_classes_;
};

// The impurity decrease of a split of n samples: the parent's impurity minus the sides'
// impurities weighted by their shares.
inline double impurity_decrease(double parent, double n, double n_left, double left, double n_right,
                                double right) {
  return parent - (left * n_left + right * n_right) / n;
}

// Population variance in one-pass form: max(q - m*m, 0) with m = sum/n and q = sum_sq/n; a NaN
// or negative difference becomes +0.
inline double variance_from_sums(double n, double sum, double sum_sq) {
  const double m = sum / n;
  const double q = sum_sq / n;
  const double d = q - m * m;
  return d > 0.0 ? d : 0.0;
}

class Mse final : public SumsCriterion {
 public:
  static constexpr const char* kName = "mse";
  double from_sums(double n, double sum, double sum_sq) const override {
    return variance_from_sums(n, sum, sum_sq);
  }
  const char* name() const override { return kName; }
};

class Variance final : public SumsCriterion {
 public:
  static constexpr const char* kName = "variance";
  double from_sums(double n, double sum, double sum_sq) const override {
    return variance_from_sums(n, sum, sum_sq);
  }
  const char* name() const override { return kName; }
};

// Mean absolute deviation from the median: not computable from sums, so Strict mode only.
class Mae final : public RegressionCriterion {
 public:
  static constexpr const char* kName = "mae";
  double impurity(std::span<const double> targets) const override;
  const char* name() const override { return kName; }
};

// 1 - sum_c (count_c/n)^2, the sum taken over classes in ascending order before subtracting.
class Gini final : public ClassCriterion {
 public:
  static constexpr const char* kName = "gini";
  using ClassCriterion::ClassCriterion;
  double from_counts(std::span<const double> counts, double n) const override;
  const char* name() const override { return kName; }
};

// -sum_c p_c*log2(p_c) over the classes with a non-zero count, in ascending class order.
class Entropy final : public ClassCriterion {
 public:
  static constexpr const char* kName = "entropy";
  using ClassCriterion::ClassCriterion;
  double from_counts(std::span<const double> counts, double n) const override;
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
