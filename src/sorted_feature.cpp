#include "sorted_feature.hpp"

#include <algorithm>
#include <cmath>

#include "data.hpp"
#include "quantile.hpp"

namespace ornik {

std::vector<StateCode> present_states(const Column& column, std::span<const size_t> rows,
                                      uint64_t n_bins) {
  std::vector<StateCode> states;
  states.reserve(rows.size());
  if (column.categorical) {
    for (const size_t r : rows) {
      const uint32_t label = column.labels[r];
      if (label != MISSING_CATEGORY) states.push_back(label);
    }
  } else {
    // Bins come from the node's own samples, not from the whole training set.
    std::vector<double> values(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) values[i] = column.numbers[rows[i]];
    const QuantileEdges edges(values, n_bins);
    for (const double x : values) {
      if (std::isfinite(x)) states.push_back(edges.code(x));
    }
  }
  std::sort(states.begin(), states.end());
  states.erase(std::unique(states.begin(), states.end()), states.end());
  return states;
}

}  // namespace ornik

namespace ornik {
namespace {}  // namespace

namespace {

struct SortEntry {
  uint64_t key;  // total order of the value, as an unsigned number
  uint32_t row;
};

// Stable least-significant-digit radix sort by key, 16 bits a pass; a pass whose digit is the
// same for every entry is skipped.
void radix_sort(std::vector<SortEntry>& entries) {
  constexpr size_t kDigits = size_t{1} << 16;
  std::vector<SortEntry> buffer(entries.size());
  std::vector<size_t> count(kDigits);
  for (int shift = 0; shift < 64; shift += 16) {
    std::fill(count.begin(), count.end(), 0);
    for (const SortEntry& e : entries) ++count[(e.key >> shift) & 0xFFFF];
    if (count[(entries[0].key >> shift) & 0xFFFF] == entries.size()) continue;
    size_t sum = 0;
    for (size_t& c : count) {
      const size_t here = c;
      c = sum;
      sum += here;
    }
    for (const SortEntry& e : entries) buffer[count[(e.key >> shift) & 0xFFFF]++] = e;
    entries.swap(buffer);
  }
}

}  // namespace

SortedFeature sort_feature(const Column& column) {
  std::vector<SortEntry> entries;
  entries.reserve(column.numbers.size());
  for (size_t r = 0; r < column.numbers.size(); ++r) {
    const double v = column.numbers[r];
    if (std::isfinite(v)) {
      const uint64_t key = static_cast<uint64_t>(total_order_key(v)) ^ (uint64_t{1} << 63);
      entries.push_back({key, static_cast<uint32_t>(r)});
    }
  }
  // Entries start in row order, so a stable sort leaves equal values in row order.
  if (entries.size() >= (size_t{1} << 16)) {
    radix_sort(entries);
  } else {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const SortEntry& a, const SortEntry& b) { return a.key < b.key; });
  }
  SortedFeature out;
  out.values.resize(entries.size());
  out.rows.resize(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    out.values[i] =
        from_total_order_key(static_cast<int64_t>(entries[i].key ^ (uint64_t{1} << 63)));
    out.rows[i] = entries[i].row;
  }
  return out;
}

void split_sorted(const SortedFeature& parent, std::span<const uint8_t> goes_left, size_t left_rows,
                  size_t right_rows, SortedFeature& left, SortedFeature& right) {
  // Each side holds at most its node's rows: reserving that avoids regrowing as it fills.
  const size_t n = parent.rows.size();
  left.values.resize(std::min(n, left_rows));
  left.rows.resize(left.values.size());
  right.values.resize(std::min(n, right_rows));
  right.rows.resize(right.values.size());
  size_t nl = 0, nr = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t row = parent.rows[i];
    if (goes_left[row]) {
      left.values[nl] = parent.values[i];
      left.rows[nl++] = row;
    } else {
      right.values[nr] = parent.values[i];
      right.rows[nr++] = row;
    }
  }
  left.values.resize(nl);
  left.rows.resize(nl);
  right.values.resize(nr);
  right.rows.resize(nr);
}

double sorted_edge(const SortedFeature& sorted, uint64_t n_bins, uint64_t k) {
  return sorted.values[quantile_rank(k + 1, sorted.values.size(), n_bins)];
}

void code_sorted_feature(const SortedFeature& sorted, std::span<const Fold> folds,
                         std::span<const uint64_t> slot_of_row, uint64_t n_bins,
                         bool with_train_codes, CodedFeature& out) {
  const std::span<const double> values = sorted.values;
  const size_t m = values.size();
  const uint64_t n_edges = (n_bins >= 2 && m > 0) ? n_bins - 1 : 0;

  // Node-local edges and the states present: codes rise along the sorted values.
  std::vector<double> edges(n_edges);
  for (uint64_t k = 0; k < n_edges; ++k) edges[k] = values[quantile_rank(k + 1, m, n_bins)];
  out.states.clear();
  size_t e = 0;
  for (size_t i = 0; i < m; ++i) {
    while (e < n_edges && edges[e] <= values[i]) ++e;
    if (out.states.empty() || out.states.back() != e) out.states.push_back(e);
  }

  const size_t k = folds.size();
  // Per block of kBlock sorted values, how many of the values before it lie in each fold: the
  // rank of a value among those outside fold f is then found by a search and a short scan.
  constexpr size_t kBlock = 64;
  const size_t n_blocks = (m + kBlock - 1) / kBlock;
  std::vector<uint64_t> slots(m);
  std::vector<uint32_t> seen_before(std::max<size_t>(n_blocks, 1) * k, 0);
  std::vector<size_t> in_fold(k, 0);
  for (size_t i = 0; i < m; ++i) {
    if (i % kBlock == 0) {
      for (size_t f = 0; f < k; ++f) seen_before[(i / kBlock) * k + f] = in_fold[f];
    }
    slots[i] = slot_of_row[sorted.rows[i]];
    ++in_fold[slots[i] >> 32];
  }
  // A fold's training list is the permuted node list without the fold's block: the blocks
  // before it, then the blocks after it.
  std::vector<size_t> block_start(k + 1, 0);
  for (size_t f = 0; f < k; ++f) block_start[f + 1] = block_start[f] + folds[f].val.size();

  // Each fold's training edges are the same quantile ranks among the sorted values outside it.
  const uint64_t edges_per_fold = n_bins >= 2 ? n_bins - 1 : 0;
  std::vector<uint64_t> n_fold_edges(k);
  std::vector<double> fold_edges(k * edges_per_fold);
  for (size_t f = 0; f < k; ++f) {
    const uint64_t m_train = m - in_fold[f];
    n_fold_edges[f] = m_train > 0 ? edges_per_fold : 0;
    // Values outside fold f before block b: b * kBlock - seen_before[b][f], non-decreasing in b.
    auto outside_before = [&](size_t b) { return b * kBlock - seen_before[b * k + f]; };
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
      fold_edges[f * edges_per_fold + e] = values[i];
    }
  }

  // Codes rise along the sorted values too, so each fold keeps a running code and a value lands
  // at its row's place in the fold's lists. Rows without a finite value are not in the sorted
  // list and stay missing.
  out.val_codes.resize(k);
  out.train_codes.resize(with_train_codes ? k : 0);
  for (size_t f = 0; f < k; ++f) {
    out.val_codes[f].assign(folds[f].val.size(), MISSING_STATE);
    if (with_train_codes) out.train_codes[f].assign(folds[f].train.size(), MISSING_STATE);
  }
  std::vector<uint64_t> code(k, 0);
  auto advance = [&](size_t f, double x) {
    const double* fe = fold_edges.data() + f * edges_per_fold;
    uint64_t c = code[f];
    while (c < n_fold_edges[f] && fe[c] <= x) ++c;
    code[f] = c;
    return c;
  };
  for (size_t i = 0; i < m; ++i) {
    const double x = values[i];
    const size_t g = slots[i] >> 32;
    const size_t pos = slots[i] & 0xFFFFFFFFu;
    out.val_codes[g][pos] = advance(g, x);
    if (!with_train_codes) continue;
    for (size_t f = 0; f < k; ++f) {
      if (f == g) continue;
      const size_t train_pos = block_start[g] + pos - (g > f ? folds[f].val.size() : 0);
      out.train_codes[f][train_pos] = advance(f, x);
    }
  }
}

}  // namespace ornik
