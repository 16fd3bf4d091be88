#include <algorithm>
#include <cmath>

#include "objective.hpp"
#include "quantile.hpp"

namespace ornik {
namespace {

// Codes of the listed rows: raw labels of a categorical column, or bins against the given edges
// for a numeric one; MISSING_STATE for a missing label or a non-finite value.
void codes_into(const Column& column, std::span<const size_t> rows, const QuantileEdges& edges,
                std::vector<StateCode>& out) {
  out.resize(rows.size());
  if (column.categorical) {
    for (size_t i = 0; i < rows.size(); ++i) {
      const uint32_t label = column.labels[rows[i]];
      out[i] = label == MISSING_CATEGORY ? MISSING_STATE : label;
    }
    return;
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    const double x = column.numbers[rows[i]];
    out[i] = std::isfinite(x) ? edges.code(x) : MISSING_STATE;
  }
}

// Per bucket (n_buckets of them) and class slot (n_classes + 1, the last for labels beyond the
// classes) the number of rows; labels[i] and buckets[i] belong to the same row.
void count_buckets(std::span<const ClassLabel> labels, std::span<const uint32_t> buckets,
                   size_t n_classes, std::vector<uint64_t>& counts, size_t n_buckets) {
  const size_t slots = n_classes + 1;
  counts.assign(n_buckets * slots, 0);
  for (size_t i = 0; i < labels.size(); ++i) {
    const ClassLabel y = labels[i];
    ++counts[buckets[i] * slots + (y < n_classes ? static_cast<size_t>(y) : n_classes)];
  }
}

uint64_t sum_classes(const uint64_t* counts, size_t n_classes) {
  uint64_t s = 0;
  for (size_t c = 0; c < n_classes; ++c) s += counts[c];
  return s;
}

}  // namespace

std::vector<FoldStats> score_coded_states_objective(
    bool ordered, std::span<const StateCode> states, std::span<const Fold> folds,
    std::span<const std::vector<StateCode>> train_codes,
    std::span<const std::vector<StateCode>> val_codes,
    std::span<const std::vector<ClassLabel>> train_labels,
    std::span<const std::vector<ClassLabel>> val_labels, size_t n_classes,
    const ClassObjective& objective) {
  const size_t n_states = states.size();
  std::vector<std::vector<double>> lists(n_states);
  for (auto& list : lists) list.reserve(folds.size());

  // Class counts per bucket: a state's left side is its bucket (unordered) or every bucket up
  // to its own (ordered); the last bucket never goes left.
  const size_t slots = n_classes + 1;
  const size_t n_buckets = n_states + 1;
  std::vector<uint64_t> train_counts, val_counts;
  std::vector<uint64_t> t(slots), v(slots), tl(slots), vl(slots), tr(slots), vr(slots);
  std::vector<uint32_t> train_buckets, val_buckets;
  Confusion confusion = Confusion::zero(n_classes);
  const auto classes = [n_classes](const std::vector<uint64_t>& counts) {
    return std::span<const uint64_t>(counts.data(), n_classes);
  };
  const auto total = [&](const std::vector<uint64_t>& per_bucket, std::vector<uint64_t>& out) {
    std::fill(out.begin(), out.end(), 0);
    for (size_t b = 0; b < n_buckets; ++b) {
      for (size_t c = 0; c < slots; ++c) out[c] += per_bucket[b * slots + c];
    }
  };

  for (size_t f = 0; f < folds.size(); ++f) {
    const Fold& fold = folds[f];
    if (fold.train.empty() || fold.val.empty()) continue;
    bucket_codes(train_codes[f], states, ordered, train_buckets);
    bucket_codes(val_codes[f], states, ordered, val_buckets);
    count_buckets(train_labels[f], train_buckets, n_classes, train_counts, n_buckets);
    count_buckets(val_labels[f], val_buckets, n_classes, val_counts, n_buckets);
    total(train_counts, t);
    total(val_counts, v);

    // Baseline: every validation sample predicted as the training majority.
    confusion.add_group(majority_class(classes(t)), classes(v));
    const double base = objective.score(confusion);
    confusion.clear();

    std::fill(tl.begin(), tl.end(), 0);
    std::fill(vl.begin(), vl.end(), 0);
    for (size_t si = 0; si < n_states; ++si) {
      const uint64_t* tb = train_counts.data() + si * slots;
      const uint64_t* vb = val_counts.data() + si * slots;
      for (size_t c = 0; c < n_classes; ++c) {
        tl[c] = ordered ? tl[c] + tb[c] : tb[c];
        vl[c] = ordered ? vl[c] + vb[c] : vb[c];
        tr[c] = t[c] - tl[c];
        vr[c] = v[c] - vl[c];
      }
      if (sum_classes(vl.data(), n_classes) == 0 || sum_classes(vr.data(), n_classes) == 0 ||
          sum_classes(tl.data(), n_classes) == 0 || sum_classes(tr.data(), n_classes) == 0) {
        continue;
      }
      confusion.add_group(majority_class(classes(tl)), classes(vl));
      confusion.add_group(majority_class(classes(tr)), classes(vr));
      lists[si].push_back(objective.score(confusion) - base);
      confusion.clear();
    }
  }

  std::vector<FoldStats> out;
  out.reserve(n_states);
  for (auto& list : lists) out.push_back(FoldStats::from_scores(std::move(list), folds.size()));
  return out;
}

std::vector<FoldStats> cv_score_states_objective(const Column& column, bool ordered,
                                                 std::span<const StateCode> states,
                                                 std::span<const Fold> folds,
                                                 std::span<const ClassLabel> targets,
                                                 size_t n_classes, uint64_t n_bins,
                                                 const ClassObjective& objective) {
  std::vector<std::vector<StateCode>> train_codes(folds.size()), val_codes(folds.size());
  std::vector<double> train_values;
  for (size_t f = 0; f < folds.size(); ++f) {
    const Fold& fold = folds[f];
    if (fold.train.empty() || fold.val.empty()) continue;
    // Both lists are coded against the training part's cut points.
    if (!column.categorical) {
      train_values.resize(fold.train.size());
      for (size_t i = 0; i < fold.train.size(); ++i) {
        train_values[i] = column.numbers[fold.train[i]];
      }
    }
    const QuantileEdges edges(train_values, column.categorical ? 0 : n_bins);
    codes_into(column, fold.train, edges, train_codes[f]);
    codes_into(column, fold.val, edges, val_codes[f]);
  }
  return score_coded_states_objective(
      ordered, states, folds, train_codes, val_codes, gather_fold_targets(folds, targets, true),
      gather_fold_targets(folds, targets, false), n_classes, objective);
}

}  // namespace ornik
