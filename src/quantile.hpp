// Quantile cut points of a numeric column and the bin code of a value against them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace ornik {

// Position of edge k (1-based) among n sorted values: floor(k * n / n_bins), clamped to n - 1.
// Computed exactly (a 128-bit product), since k * n overflows 64 bits for a huge n_bins.
inline uint64_t quantile_rank(uint64_t k, uint64_t n, uint64_t n_bins) {
  __extension__ typedef unsigned __int128 u128;
  const u128 idx = static_cast<u128>(k) * n / n_bins;
  return idx >= n ? n - 1 : static_cast<uint64_t>(idx);
}

// The n_bins - 1 cut points at the empirical quantiles of the finite values (edge k, k = 1 ..
// n_bins - 1, is sorted[min(floor(k*n/n_bins), n-1)]), or none when n_bins < 2 or no value is
// finite. Equal edges are kept.
std::vector<double> quantile_edges(std::span<const double> values, uint64_t n_bins);

// The same edge list, held as the sorted finite values plus n_bins so that its memory never
// grows with n_bins; edges and codes are computed on demand and equal the literal list's.
class QuantileEdges {
 public:
  QuantileEdges(std::span<const double> values, uint64_t n_bins);

  // Number of edges: 0 or n_bins - 1.
  uint64_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // Edge i, 0-based (the literal list's element i).
  double operator[](uint64_t i) const;
  // Number of edges <= x, for a finite x.
  uint64_t code(double x) const;

 private:
  std::vector<double> sorted_;  // finite values, ascending in total order
  std::vector<double> edges_;   // materialised when no longer than the value list
  uint64_t n_bins_ = 0;
  uint64_t count_ = 0;
};

// Number of edges <= x (the upper-bound position) in a non-decreasing edge list.
// Branch-free: a short list is counted outright; a longer one is bisected with the step masked
// in rather than branched on, since which way a value goes is unpredictable.
inline uint64_t bin_code(std::span<const double> edges, double x) {
  const size_t n = edges.size();
  const double* e = edges.data();
  if (n <= 16) {
    uint64_t count = 0;
    for (size_t i = 0; i < n; ++i) count += e[i] <= x ? 1 : 0;
    return count;
  }
  size_t lo = 0, len = n;
  while (len > 1) {
    const size_t half = len / 2;
    lo += half & (size_t{0} - static_cast<size_t>(e[lo + half - 1] <= x));
    len -= half;
  }
  return lo + (e[lo] <= x ? 1 : 0);
}

// Bin codes of many values against one edge list. A table over the top 16 bits of each value's
// total-order key narrows the search to the few edges that share those bits.
class BinCoder {
 public:
  explicit BinCoder(std::span<const double> edges);
  // Number of edges <= x, for a finite x; equals bin_code(edges, x).
  uint64_t code(double x) const;

 private:
  static uint64_t ordered_bits(double x);
  std::vector<uint64_t> keys_;   // edges as unsigned total-order keys, ascending
  std::vector<uint32_t> first_;  // first_[p]: edges whose key is below p << 48
};

}  // namespace ornik
