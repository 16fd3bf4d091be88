#include "binning.hpp"

#include <algorithm>
#include <cmath>

#include "encoder.hpp"

namespace ornik {
namespace {

// Number of edges quantile_edges would return, known without building them.
uint64_t edge_count(std::span<const double> values, uint64_t n_bins) {
  if (n_bins < 2) return 0;
  const bool any_finite = std::any_of(values.begin(), values.end(),
                                      [](double v) { return std::isfinite(v); });
  return any_finite ? n_bins - 1 : 0;
}

std::string limit_error(size_t feature, uint64_t count, const char* what) {
  return "feature " + std::to_string(feature) + ": " + std::to_string(count) + " " + what +
         " exceed fast-mode limit";
}

// Numeric column: quantile-bin codes; non-finite values are missing. Checks the edge limit
// before any edge is built so that a huge n_bins fails without allocating.
bool encode_numeric(const Column& column, uint64_t n_bins, size_t feature, FeatureBins& bins,
                    std::vector<uint16_t>& codes, std::string& error) {
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
  codes.resize(values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    codes[i] = std::isfinite(v) ? static_cast<uint16_t>(bin_code(edges, v)) : MISSING_CODE;
  }
  return true;
}

// Categorical column: the label's position among the sorted distinct labels.
bool encode_categorical(const Column& column, size_t feature, FeatureBins& bins,
                        std::vector<uint16_t>& codes, std::string& error) {
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
  codes.resize(labels.size());
  for (size_t i = 0; i < labels.size(); ++i) {
    const uint32_t l = labels[i];
    if (l == MISSING_CATEGORY) {
      codes[i] = MISSING_CODE;
    } else {
      const auto it = std::lower_bound(categories.begin(), categories.end(), l);
      codes[i] = static_cast<uint16_t>(it - categories.begin());
    }
  }
  bins.n_bins = categories.size();
  bins.continuous = false;
  bins.categories = std::move(categories);
  return true;
}

}  // namespace

std::variant<BinnedData, std::string> BinnedData::fit(std::span<const Column> columns,
                                                      uint64_t n_bins) {
  BinnedData data;
  data.n_rows = columns.empty() ? 0 : columns[0].size();
  data.codes.resize(columns.size());
  data.features.resize(columns.size());
  std::string error;
  for (size_t j = 0; j < columns.size(); ++j) {
    const bool ok = columns[j].categorical
                        ? encode_categorical(columns[j], j, data.features[j], data.codes[j], error)
                        : encode_numeric(columns[j], n_bins, j, data.features[j], data.codes[j],
                                         error);
    if (!ok) return error;
  }
  return data;
}

}  // namespace ornik
