// Quantile cut points of a numeric column and the bin code of a value against them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "data.hpp"

namespace ornik {

// Position of edge k (1-based) among n sorted values: floor(k * n / n_bins), clamped to n - 1.
// Computed exactly (a 128-bit product), since k * n overflows 64 bits for a huge n_bins.
inline uint64_t quantile_rank(uint64_t k, uint64_t n, uint64_t n_bins) {
  __extension__ typedef unsigned __int128 u128;
  const u128 idx = static_cast<u128>(k) * n / n_bins;
  return idx >= n ? n - 1 : static_cast<uint64_t>(idx);
}

// How many of a column's values are finite, and the least and greatest of them as total-order
// keys (meaningful when count > 0).
struct FiniteRange {
  size_t count = 0;
  int64_t least = INT64_MAX, greatest = INT64_MIN;

  static FiniteRange of(std::span<const double> values);
};

// A column's finite values as total-order keys, in input order, and the scratch of a selection
// in buckets. The buffers are kept from one column to the next, so that a worker binning many
// columns allocates once.
struct FiniteKeys {
  std::vector<int64_t> keys;
  FillLaterRowVector<uint16_t> buckets;  // every entry written before it is read

  void assign(std::span<const double> values);
};

// The n_bins - 1 cut points at the empirical quantiles of the finite values (edge k, k = 1 ..
// n_bins - 1, is sorted[min(floor(k*n/n_bins), n-1)]), or none when n_bins < 2 or no value is
// finite. Equal edges are kept.
std::vector<double> quantile_edges(std::span<const double> values, uint64_t n_bins);
// The same, given the values' finite range. A long column is read in place; a short one, or one
// whose values its buckets do not spread, is copied into finite's buffer.
std::vector<double> quantile_edges(std::span<const double> values, const FiniteRange& range,
                                   uint64_t n_bins, FiniteKeys& finite);

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

// Equal-width buckets over a finite range [lo, hi]: the bucket of a value never decreases as the
// value grows (every step rounds monotonically, and values outside the range are clamped), so
// whatever lies in a lower bucket is smaller. Values only a little apart share a bucket.
class ValueBuckets {
 public:
  // n_buckets of them, or none when the range is a single value or too wide for its width to be
  // a finite double.
  static std::optional<ValueBuckets> over(double lo, double hi, size_t n_buckets);
  // The bucket of a finite x.
  size_t of(double x) const {
    const double t = (x - lo_) * scale_;
    return static_cast<size_t>(static_cast<int64_t>(std::min(std::max(t, 0.0), last_)));
  }

 private:
  ValueBuckets(double lo, double scale, double last) : lo_(lo), scale_(scale), last_(last) {}
  double lo_, scale_, last_;
};

// Bin codes of many values against one edge list. A table of the edges per bucket narrows the
// search to the few edges that share a value's bucket: an equal-width bucket of the values' range
// when that spreads the edges best, else the top 16 bits of the value's total-order key.
class BinCoder {
 public:
  // lo and hi bound the finite values to be coded (others are coded exactly, only slower).
  BinCoder(std::span<const double> edges, double lo, double hi);
  // out[i * stride] = the number of edges <= values[i] (bin_code's), or missing for a value that
  // is not finite. (Code is uint8_t or uint16_t, wide enough for every code.)
  template <class Code>
  void code_all(std::span<const double> values, Code* out, size_t stride, Code missing) const;

 private:
  // Buckets of at most this many edges are counted by comparing with all of them.
  static constexpr size_t kCompareAll = 8;

  static uint64_t ordered_bits(double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    // Negative values have every bit flipped, others their sign bit (without a branch).
    const uint64_t sign = static_cast<uint64_t>(static_cast<int64_t>(bits) >> 63);
    return bits ^ (sign | uint64_t{1} << 63);
  }
  // -0.0 and +0.0 compare equal, so both count as +0.0 (x + 0.0 is x otherwise), values and
  // edges alike.
  static uint64_t key_of(double x) { return ordered_bits(x + 0.0); }
  // Codes with kWidth comparisons per value (see the definition), or by bisecting the value's
  // bucket when kWidth is 0.
  template <size_t kWidth, class Code>
  void code_each(std::span<const double> values, Code* out, size_t stride, Code missing) const;
  template <size_t kWidth, class Code, class BucketOf>
  void code_each(std::span<const double> values, Code* out, size_t stride, Code missing,
                 BucketOf bucket_of) const;

  std::optional<ValueBuckets> by_value_;
  std::vector<uint64_t> keys_;   // edges as unsigned total-order keys, ascending, then sentinels
  std::vector<uint32_t> first_;  // first_[b]: edges in buckets below b
  size_t widest_ = 0;            // the most edges any bucket holds
};

}  // namespace ornik
