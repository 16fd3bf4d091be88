#include "binning.hpp"

#include <algorithm>
#include <cmath>

#include "parallel.hpp"
#include "quantile.hpp"

namespace ornik {
namespace {

// Number of edges quantile_edges would return, known without building them.
uint64_t edge_count(std::span<const double> values, uint64_t n_bins) {
  if (n_bins < 2) return 0;
  const bool any_finite =
      std::any_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
  return any_finite ? n_bins - 1 : 0;
}

std::string limit_error(size_t feature, uint64_t count, const char* what) {
  return "feature " + std::to_string(feature) + ": " + std::to_string(count) + " " + what +
         " exceed fast-mode limit";
}

// Numeric column: quantile-bin codes; non-finite values are missing. Checks the edge limit
// before any edge is built so that a huge n_bins fails without allocating.
// codes[i * stride] receives row i's code.
bool encode_numeric(const Column& column, uint64_t n_bins, size_t feature, FeatureBins& bins,
                    uint16_t* codes, size_t stride, std::string& error) {
  const std::span<const double> values = column.numbers;
  const uint64_t count = edge_count(values, n_bins);
  if (count > MAX_FAST_EDGES) {
    error = limit_error(feature, count + 1, "continuous bins");
    return false;
  }
  bins.edges = quantile_edges(values, n_bins);
  bins.n_bins = bins.edges.size() + 1;
  bins.continuous = true;
  const std::span<const double> edges = bins.edges;
  // The prefix table pays off once the column is long compared with its size.
  bins.has_missing =
      std::any_of(values.begin(), values.end(), [](double v) { return !std::isfinite(v); });
  if (values.size() >= (size_t{1} << 16) && edges.size() >= 8) {
    const BinCoder coder(edges);
    for (size_t i = 0; i < values.size(); ++i) {
      const double v = values[i];
      codes[i * stride] = std::isfinite(v) ? static_cast<uint16_t>(coder.code(v)) : MISSING_CODE;
    }
  } else {
    for (size_t i = 0; i < values.size(); ++i) {
      const double v = values[i];
      codes[i * stride] =
          std::isfinite(v) ? static_cast<uint16_t>(bin_code(edges, v)) : MISSING_CODE;
    }
  }
  return true;
}

// Categorical column: the label's position among the sorted distinct labels.
bool encode_categorical(const Column& column, size_t feature, FeatureBins& bins, uint16_t* codes,
                        size_t stride, std::string& error) {
  const std::span<const uint32_t> labels = column.labels;
  std::vector<uint32_t> categories;
  categories.reserve(labels.size());
  for (const uint32_t l : labels) {
    if (l != MISSING_CATEGORY) categories.push_back(l);
  }
  std::sort(categories.begin(), categories.end());
  categories.erase(std::unique(categories.begin(), categories.end()), categories.end());
  if (categories.size() > MAX_FAST_CATEGORIES) {
    error = limit_error(feature, categories.size(), "categories");
    return false;
  }
  for (size_t i = 0; i < labels.size(); ++i) {
    const uint32_t l = labels[i];
    if (l == MISSING_CATEGORY) {
      codes[i * stride] = MISSING_CODE;
    } else {
      const auto it = std::lower_bound(categories.begin(), categories.end(), l);
      codes[i * stride] = static_cast<uint16_t>(it - categories.begin());
    }
  }
  bins.n_bins = categories.size();
  bins.continuous = false;
  bins.has_missing = std::find(labels.begin(), labels.end(), MISSING_CATEGORY) != labels.end();
  bins.categories = std::move(categories);
  return true;
}

}  // namespace

std::vector<uint16_t> BinnedData::feature_codes(size_t feature) const {
  std::vector<uint16_t> out(n_rows);
  for (size_t i = 0; i < n_rows; ++i) out[i] = code(i, feature);
  return out;
}

BinnedDataBuilder::BinnedDataBuilder(size_t n_rows, size_t n_features)
    : n_rows_(n_rows), features_(n_features), columns_(n_features) {}

std::optional<std::string> BinnedDataBuilder::add(size_t feature, const Column& column,
                                                  uint64_t n_bins) {
  std::string error;
  std::vector<uint16_t>& codes = columns_[feature];
  codes.resize(n_rows_);
  const bool ok =
      column.categorical
          ? encode_categorical(column, feature, features_[feature], codes.data(), 1, error)
          : encode_numeric(column, n_bins, feature, features_[feature], codes.data(), 1, error);
  if (!ok) return error;
  return std::nullopt;
}

BinnedData BinnedDataBuilder::finish(size_t n_threads) {
  BinnedData data;
  data.n_rows = n_rows_;
  const size_t p = features_.size();
  data.codes.resize(n_rows_ * p);
  // Each worker interleaves its own range of rows, a block at a time so that the block's rows
  // stay in cache while every feature is written into them.
  constexpr size_t kBlock = 2048;
  const std::vector<std::pair<size_t, size_t>> ranges = even_chunks(n_rows_, n_threads);
  run_workers(ranges.size(), [&](size_t worker, const Checkpoint&) {
    const auto [first, last] = ranges[worker];
    for (size_t begin = first; begin < last; begin += kBlock) {
      const size_t end = std::min(last, begin + kBlock);
      for (size_t j = 0; j < p; ++j) {
        const uint16_t* src = columns_[j].data();
        uint16_t* dst = data.codes.data() + j;
        for (size_t i = begin; i < end; ++i) dst[i * p] = src[i];
      }
    }
  });
  for (std::vector<uint16_t>& column : columns_) std::vector<uint16_t>().swap(column);
  data.features = std::move(features_);
  return data;
}

std::variant<BinnedData, std::string> bin_columns(size_t n_rows, size_t n_features, uint64_t n_bins,
                                                  size_t n_threads,
                                                  const std::function<Column(size_t)>& column_at) {
  BinnedDataBuilder builder(n_rows, n_features);
  std::vector<size_t> features(n_features);
  for (size_t j = 0; j < n_features; ++j) features[j] = j;
  auto encode = [&](size_t j) { return builder.add(j, column_at(j), n_bins); };
  if (n_threads < 2) {
    for (const size_t j : features) {
      if (std::optional<std::string> error = encode(j)) return *error;
    }
  } else {
    for (std::optional<std::string>& error : par_map(features, n_threads, encode)) {
      if (error) return *error;
    }
  }
  return builder.finish(n_threads);
}

std::variant<BinnedData, std::string> BinnedData::fit(std::span<const Column> columns,
                                                      uint64_t n_bins) {
  return bin_columns(columns.empty() ? 0 : columns[0].size(), columns.size(), n_bins, 1,
                     [&columns](size_t j) { return columns[j]; });
}

}  // namespace ornik
