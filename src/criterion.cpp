#include "criterion.hpp"

#include <cmath>
#include <vector>

namespace ornik {

double SumsCriterion::impurity(std::span<const double> targets) const {
  if (targets.empty()) return 0.0;
  double sum = 0.0, sum_sq = 0.0;
  for (const double v : targets) {
    sum += v;
    sum_sq += v * v;
  }
  return from_sums(static_cast<double>(targets.size()), sum, sum_sq);
}

double ClassCriterion::impurity(std::span<const ClassLabel> targets) const {
  if (targets.empty()) return 0.0;
  std::vector<double> counts(n_classes_, 0.0);
  for (const ClassLabel l : targets) {
    if (l < n_classes_) counts[l] += 1.0;
  }
  return from_counts(counts, static_cast<double>(targets.size()));
}

double Mae::impurity(std::span<const double> targets) const {
  const size_t n = targets.size();
  if (n == 0) return 0.0;
  std::vector<double> sorted(targets.begin(), targets.end());
  sort_total_order(sorted);
  const double median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5;
  double dev = 0.0;
  for (const double v : targets) dev += std::fabs(v - median);
  return dev / static_cast<double>(n);
}

double Gini::from_counts(std::span<const double> counts, double n) const {
  double s = 0.0;
  for (const double c : counts) {
    const double p = c / n;
    s += p * p;
  }
  return 1.0 - s;
}

double Entropy::from_counts(std::span<const double> counts, double n) const {
  // Without classes there is nothing to be mixed: +0 rather than the empty sum's negation.
  if (counts.empty()) return 0.0;
  double s = 0.0;
  for (const double c : counts) {
    if (c == 0.0) continue;
    const double p = c / n;
    s += p * std::log2(p);
  }
  return -s;
}

namespace {

template <class C, class Base>
constexpr CriterionEntry<Base> entry() {
  return {C::kName,
          [](size_t n_classes) -> std::unique_ptr<Base> {
            if constexpr (std::is_constructible_v<C, size_t>) {
              return std::make_unique<C>(n_classes);
            } else {
              return std::make_unique<C>();
            }
          },
          scores_in_fast_mode<C>};
}

constexpr CriterionEntry<RegressionCriterion> kRegressionCriteria[] = {
    entry<Mse, RegressionCriterion>(),
    entry<Variance, RegressionCriterion>(),
    entry<Mae, RegressionCriterion>(),
};

constexpr CriterionEntry<ClassCriterion> kClassCriteria[] = {
    entry<Gini, ClassCriterion>(),
    entry<Entropy, ClassCriterion>(),
};

}  // namespace

std::span<const CriterionEntry<RegressionCriterion>> regression_criteria() {
  return kRegressionCriteria;
}

std::span<const CriterionEntry<ClassCriterion>> class_criteria() {
  return kClassCriteria;
}

}  // namespace ornik
