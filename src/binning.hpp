// Fast mode's one-off encoding of the training matrix into 16-bit codes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "data.hpp"

namespace ornik {

inline constexpr uint16_t MISSING_CODE = 0xFFFF;
inline constexpr uint64_t MAX_FAST_EDGES = 65534;
inline constexpr uint64_t MAX_FAST_CATEGORIES = 65535;

struct FeatureBins {
  std::vector<double> edges;         // numeric: quantile cut points
  std::vector<uint32_t> categories;  // categorical: distinct labels, ascending
  size_t n_bins = 0;                 // numeric: edges + 1; categorical: categories
  bool continuous = true;
};

struct BinnedData {
  std::vector<std::vector<uint16_t>> codes;  // one code array per feature, indexed by row
  std::vector<FeatureBins> features;
  size_t n_rows = 0;

  // The encoded matrix, or the error text of the first feature over a fast-mode limit.
  static std::variant<BinnedData, std::string> fit(std::span<const Column> columns,
                                                   uint64_t n_bins);
};

}  // namespace ornik
