#include "cross_validation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "quantile.hpp"

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

void bucket_codes(std::span<const StateCode> codes, std::span<const StateCode> states, bool ordered,
                  std::vector<uint32_t>& out) {
  const uint32_t none = static_cast<uint32_t>(states.size());
  out.resize(codes.size());
  // Numeric states are small bin numbers: a direct table beats a search per code.
  const StateCode top = states.empty() ? 0 : states.back();
  if (top < 65536 && top < 4 * codes.size() + 64) {
    std::vector<uint32_t> table(top + 2, none);
    size_t i = 0;
    for (StateCode c = 0; c <= top; ++c) {
      while (states[i] < c) ++i;
      table[c] = (ordered || states[i] == c) ? static_cast<uint32_t>(i) : none;
    }
    for (size_t t = 0; t < codes.size(); ++t) out[t] = codes[t] <= top ? table[codes[t]] : none;
    return;
  }
  for (size_t t = 0; t < codes.size(); ++t) {
    const StateCode c = codes[t];
    const auto it = std::lower_bound(states.begin(), states.end(), c);
    const bool hit = c != MISSING_STATE && it != states.end() && (ordered || *it == c);
    out[t] = hit ? static_cast<uint32_t>(it - states.begin()) : none;
  }
}

namespace {

struct GroupScratch {
  std::vector<uint32_t> buckets;
};

// Appends the fold's score of every state, materialising each state's two groups: the literal
// procedure, for criteria without a faster exact form (the median-based one).
template <class Target>
void score_fold_by_groups(bool ordered, size_t n_states, std::span<const uint32_t> buckets,
                          std::span<const Target> yv, const Criterion<Target>& criterion,
                          std::vector<std::vector<double>>& lists) {
  const size_t n_val = yv.size();
  const double parent = criterion.impurity(yv);
  const double dn_val = static_cast<double>(n_val);
  std::vector<Target> left, right;
  left.reserve(n_val);
  right.reserve(n_val);
  for (size_t si = 0; si < n_states; ++si) {
    left.clear();
    right.clear();
    for (size_t i = 0; i < n_val; ++i) {
      const bool goes_left = ordered ? buckets[i] <= si : buckets[i] == si;
      (goes_left ? left : right).push_back(yv[i]);
    }
    if (left.empty() || right.empty()) continue;
    const double n_left = static_cast<double>(left.size());
    const double n_right = static_cast<double>(right.size());
    const double i_left = criterion.impurity(left);
    const double i_right = criterion.impurity(right);
    lists[si].push_back(parent - (i_left * n_left + i_right * n_right) / dn_val);
  }
}

// Variance criteria: every state's side sums in one pass. Each side's sum runs over the whole
// fold in order, adding +0.0 for the samples on the other side; a running sum that starts at
// +0.0 is never -0.0, so those additions change nothing and the sums equal the group sums.
void score_fold_variance(bool ordered, size_t n_states, std::span<const uint32_t> buckets,
                         std::span<const double> yv, std::vector<double>& acc,
                         std::vector<uint64_t>& n_left, std::vector<std::vector<double>>& lists) {
  const size_t k = n_states;
  acc.assign(4 * k, 0.0);
  n_left.assign(k, 0);
  double* ls = acc.data();
  double* lq = ls + k;
  double* rs = lq + k;
  double* rq = rs + k;
  double ps = 0.0, pq = 0.0;
  for (size_t t = 0; t < yv.size(); ++t) {
    const double y = yv[t];
    const double y2 = y * y;
    const size_t b = buckets[t];
    ps += y;
    pq += y2;
    if (ordered) {
      for (size_t i = 0; i < k; ++i) {
        const bool left = b <= i;
        ls[i] += left ? y : 0.0;
        lq[i] += left ? y2 : 0.0;
        rs[i] += left ? 0.0 : y;
        rq[i] += left ? 0.0 : y2;
      }
    } else {
      for (size_t i = 0; i < k; ++i) {
        const bool left = b == i;
        ls[i] += left ? y : 0.0;
        lq[i] += left ? y2 : 0.0;
        rs[i] += left ? 0.0 : y;
        rq[i] += left ? 0.0 : y2;
      }
    }
    if (b < k) {
      if (ordered) {
        for (size_t i = b; i < k; ++i) ++n_left[i];
      } else {
        ++n_left[b];
      }
    }
  }
  const uint64_t n = yv.size();
  const double dn = static_cast<double>(n);
  const double parent = variance_from_sums(ps, pq, dn);
  for (size_t i = 0; i < k; ++i) {
    const uint64_t nl = n_left[i];
    if (nl == 0 || nl == n) continue;
    const double n_l = static_cast<double>(nl);
    const double n_r = static_cast<double>(n - nl);
    const double i_left = variance_from_sums(ls[i], lq[i], n_l);
    const double i_right = variance_from_sums(rs[i], rq[i], n_r);
    lists[i].push_back(parent - (i_left * n_l + i_right * n_r) / dn);
  }
}

// Gini and entropy depend on class counts only: count once per bucket, then sum buckets.
template <class ClassCrit>
void score_fold_classes(bool ordered, size_t n_states, std::span<const uint32_t> buckets,
                        std::span<const ClassLabel> yv, const ClassCrit& criterion,
                        size_t n_classes, std::vector<uint64_t>& counts,
                        std::vector<std::vector<double>>& lists) {
  // Per bucket (n_states + 1 of them) the class counts plus a last slot for labels beyond
  // the classes, which count in a side's size but in no class.
  const size_t slots = n_classes + 1;
  const size_t n_buckets = n_states + 1;
  counts.assign((n_buckets + 3) * slots, 0);
  uint64_t* per_bucket = counts.data();
  uint64_t* total = per_bucket + n_buckets * slots;
  uint64_t* left = total + slots;
  uint64_t* right = left + slots;
  for (size_t t = 0; t < yv.size(); ++t) {
    const ClassLabel y = yv[t];
    const size_t slot = y < n_classes ? static_cast<size_t>(y) : n_classes;
    ++per_bucket[buckets[t] * slots + slot];
  }
  for (size_t b = 0; b < n_buckets; ++b) {
    for (size_t c = 0; c < slots; ++c) total[c] += per_bucket[b * slots + c];
  }
  const uint64_t n = yv.size();
  const double dn = static_cast<double>(n);
  const auto classes = [n_classes](const uint64_t* c) {
    return std::span<const uint64_t>(c, n_classes);
  };
  const double parent = criterion.from_counts(classes(total), n);
  std::fill(left, left + slots, 0);
  for (size_t i = 0; i < n_states; ++i) {
    const uint64_t* bucket = per_bucket + i * slots;
    if (ordered) {
      for (size_t c = 0; c < slots; ++c) left[c] += bucket[c];
    } else {
      std::copy(bucket, bucket + slots, left);
    }
    uint64_t nl = 0;
    for (size_t c = 0; c < slots; ++c) {
      nl += left[c];
      right[c] = total[c] - left[c];
    }
    if (nl == 0 || nl == n) continue;
    const double n_l = static_cast<double>(nl);
    const double n_r = static_cast<double>(n - nl);
    const double i_left = criterion.from_counts(classes(left), nl);
    const double i_right = criterion.from_counts(classes(right), n - nl);
    lists[i].push_back(parent - (i_left * n_l + i_right * n_r) / dn);
  }
}

}  // namespace

template <class Target>
std::vector<FoldStats> score_coded_states(bool ordered, std::span<const StateCode> states,
                                          std::span<const Fold> folds,
                                          std::span<const std::vector<StateCode>> val_codes,
                                          std::span<const std::vector<Target>> val_targets,
                                          const Criterion<Target>& criterion) {
  const size_t n_states = states.size();
  std::vector<std::vector<double>> lists(n_states);
  for (auto& list : lists) list.reserve(folds.size());

  bool variance = false;
  const Gini* gini = nullptr;
  const Entropy* entropy = nullptr;
  if constexpr (std::is_same_v<Target, double>) {
    variance = dynamic_cast<const Mse*>(&criterion) || dynamic_cast<const Variance*>(&criterion);
  } else {
    gini = dynamic_cast<const Gini*>(&criterion);
    entropy = dynamic_cast<const Entropy*>(&criterion);
  }

  std::vector<uint32_t> buckets;
  std::vector<double> acc;
  std::vector<uint64_t> counts;
  for (size_t f = 0; f < folds.size(); ++f) {
    const Fold& fold = folds[f];
    if (fold.val.empty()) continue;
    bucket_codes(val_codes[f], states, ordered, buckets);
    const std::span<const Target> yv = val_targets[f];
    if constexpr (std::is_same_v<Target, double>) {
      if (variance) {
        score_fold_variance(ordered, n_states, buckets, yv, acc, counts, lists);
        continue;
      }
    } else {
      if (gini) {
        score_fold_classes(ordered, n_states, buckets, yv, *gini, gini->n_classes(), counts, lists);
        continue;
      }
      if (entropy) {
        score_fold_classes(ordered, n_states, buckets, yv, *entropy, entropy->n_classes(), counts,
                           lists);
        continue;
      }
    }
    score_fold_by_groups<Target>(ordered, n_states, buckets, yv, criterion, lists);
  }

  std::vector<FoldStats> out;
  out.reserve(n_states);
  for (auto& list : lists) out.push_back(FoldStats::from_scores(std::move(list), folds.size()));
  return out;
}

template <class Target>
std::vector<FoldStats> cv_score_states(const Column& column, bool ordered,
                                       std::span<const StateCode> states,
                                       std::span<const Fold> folds, std::span<const Target> targets,
                                       const Criterion<Target>& criterion, uint64_t n_bins) {
  std::vector<std::vector<StateCode>> codes(folds.size());
  for (size_t f = 0; f < folds.size(); ++f) {
    if (!folds[f].val.empty()) val_codes_into(column, folds[f], n_bins, codes[f]);
  }
  const std::vector<std::vector<Target>> val_targets =
      gather_fold_targets<Target>(folds, targets, false);
  return score_coded_states<Target>(ordered, states, folds, codes, val_targets, criterion);
}

#define ORNIK_INSTANTIATE_SCORING(T)                                                              \
  template std::vector<FoldStats> score_coded_states<T>(                                          \
      bool, std::span<const StateCode>, std::span<const Fold>,                                    \
      std::span<const std::vector<StateCode>>, std::span<const std::vector<T>>,                   \
      const Criterion<T>&);                                                                       \
  template std::vector<FoldStats> cv_score_states<T>(                                             \
      const Column&, bool, std::span<const StateCode>, std::span<const Fold>, std::span<const T>, \
      const Criterion<T>&, uint64_t);

ORNIK_INSTANTIATE_SCORING(double)
ORNIK_INSTANTIATE_SCORING(ClassLabel)

}  // namespace ornik
