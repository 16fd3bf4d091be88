#include "fold_coding.hpp"

#include <algorithm>
#include <cmath>

#include "quantile.hpp"

namespace ornik {
namespace {

// Codes of the listed rows against edges learned elsewhere: raw labels of a categorical column
// (MISSING_STATE for a missing one), bins of a numeric one (MISSING_STATE when not finite).
void code_rows(const Column& column, std::span<const size_t> rows, const QuantileEdges& edges,
               std::vector<StateCode>& out) {
  out.resize(rows.size());
  if (column.categorical) {
    for (size_t i = 0; i < rows.size(); ++i) {
      const uint32_t label = column.labels[rows[i]];
      out[i] = label == MISSING_CATEGORY ? MISSING_STATE : label;
    }
    return;
  }
  const StridedValues numbers = column.values();
  for (size_t i = 0; i < rows.size(); ++i) {
    const double x = numbers[rows[i]];
    out[i] = std::isfinite(x) ? edges.code(x) : MISSING_STATE;
  }
}

}  // namespace

CodedFeature code_fold_rows(const Column& column, std::span<const Fold> folds, uint64_t n_bins,
                            bool with_train_codes) {
  CodedFeature out;
  out.val_codes.resize(folds.size());
  out.train_codes.resize(with_train_codes ? folds.size() : 0);
  const StridedValues numbers = column.values();
  std::vector<double> train_values;
  for (size_t f = 0; f < folds.size(); ++f) {
    const Fold& fold = folds[f];
    // Cut points learned from the training part only; categories need none.
    if (!column.categorical) {
      train_values.resize(fold.train.size());
      for (size_t i = 0; i < fold.train.size(); ++i) {
        train_values[i] = numbers[fold.train[i]];
      }
    }
    const QuantileEdges edges(train_values, column.categorical ? 0 : n_bins);
    code_rows(column, fold.val, edges, out.val_codes[f]);
    if (with_train_codes) code_rows(column, fold.train, edges, out.train_codes[f]);
  }
  return out;
}

void code_sorted_feature(const SortedFeature& sorted, std::span<const Fold> folds,
                         std::span<const uint64_t> slot_of_row, uint64_t n_bins,
                         bool with_train_codes, CodedFeature& out) {
  const size_t m = sorted.size();
  // Values are read through rows scattered over the column, so only those the edges need are
  // read. Along the sorted values a code passes an edge at the first position whose value is not
  // below the edge; comparing positions with those places stands in for comparing values.
  const auto first_not_below = [&sorted](size_t at) {
    const double edge = sorted.value(at);
    if (at == 0 || sorted.value(at - 1) < edge) return at;  // an edge usually starts its run
    size_t lo = 0, hi = at - 1;
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (sorted.value(mid) < edge) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  };
  const uint64_t n_edges = (n_bins >= 2 && m > 0) ? n_bins - 1 : 0;

  // Node-local edges and the states present: a code is the number of edges passed.
  std::vector<size_t> passed_at(n_edges);
  for (uint64_t e = 0; e < n_edges; ++e)
    passed_at[e] = first_not_below(quantile_rank(e + 1, m, n_bins));
  out.states.clear();
  if (m > 0) {
    size_t e = 0;
    while (e < n_edges && passed_at[e] == 0) ++e;
    out.states.push_back(e);
    while (e < n_edges) {
      const size_t at = passed_at[e];
      while (e < n_edges && passed_at[e] <= at) ++e;
      out.states.push_back(e);
    }
  }

  const size_t n_folds = folds.size();
  // Per block of kBlock sorted values, how many of the values before it lie in each fold: the
  // rank of a value among those outside fold f is then found by a search and a short scan.
  constexpr size_t kBlock = 64;
  const size_t n_blocks = (m + kBlock - 1) / kBlock;
  std::vector<uint64_t> slots(m);
  std::vector<uint32_t> seen_before(std::max<size_t>(n_blocks, 1) * n_folds, 0);
  std::vector<size_t> in_fold(n_folds, 0);
  for (size_t i = 0; i < m; ++i) {
    if (i % kBlock == 0) {
      for (size_t f = 0; f < n_folds; ++f) seen_before[(i / kBlock) * n_folds + f] = in_fold[f];
    }
    slots[i] = slot_of_row[sorted.rows[i]];
    ++in_fold[slots[i] >> 32];
  }
  // A fold's training list is the permuted node list without the fold's block: the blocks
  // before it, then the blocks after it.
  std::vector<size_t> block_start(n_folds + 1, 0);
  for (size_t f = 0; f < n_folds; ++f) block_start[f + 1] = block_start[f] + folds[f].val.size();

  // Each fold's training edges are the same quantile ranks among the sorted values outside it.
  const uint64_t edges_per_fold = n_bins >= 2 ? n_bins - 1 : 0;
  std::vector<uint64_t> n_fold_edges(n_folds);
  std::vector<size_t> fold_passed_at(n_folds * edges_per_fold);
  for (size_t f = 0; f < n_folds; ++f) {
    const uint64_t m_train = m - in_fold[f];
    n_fold_edges[f] = m_train > 0 ? edges_per_fold : 0;
    // Values outside fold f before block b: b * kBlock - seen_before[b][f], non-decreasing in b.
    auto outside_before = [&](size_t b) { return b * kBlock - seen_before[b * n_folds + f]; };
    for (uint64_t e = 0; e < n_fold_edges[f]; ++e) {
      const uint64_t rank = quantile_rank(e + 1, m_train, n_bins);
      size_t lo = 0, hi = n_blocks;  // the last block starting at or before the rank
      while (hi - lo > 1) {
        const size_t mid = (lo + hi) / 2;
        (outside_before(mid) <= rank ? lo : hi) = mid;
      }
      uint64_t seen = outside_before(lo);
      size_t i = lo * kBlock;
      for (;; ++i) {
        if ((slots[i] >> 32) == f) continue;
        if (seen == rank) break;
        ++seen;
      }
      fold_passed_at[f * edges_per_fold + e] = first_not_below(i);
    }
  }

  // Codes rise along the sorted values too, so each fold keeps a running code and a value lands
  // at its row's place in the fold's lists. Rows without a finite value are not in the sorted
  // list and stay missing.
  out.val_codes.resize(n_folds);
  out.train_codes.resize(with_train_codes ? n_folds : 0);
  for (size_t f = 0; f < n_folds; ++f) {
    out.val_codes[f].assign(folds[f].val.size(), MISSING_STATE);
    if (with_train_codes) out.train_codes[f].assign(folds[f].train.size(), MISSING_STATE);
  }
  std::vector<uint64_t> code(n_folds, 0);
  auto advance = [&](size_t f, size_t i) {
    const size_t* at = fold_passed_at.data() + f * edges_per_fold;
    uint64_t c = code[f];
    while (c < n_fold_edges[f] && at[c] <= i) ++c;
    code[f] = c;
    return c;
  };
  for (size_t i = 0; i < m; ++i) {
    const size_t g = slots[i] >> 32;
    const size_t pos = slots[i] & 0xFFFFFFFFu;
    out.val_codes[g][pos] = advance(g, i);
    if (!with_train_codes) continue;
    for (size_t f = 0; f < n_folds; ++f) {
      if (f == g) continue;
      const size_t train_pos = block_start[g] + pos - (g > f ? folds[f].val.size() : 0);
      out.train_codes[f][train_pos] = advance(f, i);
    }
  }
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

}  // namespace ornik
