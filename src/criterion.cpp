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

}  // namespace

double Mse::impurity(std::span<const double> targets) const {
  return one_pass_variance(targets);
}

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
  std::vector<uint64_t> counts(n_classes_);
  return from_counts(counts, count_classes(targets, counts));
}

double Entropy::impurity(std::span<const ClassLabel> targets) const {
  std::vector<uint64_t> counts(n_classes_);
  return from_counts(counts, count_classes(targets, counts));
}

}  // namespace ornik
