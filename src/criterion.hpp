// Impurity criteria: how mixed a set of regression targets or class labels is.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>

#include "data.hpp"

namespace ornik {

template <class Target>
class Criterion {
 public:
  virtual ~Criterion() = default;
  virtual double impurity(std::span<const Target> targets) const = 0;
  virtual const char* name() const = 0;
};

using RegressionCriterion = Criterion<double>;
using ClassCriterion = Criterion<ClassLabel>;

// Counts the labels below n_classes into counts (n_classes entries, zeroed here); returns how
// many labels there were in all.
inline uint64_t count_classes(std::span<const ClassLabel> labels, std::span<uint64_t> counts) {
  for (uint64_t& c : counts) c = 0;
  for (const ClassLabel l : labels) {
    if (l < counts.size()) ++counts[l];
  }
  return labels.size();
}

// Population variance in one-pass form from a side's sum, sum of squares and count:
// max(q - m*m, 0) with m = sum/n and q = sum_sq/n; a NaN or negative difference becomes +0.
inline double variance_from_sums(double sum, double sum_sq, double n) {
  const double m = sum / n;
  const double q = sum_sq / n;
  const double d = q - m * m;
  return d > 0.0 ? d : 0.0;
}

// 1 - sum_c (count_c/n)^2, the sum taken over classes in ascending order before subtracting.
template <class Count>
double gini_from_counts(std::span<const Count> counts, double n) {
  double s = 0.0;
  for (const Count c : counts) {
    const double p = static_cast<double>(c) / n;
    s += p * p;
  }
  return 1.0 - s;
}

// -sum_c p_c*log2(p_c) over the classes with a non-zero count, summed in ascending class order.
template <class Count>
double entropy_from_counts(std::span<const Count> counts, double n) {
  double s = 0.0;
  for (const Count c : counts) {
    if (c == 0) continue;
    const double p = static_cast<double>(c) / n;
    s += p * std::log2(p);
  }
  return -s;
}

class Mse final : public RegressionCriterion {
 public:
  double impurity(std::span<const double> targets) const override;
  const char* name() const override { return "mse"; }
};

class Variance final : public RegressionCriterion {
 public:
  double impurity(std::span<const double> targets) const override;
  const char* name() const override { return "variance"; }
};

class Mae final : public RegressionCriterion {
 public:
  double impurity(std::span<const double> targets) const override;
  const char* name() const override { return "mae"; }
};

class Gini final : public ClassCriterion {
 public:
  explicit Gini(size_t n_classes) : n_classes_(n_classes) {}
  double impurity(std::span<const ClassLabel> targets) const override;
  // The same value from per-class counts (n_classes entries) of n targets, n counting labels
  // beyond the classes too.
  double from_counts(std::span<const uint64_t> counts, uint64_t n) const {
    return n == 0 ? 0.0 : gini_from_counts(counts, static_cast<double>(n));
  }
  const char* name() const override { return "gini"; }
  size_t n_classes() const { return n_classes_; }

 private:
  size_t n_classes_;
};

class Entropy final : public ClassCriterion {
 public:
  explicit Entropy(size_t n_classes) : n_classes_(n_classes) {}
  double impurity(std::span<const ClassLabel> targets) const override;
  double from_counts(std::span<const uint64_t> counts, uint64_t n) const {
    return n == 0 || n_classes_ == 0 ? 0.0 : entropy_from_counts(counts, static_cast<double>(n));
  }
  const char* name() const override { return "entropy"; }
  size_t n_classes() const { return n_classes_; }

 private:
  size_t n_classes_;
};

}  // namespace ornik
