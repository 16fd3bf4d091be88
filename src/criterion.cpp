#include "criterion.hpp"

#include <vector>

namespace ornik {
namespace {

double one_pass_variance(std::span<const double> y) {
  if (y.empty()) return 0.0;
  double sum = 0.0, sum_sq = 0.0;
  for (const double v : y) {
    sum += v;
    sum_sq += v * v;
  }
  return variance_from_sums(sum, sum_sq, static_cast<double>(y.size()));
}

// Counts labels below n_classes; the others are dropped but still count in the total.
template <class Fn>
double from_class_counts(std::span<const ClassLabel> labels, size_t n_classes, Fn&& fn) {
  std::vector<uint64_t> counts(n_classes, 0);
  for (const ClassLabel l : labels) {
    if (l < n_classes) ++counts[l];
  }
  return fn(std::span<const uint64_t>(counts), static_cast<double>(labels.size()));
}

}  // namespace

double Mse::impurity(std::span<const double> targets) const { return one_pass_variance(targets); }

double Variance::impurity(std::span<const double> targets) const {
  return one_pass_variance(targets);
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

double Gini::impurity(std::span<const ClassLabel> targets) const {
  if (targets.empty()) return 0.0;
  return from_class_counts(targets, n_classes_, [](std::span<const uint64_t> c, double n) {
    return gini_from_counts(c, n);
  });
}

double Entropy::impurity(std::span<const ClassLabel> targets) const {
  if (targets.empty() || n_classes_ == 0) return 0.0;
  return from_class_counts(targets, n_classes_, [](std::span<const uint64_t> c, double n) {
    return entropy_from_counts(c, n);
  });
}

}  // namespace ornik
