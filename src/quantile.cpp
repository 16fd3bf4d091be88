#include "quantile.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "data.hpp"

namespace ornik {
namespace {

__extension__ typedef unsigned __int128 u128;

// Total-order keys of the finite values, in input order.
std::vector<int64_t> finite_keys(std::span<const double> values) {
  std::vector<int64_t> keys;
  keys.reserve(values.size());
  for (const double v : values) {
    if (std::isfinite(v)) keys.push_back(total_order_key(v));
  }
  return keys;
}

// Rearranges keys so that every listed position (ascending, relative to keys.begin()) holds the
// element a full sort would put there.
void select_positions(std::span<int64_t> keys, size_t offset, std::span<const uint64_t> positions) {
  while (!positions.empty()) {
    const size_t mid = positions.size() / 2;
    const size_t p = positions[mid] - offset;
    std::nth_element(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(p), keys.end());
    // Positions equal to p are settled; recurse on the smaller side, loop on the larger.
    size_t lo_end = mid, hi_begin = mid + 1;
    while (lo_end > 0 && positions[lo_end - 1] - offset == p) --lo_end;
    while (hi_begin < positions.size() && positions[hi_begin] - offset == p) ++hi_begin;
    const auto lower = positions.first(lo_end);
    const auto upper = positions.subspan(hi_begin);
    select_positions(keys.first(p), offset, lower);
    keys = keys.subspan(p + 1);
    offset += p + 1;
    positions = upper;
  }
}

// Puts the order statistics at the listed ranks (ascending, distinct) in place, for large inputs.
// Keys are bucketed by a non-decreasing function, which preserves order between buckets; only the
// buckets holding a wanted rank are then gathered and selected in, so most keys are touched
// twice. Gives up (false) when those buckets hold too much of the data to be worth it.
template <class BucketOf>
bool select_in_buckets(std::vector<int64_t>& keys, std::span<const uint64_t> ranks,
                       size_t n_buckets, BucketOf&& bucket_of) {
  std::vector<uint32_t> start(n_buckets + 1, 0);
  for (const int64_t k : keys) ++start[bucket_of(k) + 1];
  for (size_t b = 1; b <= n_buckets; ++b) start[b] += start[b - 1];

  // The buckets that hold a wanted rank, each gathered into its own stretch of `picked`.
  std::vector<int32_t> slot_of(n_buckets, -1);
  std::vector<size_t> wanted_buckets;
  for (const uint64_t r : ranks) {
    const size_t b =
        static_cast<size_t>(std::upper_bound(start.begin(), start.end(), r) - start.begin()) - 1;
    if (slot_of[b] < 0) {
      slot_of[b] = static_cast<int32_t>(wanted_buckets.size());
      wanted_buckets.push_back(b);
    }
  }
  std::vector<size_t> slot_begin(wanted_buckets.size() + 1, 0);
  for (size_t i = 0; i < wanted_buckets.size(); ++i) {
    const size_t b = wanted_buckets[i];
    slot_begin[i + 1] = slot_begin[i] + (start[b + 1] - start[b]);
  }
  if (slot_begin.back() * 4 > keys.size()) return false;
  std::vector<int64_t> picked(slot_begin.back());
  std::vector<size_t> fill(slot_begin.begin(), slot_begin.end() - 1);
  for (const int64_t k : keys) {
    const int32_t slot = slot_of[bucket_of(k)];
    if (slot >= 0) picked[fill[slot]++] = k;
  }
  // Within its bucket, rank r is position r - start[b]; write the results back at rank r.
  std::vector<uint64_t> local;
  for (size_t i = 0; i < wanted_buckets.size(); ++i) {
    const size_t b = wanted_buckets[i];
    local.clear();
    for (const uint64_t r : ranks) {
      if (r >= start[b] && r < start[b + 1]) local.push_back(r - start[b]);
    }
    const std::span<int64_t> bucket(picked.data() + slot_begin[i],
                                    slot_begin[i + 1] - slot_begin[i]);
    select_positions(bucket, 0, local);
    for (const uint64_t p : local) keys[start[b] + p] = bucket[p];
  }
  return true;
}

// Tries buckets of equal width in value (suits most data), then buckets by the keys' high bits
// (suits values spread over many orders of magnitude).
bool select_by_buckets(std::vector<int64_t>& keys, std::span<const uint64_t> ranks) {
  constexpr size_t kBuckets = size_t{1} << 14;
  const auto [lo_it, hi_it] = std::minmax_element(keys.begin(), keys.end());
  const double lo_value = from_total_order_key(*lo_it);
  const double width = from_total_order_key(*hi_it) - lo_value;
  if (std::isfinite(width) && width > 0.0) {
    // floor((x - lo) * scale) never decreases as x grows: each step rounds monotonically.
    const double scale = static_cast<double>(kBuckets) / width;
    const auto by_value = [lo_value, scale](int64_t k) {
      const double b = std::floor((from_total_order_key(k) - lo_value) * scale);
      return b >= static_cast<double>(kBuckets - 1) ? kBuckets - 1 : static_cast<size_t>(b);
    };
    if (select_in_buckets(keys, ranks, kBuckets, by_value)) return true;
  }
  const uint64_t lo = static_cast<uint64_t>(*lo_it);
  const uint64_t span = static_cast<uint64_t>(*hi_it) - lo;
  int shift = 0;
  while ((span >> shift) >= kBuckets) ++shift;
  const auto by_bits = [lo, shift](int64_t k) {
    return static_cast<size_t>((static_cast<uint64_t>(k) - lo) >> shift);
  };
  return select_in_buckets(keys, ranks, kBuckets, by_bits);
}

// The literal edge list from the finite keys: order statistics at the edge indices, found by
// selection rather than a full sort.
std::vector<double> edges_from_keys(std::vector<int64_t>& keys, uint64_t n_bins) {
  const uint64_t n = keys.size();
  std::vector<uint64_t> positions(n_bins - 1);
  for (uint64_t k = 1; k < n_bins; ++k) positions[k - 1] = quantile_rank(k, n, n_bins);
  if (positions.size() * 4 >= n) {
    std::sort(keys.begin(), keys.end());
  } else {
    std::vector<uint64_t> distinct = positions;
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    if (n < 8192 || !select_by_buckets(keys, distinct)) select_positions(keys, 0, distinct);
  }
  std::vector<double> edges(positions.size());
  for (size_t i = 0; i < positions.size(); ++i) edges[i] = from_total_order_key(keys[positions[i]]);
  return edges;
}

}  // namespace

std::vector<double> quantile_edges(std::span<const double> values, uint64_t n_bins) {
  if (n_bins < 2) return {};
  std::vector<int64_t> keys = finite_keys(values);
  if (keys.empty()) return {};
  if (n_bins - 1 > keys.size()) {
    // More edges than values: many repeat, so walk the sorted values instead of selecting.
    std::sort(keys.begin(), keys.end());
    std::vector<double> edges;
    edges.reserve(n_bins - 1);
    for (uint64_t k = 1; k < n_bins; ++k) {
      edges.push_back(from_total_order_key(keys[quantile_rank(k, keys.size(), n_bins)]));
    }
    return edges;
  }
  return edges_from_keys(keys, n_bins);
}

QuantileEdges::QuantileEdges(std::span<const double> values, uint64_t n_bins) : n_bins_(n_bins) {
  if (n_bins < 2) return;
  std::vector<int64_t> keys = finite_keys(values);
  if (keys.empty()) return;
  count_ = n_bins - 1;
  if (count_ <= keys.size()) {
    edges_ = edges_from_keys(keys, n_bins);
    return;
  }
  // Edges outnumber the values: keep the sorted values and derive edges and codes on demand.
  std::sort(keys.begin(), keys.end());
  sorted_.resize(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) sorted_[i] = from_total_order_key(keys[i]);
}

double QuantileEdges::operator[](uint64_t i) const {
  if (!edges_.empty()) return edges_[i];
  return sorted_[quantile_rank(i + 1, sorted_.size(), n_bins_)];
}

uint64_t QuantileEdges::code(double x) const {
  if (count_ == 0) return 0;
  if (!edges_.empty()) return bin_code(edges_, x);
  // Edge k (1-based) is <= x exactly when its index is below c, the number of sorted values
  // <= x; indices are non-decreasing in k, so those edges are the k with k*n < c*n_bins.
  const uint64_t n = sorted_.size();
  const uint64_t c = bin_code(sorted_, x);
  if (c == 0) return 0;
  if (c >= n) return count_;
  const u128 below = (static_cast<u128>(c) * n_bins_ - 1) / n;
  return below >= count_ ? count_ : static_cast<uint64_t>(below);
}

uint64_t BinCoder::ordered_bits(double x) {
  uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits ^ ((bits >> 63) ? ~uint64_t{0} : uint64_t{1} << 63);
}

BinCoder::BinCoder(std::span<const double> edges) : first_((size_t{1} << 16) + 1, 0) {
  keys_.reserve(edges.size());
  // -0.0 and +0.0 compare equal, so both count as +0.0 here and in code().
  for (const double e : edges) keys_.push_back(ordered_bits(e == 0.0 ? 0.0 : e));
  for (const uint64_t k : keys_) ++first_[(k >> 48) + 1];
  for (size_t p = 1; p < first_.size(); ++p) first_[p] += first_[p - 1];
}

uint64_t BinCoder::code(double x) const {
  const uint64_t key = ordered_bits(x == 0.0 ? 0.0 : x);
  const size_t prefix = key >> 48;
  size_t lo = first_[prefix];
  size_t len = first_[prefix + 1] - lo;
  // Every edge before lo is below x; search the edges that share x's prefix, branch-free.
  if (len == 0) return lo;
  while (len > 1) {
    const size_t half = len / 2;
    lo = keys_[lo + half - 1] <= key ? lo + half : lo;
    len -= half;
  }
  lo += keys_[lo] <= key ? 1 : 0;
  return lo;
}

}  // namespace ornik
