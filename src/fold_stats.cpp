#include "fold_stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "data.hpp"

namespace ornik {

FoldStats FoldStats::from_scores(std::vector<double> scores, size_t n_folds) {
  FoldStats st;
  st.scores = std::move(scores);
  st.summarise(n_folds, kEveryPart);
  return st;
}

void FoldStats::assign(std::span<const double> fold_scores, size_t folds, unsigned parts) {
  scores.assign(fold_scores.begin(), fold_scores.end());
  summarise(folds, parts);
}

void FoldStats::complete() {
  if (missing_ & kSpread) summarise_spread();
  if (missing_ & kMedian) summarise_median();
  missing_ = 0;
}

void FoldStats::summarise(size_t folds, unsigned parts) {
  n_folds = folds;
  const size_t n = scores.size();
  n_valid = n;
  missing_ = 0;
  if (n == 0) {
    mean = -std::numeric_limits<double>::infinity();
    median = -std::numeric_limits<double>::infinity();
    std = 0.0;
    return;
  }
  double sum = 0.0;
  for (const double s : scores) sum += s;
  mean = sum / static_cast<double>(n);
  constexpr double kNotYet = std::numeric_limits<double>::quiet_NaN();
  std = kNotYet;
  median = kNotYet;
  missing_ = kEveryPart & ~parts;
  if (parts & kSpread) summarise_spread();
  if (parts & kMedian) summarise_median();
}

void FoldStats::summarise_spread() {
  double sq = 0.0;
  for (const double s : scores) {
    const double d = s - mean;
    sq += d * d;
  }
  std = std::sqrt(sq / static_cast<double>(scores.size()));
}

void FoldStats::summarise_median() {
  const size_t n = scores.size();
  // One score per fold: a small list is sorted on the stack, sparing an allocation per candidate.
  double small[32];
  std::vector<double> large;
  double* sorted = small;
  if (n <= 32) {
    std::copy(scores.begin(), scores.end(), small);
    for (size_t i = 1; i < n; ++i) {
      const double v = small[i];
      size_t j = i;
      for (; j > 0 && total_order_less(v, small[j - 1]); --j) small[j] = small[j - 1];
      small[j] = v;
    }
  } else {
    large = scores;
    sort_total_order(large);
    sorted = large.data();
  }
  median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5;
}

}  // namespace ornik
