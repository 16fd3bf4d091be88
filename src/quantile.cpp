#include "quantile.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "data.hpp"

namespace ornik {
namespace {

__extension__ typedef unsigned __int128 u128;

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

// Writes the order statistics of the finite values (their range given) at the listed ranks
// (ascending, distinct) to selected, as total-order keys, for large inputs. Values are bucketed by
// a non-decreasing function, which preserves order between buckets; only the buckets holding a
// wanted rank are then gathered and selected in, so the values are read twice, in place. Gives up
// (false) when those buckets hold too much of the data to be worth it. Every value's bucket is kept
// from the counting pass for the gathering one in `bucket`, where a value that is not finite has
// bucket n_buckets (which must fit 16 bits); bucket_of is given some finite value in its place.
template <class BucketOf>
bool select_in_buckets(std::span<const double> values, const FiniteRange& range,
                       std::span<const uint64_t> ranks, size_t n_buckets, BucketOf&& bucket_of,
                       FillLaterRowVector<uint16_t>& bucket, std::span<int64_t> selected) {
  const double some_finite = from_total_order_key(range.least);
  bucket.resize(values.size());
  std::vector<uint32_t> start(n_buckets + 2, 0);
  for (size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    const bool finite = std::isfinite(v);
    const size_t b = finite ? bucket_of(finite ? v : some_finite) : n_buckets;
    bucket[i] = static_cast<uint16_t>(b);
    ++start[b + 1];
  }
  start.pop_back();  // the values that are not finite
  for (size_t b = 1; b <= n_buckets; ++b) start[b] += start[b - 1];

  // The buckets that hold a wanted rank, each gathered into its own stretch of `picked`.
  std::vector<int32_t> slot_of(n_buckets + 1, -1);
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
  if (slot_begin.back() * 4 > range.count) return false;
  std::vector<int64_t> picked(slot_begin.back());
  std::vector<size_t> fill(slot_begin.begin(), slot_begin.end() - 1);
  for (size_t i = 0; i < values.size(); ++i) {
    const int32_t slot = slot_of[bucket[i]];
    if (slot >= 0) picked[fill[static_cast<size_t>(slot)]++] = total_order_key(values[i]);
  }
  // Within its bucket, rank r is position r - start[b]. Buckets are listed in rank order, so
  // each takes the next run of ranks.
  std::vector<uint64_t> local;
  size_t next_rank = 0;
  for (size_t i = 0; i < wanted_buckets.size(); ++i) {
    const size_t b = wanted_buckets[i];
    const size_t first_rank = next_rank;
    local.clear();
    while (next_rank < ranks.size() && ranks[next_rank] < start[b + 1]) {
      local.push_back(ranks[next_rank++] - start[b]);
    }
    const std::span<int64_t> gathered(picked.data() + slot_begin[i],
                                      slot_begin[i + 1] - slot_begin[i]);
    select_positions(gathered, 0, local);
    for (size_t j = 0; j < local.size(); ++j) selected[first_rank + j] = gathered[local[j]];
  }
  return true;
}

// Tries buckets of equal width in value (suits most data), then buckets by the keys' high bits
// (suits values spread over many orders of magnitude).
bool select_by_buckets(std::span<const double> values, const FiniteRange& range,
                       std::span<const uint64_t> ranks, FillLaterRowVector<uint16_t>& bucket,
                       std::span<int64_t> selected) {
  constexpr size_t kBuckets = size_t{1} << 14;
  const std::optional<ValueBuckets> by_value = ValueBuckets::over(
      from_total_order_key(range.least), from_total_order_key(range.greatest), kBuckets);
  if (by_value) {
    const auto bucket_of = [&by_value](double v) { return by_value->of(v); };
    if (select_in_buckets(values, range, ranks, kBuckets, bucket_of, bucket, selected)) return true;
  }
  const uint64_t lo = static_cast<uint64_t>(range.least);
  const uint64_t span = static_cast<uint64_t>(range.greatest) - lo;
  int shift = 0;
  while ((span >> shift) >= kBuckets) ++shift;
  const auto by_bits = [lo, shift](double v) {
    return static_cast<size_t>((static_cast<uint64_t>(total_order_key(v)) - lo) >> shift);
  };
  return select_in_buckets(values, range, ranks, kBuckets, by_bits, bucket, selected);
}

}  // namespace

FiniteRange FiniteRange::of(std::span<const double> values) {
  int64_t lo = INT64_MAX, hi = INT64_MIN;
  size_t n = 0;
  for (const double v : values) {
    const int64_t key = total_order_key(v);
    const bool finite = std::isfinite(v);
    n += finite ? 1 : 0;
    lo = finite && key < lo ? key : lo;
    hi = finite && key > hi ? key : hi;
  }
  return {n, lo, hi};
}

void FiniteKeys::assign(std::span<const double> values) {
  keys.resize(values.size());
  size_t n = 0;
  for (const double v : values) {
    keys[n] = total_order_key(v);
    n += std::isfinite(v) ? 1 : 0;
  }
  keys.resize(n);
}

// The literal edge list: the order statistics at the edge indices, found by selection rather
// than a full sort.
std::vector<double> quantile_edges(std::span<const double> values, const FiniteRange& range,
                                   uint64_t n_bins, FiniteKeys& finite) {
  if (n_bins < 2 || range.count == 0) return {};
  const uint64_t n = range.count;
  std::vector<uint64_t> positions(n_bins - 1);
  for (uint64_t k = 1; k < n_bins; ++k) positions[k - 1] = quantile_rank(k, n, n_bins);
  std::vector<uint64_t> ranks;
  std::unique_copy(positions.begin(), positions.end(), std::back_inserter(ranks));
  std::vector<int64_t> selected(ranks.size());
  // Many edges per value: sort outright.
  const bool sort_all = positions.size() * 4 >= n;
  if (sort_all || n < 8192 || !select_by_buckets(values, range, ranks, finite.buckets, selected)) {
    finite.assign(values);
    std::vector<int64_t>& keys = finite.keys;
    if (sort_all) {
      std::sort(keys.begin(), keys.end());
    } else {
      select_positions(keys, 0, ranks);
    }
    for (size_t j = 0; j < ranks.size(); ++j) selected[j] = keys[ranks[j]];
  }
  std::vector<double> edges(positions.size());
  size_t j = 0;
  for (size_t i = 0; i < positions.size(); ++i) {
    while (ranks[j] != positions[i]) ++j;
    edges[i] = from_total_order_key(selected[j]);
  }
  return edges;
}

std::vector<double> quantile_edges(std::span<const double> values, uint64_t n_bins) {
  if (n_bins < 2) return {};
  FiniteKeys finite;
  return quantile_edges(values, FiniteRange::of(values), n_bins, finite);
}

QuantileEdges::QuantileEdges(std::span<const double> values, uint64_t n_bins) : n_bins_(n_bins) {
  if (n_bins < 2) return;
  const FiniteRange range = FiniteRange::of(values);
  if (range.count == 0) return;
  count_ = n_bins - 1;
  FiniteKeys finite;
  if (count_ <= range.count) {
    edges_ = quantile_edges(values, range, n_bins, finite);
    return;
  }
  // Edges outnumber the values: keep the sorted values and derive edges and codes on demand.
  finite.assign(values);
  std::vector<int64_t>& keys = finite.keys;
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

std::optional<ValueBuckets> ValueBuckets::over(double lo, double hi, size_t n_buckets) {
  const double width = hi - lo;
  if (!std::isfinite(width) || !(width > 0.0)) return std::nullopt;
  const double scale = static_cast<double>(n_buckets) / width;
  if (!std::isfinite(scale)) return std::nullopt;
  return ValueBuckets(lo, scale, static_cast<double>(n_buckets - 1));
}

BinCoder::BinCoder(std::span<const double> edges, double lo, double hi) {
  keys_.reserve(edges.size());
  for (const double e : edges) keys_.push_back(key_of(e));
  // Edges per bucket by the keys' top bits, or by buckets of the values' range unless those leave
  // more edges to one bucket.
  std::vector<uint32_t> per_bucket(size_t{1} << 16, 0);
  for (const uint64_t k : keys_) ++per_bucket[k >> 48];
  constexpr size_t kValueBuckets = size_t{1} << 12;
  if (const auto buckets = ValueBuckets::over(lo, hi, kValueBuckets)) {
    std::vector<uint32_t> by_value(kValueBuckets, 0);
    for (const double e : edges) ++by_value[buckets->of(e)];
    if (*std::max_element(by_value.begin(), by_value.end()) <=
        *std::max_element(per_bucket.begin(), per_bucket.end())) {
      by_value_ = buckets;
      per_bucket = std::move(by_value);
    }
  }
  first_.assign(per_bucket.size() + 1, 0);
  for (size_t b = 0; b < per_bucket.size(); ++b) first_[b + 1] = first_[b] + per_bucket[b];
  widest_ = *std::max_element(per_bucket.begin(), per_bucket.end());
  // Sentinels: no finite value's key reaches the largest key.
  keys_.resize(keys_.size() + kCompareAll, UINT64_MAX);
}

// Every edge before x's bucket is below x and every edge after it above x (a bucket never
// decreases as the value grows). With kCompareAll sentinels above every key ending the list,
// comparing x with kWidth edges from its bucket's first, kWidth at least the widest bucket's
// count, counts its bucket's edges <= x exactly, without a branch on how many that bucket holds.
// kWidth 0 bisects the bucket's edges instead, also without branching.
template <size_t kWidth, class Code, class BucketOf>
void BinCoder::code_each(std::span<const double> values, Code* out, size_t stride, Code missing,
                         BucketOf bucket_of) const {
  const uint32_t* first = first_.data();
  const uint64_t* keys = keys_.data();
  for (size_t i = 0; i < values.size(); ++i) {
    const double x = values[i];
    if (!std::isfinite(x)) {
      out[i * stride] = missing;
      continue;
    }
    const uint64_t key = key_of(x);
    const size_t bucket = bucket_of(x, key);
    size_t lo = first[bucket];
    uint64_t below = lo;
    if constexpr (kWidth > 0) {
      for (size_t k = 0; k < kWidth; ++k) below += keys[lo + k] <= key ? 1 : 0;
    } else {
      size_t len = first[bucket + 1] - lo;
      while (len > 1) {
        const size_t half = len / 2;
        lo = keys[lo + half - 1] <= key ? lo + half : lo;
        len -= half;
      }
      below = lo + (len == 1 && keys[lo] <= key ? 1 : 0);
    }
    out[i * stride] = static_cast<Code>(below);
  }
}

template <size_t kWidth, class Code>
void BinCoder::code_each(std::span<const double> values, Code* out, size_t stride,
                         Code missing) const {
  if (by_value_) {
    const ValueBuckets buckets = *by_value_;
    code_each<kWidth>(values, out, stride, missing,
                      [buckets](double x, uint64_t) { return buckets.of(x); });
  } else {
    code_each<kWidth>(values, out, stride, missing,
                      [](double, uint64_t key) { return static_cast<size_t>(key >> 48); });
  }
}

template <class Code>
void BinCoder::code_all(std::span<const double> values, Code* out, size_t stride,
                        Code missing) const {
  // Most tables hold at most one edge per bucket.
  if (widest_ <= 1) return code_each<1>(values, out, stride, missing);
  if (widest_ <= kCompareAll) return code_each<kCompareAll>(values, out, stride, missing);
  code_each<0>(values, out, stride, missing);
}

template void BinCoder::code_all(std::span<const double>, uint8_t*, size_t, uint8_t) const;
template void BinCoder::code_all(std::span<const double>, uint16_t*, size_t, uint16_t) const;

}  // namespace ornik
