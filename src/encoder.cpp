#include "encoder.hpp"

#include <algorithm>
#include <cmath>

#include "data.hpp"

namespace ornik {
namespace {

__extension__ typedef unsigned __int128 u128;

std::vector<double> sorted_finite(std::span<const double> values) {
  std::vector<double> finite;
  finite.reserve(values.size());
  for (const double v : values) {
    if (std::isfinite(v)) finite.push_back(v);
  }
  sort_total_order(finite);
  return finite;
}

// floor(k * n / n_bins) clamped to n - 1, exact for any 64-bit k, n and n_bins.
inline uint64_t edge_index(uint64_t k, uint64_t n, uint64_t n_bins) {
  const u128 idx = static_cast<u128>(k) * n / n_bins;
  return idx >= n ? n - 1 : static_cast<uint64_t>(idx);
}

}  // namespace

std::vector<double> quantile_edges(std::span<const double> values, uint64_t n_bins) {
  if (n_bins < 2) return {};
  const std::vector<double> sorted = sorted_finite(values);
  if (sorted.empty()) return {};
  std::vector<double> edges;
  edges.reserve(n_bins - 1);
  for (uint64_t k = 1; k < n_bins; ++k) edges.push_back(sorted[edge_index(k, sorted.size(), n_bins)]);
  return edges;
}

QuantileEdges::QuantileEdges(std::span<const double> values, uint64_t n_bins) : n_bins_(n_bins) {
  if (n_bins < 2) return;
  sorted_ = sorted_finite(values);
  if (sorted_.empty()) return;
  count_ = n_bins - 1;
  if (count_ <= sorted_.size()) {
    edges_.reserve(count_);
    for (uint64_t k = 1; k < n_bins; ++k) edges_.push_back(sorted_[edge_index(k, sorted_.size(), n_bins)]);
  }
}

double QuantileEdges::operator[](uint64_t i) const {
  if (!edges_.empty()) return edges_[i];
  return sorted_[edge_index(i + 1, sorted_.size(), n_bins_)];
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

}  // namespace ornik
