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
    const StridedValues numbers = column.values();
    std::vector<double> values(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) values[i] = numbers[rows[i]];
    const QuantileEdges edges(values, n_bins);
    for (const double x : values) {
      if (std::isfinite(x)) states.push_back(edges.code(x));
    }
  }
  std::sort(states.begin(), states.end());
  states.erase(std::unique(states.begin(), states.end()), states.end());
  return states;
}

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
  const StridedValues numbers = column.values();
  std::vector<SortEntry> entries;
  entries.reserve(column.size());
  for (size_t r = 0; r < column.size(); ++r) {
    const double v = numbers[r];
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
  SortedFeature out{numbers, std::vector<uint32_t>(entries.size())};
  for (size_t i = 0; i < entries.size(); ++i) out.rows[i] = entries[i].row;
  return out;
}

void split_sorted(const SortedFeature& parent, std::span<const uint8_t> goes_left, size_t left_rows,
                  size_t right_rows, SortedFeature& left, SortedFeature& right) {
  // Each side holds at most its node's rows: sized to that (plus one spare slot) up front, it
  // never regrows as it fills, and is cut to its length at the end.
  const size_t n = parent.rows.size();
  left.column = parent.column;
  right.column = parent.column;
  left.rows.resize(std::min(n, left_rows) + 1);
  right.rows.resize(std::min(n, right_rows) + 1);
  size_t nl = 0, nr = 0;
  for (size_t i = 0; i < n; ++i) {
    // Both sides take the row and only its own side moves on: no branch on a coin flip. The
    // other side's write lands on its next free slot, at worst the spare one.
    const uint32_t row = parent.rows[i];
    const size_t to_left = goes_left[row];
    left.rows[nl] = row;
    right.rows[nr] = row;
    nl += to_left;
    nr += 1 - to_left;
  }
  left.rows.resize(nl);
  right.rows.resize(nr);
}

double sorted_edge(const SortedFeature& sorted, uint64_t n_bins, uint64_t i) {
  return sorted.value(quantile_rank(i + 1, sorted.size(), n_bins));
}

}  // namespace ornik
