#include "quantile.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "data.hpp"

namespace ornik {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr uint16_t kMissing = 0xFFFF;

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

struct EdgeCase {
  const char* name;
  std::vector<double> values;
  uint64_t n_bins;
  std::vector<double> edges;
};

class QuantileEdgesCase : public testing::TestWithParam<EdgeCase> {};

TEST_P(QuantileEdgesCase, MatchesExpectedBitwise) {
  const EdgeCase& c = GetParam();
  EXPECT_TRUE(same_bits(quantile_edges(c.values, c.n_bins), c.edges));
  const QuantileEdges lazy(c.values, c.n_bins);
  std::vector<double> lazy_edges;
  for (size_t i = 0; i < lazy.size(); ++i) lazy_edges.push_back(lazy[i]);
  EXPECT_TRUE(same_bits(lazy_edges, c.edges));
}

// Zero bins and only non-finite values are binning cases too.
INSTANTIATE_TEST_SUITE_P(
    Encoder, QuantileEdgesCase,
    testing::Values(EdgeCase{"quartiles", {1, 2, 3, 4}, 4, {2, 3, 4}},
                    EdgeCase{"ties_kept", {5, 5, 5}, 4, {5, 5, 5}},
                    EdgeCase{"one_bin", {1, 2, 3}, 1, {}},
                    EdgeCase{"unsorted_with_nonfinite", {3, kNaN, 1, kInf, 2, -kInf}, 2, {2}},
                    EdgeCase{"empty", {}, 4, {}},
                    EdgeCase{"more_bins_than_values", {2, 1}, 5, {1, 1, 2, 2}},
                    EdgeCase{"negative_zero_first", {0.0, -0.0}, 3, {-0.0, 0.0}},
                    EdgeCase{"positive_zero_last", {0.0, -0.0, 0.0}, 2, {0.0}}),
    [](const testing::TestParamInfo<EdgeCase>& info) { return std::string(info.param.name); });

TEST(Encoder, HugeBinCountNeverMaterialises) {
  constexpr uint64_t kBins = uint64_t{1} << 40;
  const std::vector<double> values{9, 8, 7, 6, 5, 4, 3, 2, 1, 0};  // n = 10
  const QuantileEdges edges(values, kBins);
  ASSERT_EQ(edges.size(), kBins - 1);
  // Edge i is sorted[floor((i + 1) * 10 / 2**40)].
  EXPECT_EQ(edges[0], 0.0);
  EXPECT_EQ(edges[109951162776], 0.0);  // (i + 1) * 10 = 2**40 - 6
  EXPECT_EQ(edges[109951162777], 1.0);  // (i + 1) * 10 = 2**40 + 4
  EXPECT_EQ(edges[kBins / 2 - 1], 5.0);
  EXPECT_EQ(edges[kBins - 2], 9.0);

  EXPECT_EQ(edges.code(-1.0), 0u);
  EXPECT_EQ(edges.code(0.0), 109951162777u);
  EXPECT_EQ(edges.code(0.5), 109951162777u);
  EXPECT_EQ(edges.code(4.0), kBins / 2 - 1);
  EXPECT_EQ(edges.code(9.0), kBins - 1);
  EXPECT_EQ(edges.code(1e300), kBins - 1);

  const QuantileEdges ties(std::vector<double>{5, 5, 5}, kBins);
  EXPECT_EQ(ties.code(4.999), 0u);
  EXPECT_EQ(ties.code(5.0), kBins - 1);
}

// Literal edges: a full total-order sort, then the quantile positions.
std::vector<double> sorted_reference_edges(std::vector<double> values, uint64_t n_bins) {
  std::vector<double> finite;
  for (const double v : values) {
    if (std::isfinite(v)) finite.push_back(v);
  }
  std::vector<double> out;
  if (n_bins < 2 || finite.empty()) return out;
  sort_total_order(finite);
  for (uint64_t k = 1; k < n_bins; ++k) {
    out.push_back(finite[std::min<uint64_t>(k * finite.size() / n_bins, finite.size() - 1)]);
  }
  return out;
}

// Large columns take the bucketed selection; its results must be the sorted ones, bit for bit,
// whatever the shape of the data.
TEST(QuantileEdgesLarge, MatchFullSort) {
  std::mt19937_64 rng(17);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> normal;
  const size_t n = 60000;
  std::vector<std::function<double()>> shapes{
      [&] { return unit(rng); },
      [&] { return std::exp(40.0 * normal(rng)); },
      [&] { return static_cast<double>(rng() % 3) - 1.0; },
      [&] { return rng() % 2 ? 0.0 : -0.0; },
      [&] { return rng() % 100 == 0 ? 1e308 : -1e308 * unit(rng); },
      [&] { return rng() % 10 == 0 ? std::nan("") : normal(rng) * 1e-300; },
      [&] { return 7.0; },
  };
  for (size_t s = 0; s < shapes.size(); ++s) {
    std::vector<double> values(n);
    for (double& v : values) v = shapes[s]();
    for (const uint64_t n_bins : {2u, 8u, 33u, 255u, 1000u}) {
      const std::vector<double> edges = quantile_edges(values, n_bins);
      EXPECT_TRUE(same_bits(edges, sorted_reference_edges(values, n_bins)))
          << "shape " << s << " n_bins " << n_bins;
      if (edges.empty()) continue;
      // The bucket table codes like counting the edges, within the range it is given or not.
      const auto [lo, hi] = std::minmax_element(edges.begin(), edges.end());
      std::vector<uint16_t> codes(values.size());
      BinCoder(edges, *lo, *hi).code_all(values, codes.data(), 1, kMissing);
      size_t wrong = 0;
      for (size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        if (codes[i] != (std::isfinite(v) ? bin_code(edges, v) : kMissing)) ++wrong;
      }
      EXPECT_EQ(wrong, 0u) << "shape " << s << " n_bins " << n_bins;
    }
  }
}

}  // namespace
}  // namespace ornik
