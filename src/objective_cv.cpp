#include <algorithm>
#include <cmath>

#include "encoder.hpp"
#include "objective.hpp"

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

// Class slot of each row: its class index, or n_classes (a discard slot) when out of range.
void class_slots_into(std::span<const size_t> rows, std::span<const ClassLabel> targets,
                      size_t n_classes, std::vector<size_t>& out) {
  out.resize(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const ClassLabel y = targets[rows[i]];
    out[i] = y < n_classes ? static_cast<size_t>(y) : n_classes;
  }
}

void count_all(std::span<const size_t> slots, std::vector<uint64_t>& counts) {
  std::fill(counts.begin(), counts.end(), 0);
  for (const size_t y : slots) ++counts[y];
}

// Counts the rows on the left of state s into counts (n_classes + 1 entries, the last one
// discarded). Missing codes are never on the left.
void count_left(std::span<const StateCode> codes, std::span<const size_t> slots, StateCode s,
                bool ordered, std::vector<uint64_t>& counts) {
  std::fill(counts.begin(), counts.end(), 0);
  if (ordered) {
    for (size_t i = 0; i < codes.size(); ++i) {
      counts[slots[i]] += static_cast<uint64_t>(codes[i] != MISSING_STATE && codes[i] <= s);
    }
  } else {
    for (size_t i = 0; i < codes.size(); ++i) {
      counts[slots[i]] += static_cast<uint64_t>(codes[i] != MISSING_STATE && codes[i] == s);
    }
  }
}

uint64_t sum_classes(const std::vector<uint64_t>& counts, size_t n_classes) {
  uint64_t s = 0;
  for (size_t c = 0; c < n_classes; ++c) s += counts[c];
  return s;
}

void clear(Confusion& confusion) {
  std::fill(confusion.tp.begin(), confusion.tp.end(), 0);
  std::fill(confusion.fp.begin(), confusion.fp.end(), 0);
  std::fill(confusion.fn.begin(), confusion.fn.end(), 0);
  std::fill(confusion.support.begin(), confusion.support.end(), 0);
  confusion.total = 0;
}

}  // namespace

std::vector<FoldStats> cv_score_states_objective(const Column& column, bool ordered,
                                                 std::span<const StateCode> states,
                                                 std::span<const Fold> folds,
                                                 std::span<const ClassLabel> targets,
                                                 size_t n_classes, uint64_t n_bins,
                                                 const ClassObjective& objective) {
  std::vector<std::vector<double>> lists(states.size());
  for (auto& list : lists) list.reserve(folds.size());

  // Per-class counts carry one extra discard slot for class indices >= n_classes.
  const size_t slots = n_classes + 1;
  std::vector<uint64_t> t(slots), v(slots), tl(slots), vl(slots), tr(slots), vr(slots);
  std::vector<StateCode> train_codes, val_codes;
  std::vector<size_t> train_y, val_y;
  std::vector<double> train_values;  // stays empty for a categorical column
  Confusion confusion = Confusion::zero(n_classes);
  const auto classes = [n_classes](const std::vector<uint64_t>& counts) {
    return std::span<const uint64_t>(counts.data(), n_classes);
  };

  for (const Fold& fold : folds) {
    if (fold.train.empty() || fold.val.empty()) continue;
    // Both lists are coded against the training part's cut points.
    if (!column.categorical) {
      train_values.resize(fold.train.size());
      for (size_t i = 0; i < fold.train.size(); ++i) {
        train_values[i] = column.numbers[fold.train[i]];
      }
    }
    const QuantileEdges edges(train_values, column.categorical ? 0 : n_bins);
    codes_into(column, fold.train, edges, train_codes);
    codes_into(column, fold.val, edges, val_codes);
    class_slots_into(fold.train, targets, n_classes, train_y);
    class_slots_into(fold.val, targets, n_classes, val_y);
    count_all(train_y, t);
    count_all(val_y, v);

    // Baseline: every validation sample predicted as the training majority.
    confusion.add_group(majority_class(classes(t)), classes(v));
    const double base = objective.score(confusion);
    clear(confusion);

    for (size_t si = 0; si < states.size(); ++si) {
      const StateCode s = states[si];
      count_left(train_codes, train_y, s, ordered, tl);
      count_left(val_codes, val_y, s, ordered, vl);
      for (size_t c = 0; c < n_classes; ++c) {
        tr[c] = t[c] - tl[c];
        vr[c] = v[c] - vl[c];
      }
      if (sum_classes(vl, n_classes) == 0 || sum_classes(vr, n_classes) == 0 ||
          sum_classes(tl, n_classes) == 0 || sum_classes(tr, n_classes) == 0) {
        continue;
      }
      confusion.add_group(majority_class(classes(tl)), classes(vl));
      confusion.add_group(majority_class(classes(tr)), classes(vr));
      lists[si].push_back(objective.score(confusion) - base);
      clear(confusion);
    }
  }

  std::vector<FoldStats> out;
  out.reserve(states.size());
  for (auto& list : lists) out.push_back(FoldStats::from_scores(std::move(list), folds.size()));
  return out;
}

}  // namespace ornik
