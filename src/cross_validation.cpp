#include "cross_validation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ornik {

FoldStats FoldStats::from_scores(std::vector<double> scores, size_t n_folds) {
  FoldStats st;
  st.n_folds = n_folds;
  const size_t n = scores.size();
  if (n == 0) {
    st.mean = -std::numeric_limits<double>::infinity();
    st.median = -std::numeric_limits<double>::infinity();
    st.std = 0.0;
    return st;
  }
  const double dn = static_cast<double>(n);
  double sum = 0.0;
  for (const double s : scores) sum += s;
  st.mean = sum / dn;
  double sq = 0.0;
  for (const double s : scores) {
    const double d = s - st.mean;
    sq += d * d;
  }
  st.std = std::sqrt(sq / dn);
  std::vector<double> sorted = scores;
  sort_total_order(sorted);
  st.median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) * 0.5;
  st.n_valid = n;
  st.scores = std::move(scores);
  return st;
}

}  // namespace ornik
