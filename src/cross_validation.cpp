#include "cross_validation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "encoder.hpp"

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

namespace {

// Fold f covers positions [begin(f), begin(f + 1)) of the permuted list: consecutive blocks of
// base + 1 samples for f < rem and base samples after that.
struct FoldSizes {
  size_t base;
  size_t rem;
  size_t begin(size_t f) const { return f * base + std::min(f, rem); }
};

// Codes of the fold's validation rows into out (resized to fold.val.size()).
void val_codes_into(const Column& column, const Fold& fold, uint64_t n_bins,
                    std::vector<StateCode>& out) {
  out.resize(fold.val.size());
  if (column.categorical) {
    for (size_t i = 0; i < fold.val.size(); ++i) {
      const uint32_t label = column.labels[fold.val[i]];
      out[i] = label == MISSING_CATEGORY ? MISSING_STATE : label;
    }
    return;
  }
  // Cut points learned from the training part only.
  std::vector<double> train_values(fold.train.size());
  for (size_t i = 0; i < fold.train.size(); ++i) train_values[i] = column.numbers[fold.train[i]];
  const QuantileEdges edges(train_values, n_bins);
  for (size_t i = 0; i < fold.val.size(); ++i) {
    const double x = column.numbers[fold.val[i]];
    out[i] = std::isfinite(x) ? edges.code(x) : MISSING_STATE;
  }
}

}  // namespace

std::vector<Fold> KFold::folds(std::span<const size_t> indices) const {
  const size_t n = indices.size();
  if (n == 0) return {};
  const size_t k_eff = std::min(std::max<size_t>(k, 2), n);
  std::vector<size_t> perm(indices.begin(), indices.end());
  if (shuffle) shuffle_indices(std::span<size_t>(perm), seed);
  const FoldSizes sizes{n / k_eff, n % k_eff};
  std::vector<Fold> out(k_eff);
  for (size_t f = 0; f < k_eff; ++f) {
    const auto first = perm.begin() + static_cast<std::ptrdiff_t>(sizes.begin(f));
    const auto last = perm.begin() + static_cast<std::ptrdiff_t>(sizes.begin(f + 1));
    Fold& fold = out[f];
    fold.val.assign(first, last);
    fold.train.reserve(n - fold.val.size());
    fold.train.insert(fold.train.end(), perm.begin(), first);
    fold.train.insert(fold.train.end(), last, perm.end());
  }
  return out;
}

FoldAssignment KFold::assign(std::span<const uint32_t> indices) const {
  FoldAssignment out;
  const size_t n = indices.size();
  if (n == 0) return out;
  // Fold numbers are stored in 8 bits.
  const size_t k_eff = std::min({std::max<size_t>(k, 2), n, size_t{255}});
  out.order.assign(indices.begin(), indices.end());
  if (shuffle) shuffle_indices(std::span<uint32_t>(out.order), seed);
  const FoldSizes sizes{n / k_eff, n % k_eff};
  out.fold_of.resize(n);
  for (size_t f = 0; f < k_eff; ++f) {
    std::fill(out.fold_of.begin() + static_cast<std::ptrdiff_t>(sizes.begin(f)),
              out.fold_of.begin() + static_cast<std::ptrdiff_t>(sizes.begin(f + 1)),
              static_cast<uint8_t>(f));
  }
  out.k = k_eff;
  return out;
}

std::vector<StateCode> fold_val_codes(const Column& column, const Fold& fold, uint64_t n_bins) {
  std::vector<StateCode> codes;
  val_codes_into(column, fold, n_bins, codes);
  return codes;
}

template <class Target>
std::vector<FoldStats> cv_score_states(const Column& column, bool ordered,
                                       std::span<const StateCode> states,
                                       std::span<const Fold> folds,
                                       std::span<const Target> targets,
                                       const Criterion<Target>& criterion, uint64_t n_bins) {
  std::vector<std::vector<double>> lists(states.size());
  for (auto& list : lists) list.reserve(folds.size());

  // Scratch sized once for the largest fold, reused across folds and states.
  size_t max_val = 0;
  for (const Fold& fold : folds) max_val = std::max(max_val, fold.val.size());
  std::vector<StateCode> codes;
  std::vector<Target> yv, left, right;
  codes.reserve(max_val);
  yv.reserve(max_val);
  left.reserve(max_val);
  right.reserve(max_val);

  for (const Fold& fold : folds) {
    if (fold.val.empty()) continue;
    val_codes_into(column, fold, n_bins, codes);
    const size_t n_val = fold.val.size();
    yv.resize(n_val);
    for (size_t i = 0; i < n_val; ++i) yv[i] = targets[fold.val[i]];
    const double parent = criterion.impurity(yv);
    const double dn_val = static_cast<double>(n_val);

    for (size_t si = 0; si < states.size(); ++si) {
      const StateCode s = states[si];
      left.clear();
      right.clear();
      // Missing values never go left.
      if (ordered) {
        for (size_t i = 0; i < n_val; ++i) {
          const StateCode c = codes[i];
          if (c != MISSING_STATE && c <= s) {
            left.push_back(yv[i]);
          } else {
            right.push_back(yv[i]);
          }
        }
      } else {
        for (size_t i = 0; i < n_val; ++i) {
          const StateCode c = codes[i];
          if (c != MISSING_STATE && c == s) {
            left.push_back(yv[i]);
          } else {
            right.push_back(yv[i]);
          }
        }
      }
      if (left.empty() || right.empty()) continue;
      const double n_left = static_cast<double>(left.size());
      const double n_right = static_cast<double>(right.size());
      const double i_left = criterion.impurity(left);
      const double i_right = criterion.impurity(right);
      lists[si].push_back(parent - (i_left * n_left + i_right * n_right) / dn_val);
    }
  }

  std::vector<FoldStats> out;
  out.reserve(states.size());
  for (auto& list : lists) out.push_back(FoldStats::from_scores(std::move(list), folds.size()));
  return out;
}

template std::vector<FoldStats> cv_score_states<double>(const Column&, bool,
                                                        std::span<const StateCode>,
                                                        std::span<const Fold>,
                                                        std::span<const double>,
                                                        const Criterion<double>&, uint64_t);
template std::vector<FoldStats> cv_score_states<ClassLabel>(const Column&, bool,
                                                            std::span<const StateCode>,
                                                            std::span<const Fold>,
                                                            std::span<const ClassLabel>,
                                                            const Criterion<ClassLabel>&,
                                                            uint64_t);

}  // namespace ornik
