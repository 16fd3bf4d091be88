#include "binning.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "parallel.hpp"
#include "quantile.hpp"

namespace ornik {
namespace {

std::string limit_error(size_t feature, uint64_t count, const char* what) {
  return "feature " + std::to_string(feature) + ": " + std::to_string(count) + " " + what +
         " exceed fast-mode limit";
}

// Numeric column: quantile-bin codes; non-finite values are missing. Checks the edge limit
// before any edge is built so that a huge n_bins fails without allocating.
// codes[i * stride] receives row i's code. finite holds the keys' buffers, reused.
bool encode_numeric(std::span<const double> values, uint64_t n_bins, size_t feature,
                    FeatureBins& bins, uint16_t* codes, size_t stride, FiniteKeys& finite,
                    std::string& error) {
  finite.assign(values);
  const uint64_t count = n_bins >= 2 && finite.size() > 0 ? n_bins - 1 : 0;
  if (count > MAX_FAST_EDGES) {
    error = limit_error(feature, count + 1, "continuous bins");
    return false;
  }
  bins.has_missing = finite.size() < values.size();
  const double lo = from_total_order_key(finite.least);
  const double hi = from_total_order_key(finite.greatest);
  bins.edges = quantile_edges(finite, n_bins);
  bins.n_bins = bins.edges.size() + 1;
  bins.continuous = true;
  const std::span<const double> edges = bins.edges;
  // The bucket table pays off once the column is long compared with its size.
  if (values.size() >= (size_t{1} << 14) && !edges.empty()) {
    BinCoder(edges, lo, hi).code_all(values, codes, stride, MISSING_CODE);
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
  uint32_t top = 0;
  bool has_missing = false;
  for (const uint32_t l : labels) {
    has_missing = has_missing || l == MISSING_CATEGORY;
    top = l != MISSING_CATEGORY && l > top ? l : top;
  }
  std::vector<uint32_t> categories;
  // Labels up to a few times the row count: a table of them, in label order, gives the sorted
  // distinct labels and each label's position without sorting or searching.
  constexpr uint32_t kUnseen = UINT32_MAX;
  std::vector<uint32_t> position;
  if (top < 4 * static_cast<uint64_t>(labels.size()) + 1024) {
    position.assign(size_t{top} + 1, kUnseen);
    for (const uint32_t l : labels) {
      if (l != MISSING_CATEGORY) position[l] = 0;
    }
    for (uint32_t v = 0; v <= top; ++v) {
      if (position[v] == kUnseen) continue;
      position[v] = static_cast<uint32_t>(categories.size());
      categories.push_back(v);
    }
  } else {
    categories.reserve(labels.size());
    for (const uint32_t l : labels) {
      if (l != MISSING_CATEGORY) categories.push_back(l);
    }
    std::sort(categories.begin(), categories.end());
    categories.erase(std::unique(categories.begin(), categories.end()), categories.end());
  }
  if (categories.size() > MAX_FAST_CATEGORIES) {
    error = limit_error(feature, categories.size(), "categories");
    return false;
  }
  for (size_t i = 0; i < labels.size(); ++i) {
    const uint32_t l = labels[i];
    if (l == MISSING_CATEGORY) {
      codes[i * stride] = MISSING_CODE;
    } else if (!position.empty()) {
      codes[i * stride] = static_cast<uint16_t>(position[l]);
    } else {
      const auto it = std::lower_bound(categories.begin(), categories.end(), l);
      codes[i * stride] = static_cast<uint16_t>(it - categories.begin());
    }
  }
  bins.n_bins = categories.size();
  bins.continuous = false;
  bins.has_missing = has_missing;
  bins.categories = std::move(categories);
  return true;
}

// Copies each source's first n values into the buffer of the same position, reading row by row.
template <size_t N>
void copy_rows(const StridedValues* sources, size_t n, FillLaterVector<double>* out) {
  const char* base[N];
  double* dst[N];
  for (size_t g = 0; g < N; ++g) {
    base[g] = sources[g].base;
    dst[g] = out[g].data();
  }
  const ptrdiff_t stride = sources[0].stride;
  for (size_t i = 0; i < n; ++i) {
    const ptrdiff_t at = static_cast<ptrdiff_t>(i) * stride;
    for (size_t g = 0; g < N; ++g) std::memcpy(dst[g] + i, base[g] + at, sizeof(double));
  }
}

void copy_rows(std::span<const StridedValues> sources, size_t n,
               std::vector<FillLaterVector<double>>& out) {
  // Columns of one matrix share its row stride; others are copied one at a time.
  const bool shared_stride =
      std::all_of(sources.begin(), sources.end(),
                  [&](const StridedValues& s) { return s.stride == sources[0].stride; });
  if (!shared_stride) {
    for (size_t g = 0; g < sources.size(); ++g) copy_rows<1>(&sources[g], n, &out[g]);
    return;
  }
  switch (sources.size()) {
    case 4:
      return copy_rows<4>(sources.data(), n, out.data());
    case 3:
      return copy_rows<3>(sources.data(), n, out.data());
    case 2:
      return copy_rows<2>(sources.data(), n, out.data());
    case 1:
      return copy_rows<1>(sources.data(), n, out.data());
    default:
      return;
  }
}

}  // namespace

std::vector<uint16_t> BinnedData::feature_codes(size_t feature) const {
  std::vector<uint16_t> out(n_rows);
  for (size_t i = 0; i < n_rows; ++i) out[i] = code(i, feature);
  return out;
}

BinnedDataBuilder::BinnedDataBuilder(size_t n_rows, size_t n_features)
    : n_rows_(n_rows), features_(n_features), columns_(n_features) {}

std::optional<std::string> BinnedDataBuilder::add_features(
    size_t first, size_t last, uint64_t n_bins, const std::function<Column(size_t)>& column_at) {
  // Numeric columns are copied a few at a time, row by row, so that a matrix laid out by rows is
  // read in few passes; the copies and the keys' buffers serve every column of the range.
  constexpr size_t kGroup = 4;
  std::vector<FillLaterVector<double>> values(kGroup, FillLaterVector<double>(n_rows_));
  FiniteKeys finite;
  std::string error;
  for (size_t j = first; j < last;) {
    std::vector<Column> group;
    for (; j < last && group.size() < kGroup; ++j) {
      group.push_back(column_at(j));
      if (group.back().size() != n_rows_) {
        throw std::invalid_argument("feature " + std::to_string(j) + " has " +
                                    std::to_string(group.back().size()) + " values for " +
                                    std::to_string(n_rows_) + " rows");
      }
      if (group.back().categorical) {
        ++j;
        break;
      }
    }
    const size_t group_first = j - group.size();
    std::vector<StridedValues> sources;
    for (const Column& c : group) {
      if (!c.categorical) sources.push_back(c.values());
    }
    copy_rows(sources, n_rows_, values);
    for (size_t g = 0, numeric = 0; g < group.size(); ++g) {
      const size_t feature = group_first + g;
      FillLaterVector<uint16_t>& codes = columns_[feature];
      codes.resize(n_rows_);
      const bool ok =
          group[g].categorical
              ? encode_categorical(group[g], feature, features_[feature], codes.data(), 1, error)
              : encode_numeric(values[numeric++], n_bins, feature, features_[feature], codes.data(),
                               1, finite, error);
      if (!ok) return error;
    }
  }
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
  for (FillLaterVector<uint16_t>& column : columns_) FillLaterVector<uint16_t>().swap(column);
  data.features = std::move(features_);
  return data;
}

std::variant<BinnedData, std::string> bin_columns(size_t n_rows, size_t n_features, uint64_t n_bins,
                                                  size_t n_threads,
                                                  const std::function<Column(size_t)>& column_at) {
  BinnedDataBuilder builder(n_rows, n_features);
  const std::vector<std::pair<size_t, size_t>> ranges = even_chunks(n_features, n_threads);
  if (ranges.size() < 2) {
    if (std::optional<std::string> error = builder.add_features(0, n_features, n_bins, column_at))
      return *error;
  } else {
    // Each worker encodes its own range of features; the lowest range's error is the one a
    // sequential pass would report first.
    std::vector<std::optional<std::string>> errors(ranges.size());
    run_workers(ranges.size(), [&](size_t worker, const Checkpoint&) {
      errors[worker] =
          builder.add_features(ranges[worker].first, ranges[worker].second, n_bins, column_at);
    });
    for (std::optional<std::string>& error : errors) {
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
