// Fast mode's one-off encoding of the training matrix into 8- or 16-bit codes.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "data.hpp"

namespace ornik {

// A missing value's code in a matrix of Code: the largest one, above every bin.
template <class Code>
inline constexpr Code kMissingCode = std::numeric_limits<Code>::max();
inline constexpr uint16_t MISSING_CODE = kMissingCode<uint16_t>;
// The most bins a feature may have for its codes to fit one byte beside the missing code.
inline constexpr size_t kMaxNarrowBins = kMissingCode<uint8_t>;
inline constexpr uint64_t MAX_FAST_EDGES = 65534;
inline constexpr uint64_t MAX_FAST_CATEGORIES = 65535;

struct FeatureBins {
  std::vector<double> edges;         // numeric: quantile cut points
  std::vector<uint32_t> categories;  // categorical: distinct labels, ascending
  size_t n_bins = 0;                 // numeric: edges + 1; categorical: categories
  bool continuous = true;
  bool has_missing = false;  // some row's code is MISSING_CODE
};

template <class Code>
using CodeMatrix = FillLaterRowVector<Code>;

// Codes are stored row-major (all features of a row side by side) so that one pass over a
// node's rows reads every feature of a row from one place. They take one byte each while every
// feature has at most kMaxNarrowBins bins, two otherwise: every pass over the rows, and every
// move of them, then carries half the bytes.
struct BinnedData {
  // codes[row * n_features() + feature]
  std::variant<CodeMatrix<uint8_t>, CodeMatrix<uint16_t>> codes;
  std::vector<FeatureBins> features;
  size_t n_rows = 0;

  size_t n_features() const { return features.size(); }
  // A code at either width, a missing value's as MISSING_CODE.
  uint16_t code(size_t row, size_t feature) const;
  // One feature's codes, in row order, as code gives them.
  std::vector<uint16_t> feature_codes(size_t feature) const;

  // The encoded matrix, or the error text of the first feature over a fast-mode limit.
  static std::variant<BinnedData, std::string> fit(std::span<const Column> columns,
                                                   uint64_t n_bins);
};

// Bins the n_features columns that column_at(j) builds, each of n_rows values
// (std::invalid_argument otherwise), on up to n_threads threads; the error text of the lowest
// failing feature, as a sequential pass would report it. Columns are built and copied a few at a
// time, so a caller never needs all of them at once.
std::variant<BinnedData, std::string> bin_columns(size_t n_rows, size_t n_features, uint64_t n_bins,
                                                  size_t n_threads,
                                                  const std::function<Column(size_t)>& column_at);

}  // namespace ornik
