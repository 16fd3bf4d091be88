#include "criterion.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace ornik {

double SumsCriterion::impurity(std::span<const double> targets, SampleWeights weights) const {
  const SideSums s = SideSums::of(targets, weights);
  return s.n > 0.0 ? from_sums(s.n, s.sum, s.sum_sq) : 0.0;
}

// Weight w times a target's term; a unit weight leaves the term as it is, so all-one weights
// give the unweighted sums.
SideSums SideSums::of(std::span<const double> targets, SampleWeights weights) {
  SideSums s;
  if (weights.empty()) {
    s.n = static_cast<double>(targets.size());
    for (const double v : targets) {
      s.sum += v;
      s.sum_sq += v * v;
    }
    return s;
  }
  for (size_t i = 0; i < targets.size(); ++i) {
    const double w = weights[i], v = targets[i];
    s.n += w;
    s.sum += w * v;
    s.sum_sq += w * (v * v);
  }
  return s;
}

double squared_error_from_sums(const SideSums& train, const SideSums& val) {
  if (val.n == 0.0) return 0.0;
  const double distance = val.sum / val.n - train.sum / train.n;
  return val.n * variance_from_sums(val.n, val.sum, val.sum_sq) + val.n * (distance * distance);
}

double ClassCriterion::impurity(std::span<const ClassLabel> targets, SampleWeights weights) const {
  if (targets.empty()) return 0.0;
  std::vector<double> counts(n_classes_, 0.0);
  if (weights.empty()) {
    // Unit counts are exact whatever the order they are added in: four tallies, a row each in
    // turn, keep consecutive rows of one class from waiting on the same counter. Labels beyond
    // the classes fall into a last tally that is not read.
    constexpr size_t kTallies = 4;
    const size_t stride = n_classes_ + 1;
    std::vector<uint64_t> tally(kTallies * stride, 0);
    const auto slot = [&](ClassLabel label) { return std::min<ClassLabel>(label, n_classes_); };
    size_t i = 0;
    for (; i + kTallies <= targets.size(); i += kTallies) {
      for (size_t t = 0; t < kTallies; ++t) ++tally[t * stride + slot(targets[i + t])];
    }
    for (; i < targets.size(); ++i) ++tally[slot(targets[i])];
    for (size_t c = 0; c < n_classes_; ++c) {
      uint64_t count = 0;
      for (size_t t = 0; t < kTallies; ++t) count += tally[t * stride + c];
      counts[c] = static_cast<double>(count);
    }
    return from_counts(counts, static_cast<double>(targets.size()));
  }
  double n = 0.0;
  for (size_t i = 0; i < targets.size(); ++i) {
    n += weights[i];
    if (targets[i] < n_classes_) counts[targets[i]] += weights[i];
  }
  return n > 0.0 ? from_counts(counts, n) : 0.0;
}

namespace {

// The median of n > 0 targets: the middle one, or the mean of the middle two. Weighted, in
// ascending order the first target at which the running weight reaches half the total, or, when
// it reaches exactly half there, the mean of it and the next target of positive weight; with unit
// weights that is the same middle one or the same mean of the middle two.
double median_of(std::span<const double> targets, SampleWeights weights) {
  const size_t n = targets.size();
  if (weights.empty()) {
    std::vector<double> sorted(targets.begin(), targets.end());
    sort_total_order(sorted);
    return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5;
  }
  std::vector<std::pair<double, double>> sorted(n);  // (target, weight)
  double half = 0.0;
  for (size_t i = 0; i < n; ++i) {
    sorted[i] = {targets[i], weights[i]};
    half += weights[i];
  }
  half *= 0.5;
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return total_order_less(a.first, b.first); });
  double running = 0.0;
  size_t k = 0;
  while (k + 1 < n && (running += sorted[k].second) < half) ++k;
  if (running != half || k + 1 == n) return sorted[k].first;
  size_t next = k + 1;
  while (next + 1 < n && sorted[next].second == 0.0) ++next;
  return (sorted[k].first + sorted[next].first) * 0.5;
}

double absolute_error(std::span<const double> targets, SampleWeights weights, double median) {
  double dev = 0.0;
  for (size_t i = 0; i < targets.size(); ++i) {
    const double e = std::fabs(targets[i] - median);
    dev += weights.empty() ? e : weights[i] * e;
  }
  return dev;
}

}  // namespace

double Mae::impurity(std::span<const double> targets, SampleWeights weights) const {
  if (targets.empty()) return 0.0;
  const double n = SideSums::of(targets, weights).n;
  if (!(n > 0.0)) return 0.0;
  return absolute_error(targets, weights, median_of(targets, weights)) / n;
}

double Mae::held_out_loss(std::span<const double> train, SampleWeights train_weights,
                          std::span<const double> val, SampleWeights val_weights) const {
  if (train.empty()) return 0.0;
  return absolute_error(val, val_weights, median_of(train, train_weights));
}

double Gini::from_counts(std::span<const double> counts, double n) const {
  double s = 0.0;
  for (const double c : counts) {
    const double p = c / n;
    s += p * p;
  }
  return 1.0 - s;
}

void Gini::from_counts_each(const double* sides, size_t stride, size_t n_sides, double* out) const {
  each_side_from_counts(*this, sides, stride, n_sides, out);
}

double Gini::loss_from_counts(std::span<const double> train_counts, double train_n,
                              std::span<const double> val_counts, double val_n) const {
  // Per sample of class y: sum_c p_c^2 - 2 p_y + 1; a label beyond the classes matches none.
  double squares = 0.0, matched = 0.0, in_classes = 0.0;
  for (size_t c = 0; c < train_counts.size(); ++c) {
    const double p = train_counts[c] / train_n;
    squares += p * p;
    matched += val_counts[c] * p;
    in_classes += val_counts[c];
  }
  return val_n * squares + (in_classes - 2.0 * matched);
}

double Entropy::loss_from_counts(std::span<const double> train_counts, double train_n,
                                 std::span<const double> val_counts, double val_n) const {
  const double smoothed_n = train_n + static_cast<double>(train_counts.size());
  double bits = 0.0, in_classes = 0.0;
  for (size_t c = 0; c < train_counts.size(); ++c) {
    if (val_counts[c] == 0.0) continue;
    bits -= val_counts[c] * std::log2((train_counts[c] + 1.0) / smoothed_n);
    in_classes += val_counts[c];
  }
  const double beyond = val_n - in_classes;
  if (beyond > 0.0) bits += beyond * std::log2(smoothed_n);
  return bits;
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

void Entropy::from_counts_each(const double* sides, size_t stride, size_t n_sides,
                               double* out) const {
  each_side_from_counts(*this, sides, stride, n_sides, out);
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
