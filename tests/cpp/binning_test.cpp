#include "binning.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace ornik {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

BinnedData ok(std::variant<BinnedData, std::string> result) {
  if (const auto* error = std::get_if<std::string>(&result)) {
    ADD_FAILURE() << "unexpected error: " << *error;
    return {};
  }
  return std::move(std::get<BinnedData>(result));
}

std::string error_of(const std::variant<BinnedData, std::string>& result) {
  const auto* error = std::get_if<std::string>(&result);
  return error ? *error : std::string("<no error>");
}

struct NumericCase {
  const char* name;
  std::vector<double> values;
  uint64_t n_bins;
  std::vector<double> edges;
  std::vector<uint16_t> codes;
};

class NumericBinning : public ::testing::TestWithParam<NumericCase> {};

TEST_P(NumericBinning, EdgesAndCodes) {
  const NumericCase& c = GetParam();
  const std::vector<Column> columns{Column::numeric(c.values)};
  const BinnedData data = ok(BinnedData::fit(columns, c.n_bins));
  ASSERT_EQ(data.features.size(), 1u);
  const FeatureBins& bins = data.features[0];
  EXPECT_TRUE(bins.continuous);
  EXPECT_TRUE(bins.categories.empty());
  EXPECT_EQ(bins.edges, c.edges);
  EXPECT_EQ(bins.n_bins, c.edges.size() + 1);
  EXPECT_EQ(data.feature_codes(0), c.codes);
  EXPECT_EQ(data.n_rows, c.values.size());
}

constexpr uint16_t kM = MISSING_CODE;
const NumericCase kNumericCases[] = {
    {"unsorted_input", {4, 1, 3, 2}, 4, {2, 3, 4}, {3, 0, 2, 1}},
    {"non_finite_missing", {kNaN, 1, kInf, -kInf, 2}, 2, {2}, {kM, 0, kM, kM, 1}},
    {"zero_bins", {3, 1, kNaN, 2}, 0, {}, {0, 0, kM, 0}},
    {"all_missing", {kNaN, kInf}, 8, {}, {kM, kM}},
    // A huge bin count on a column without a finite value is one bin.
    {"all_missing_huge_bin_count", {kNaN, -kInf}, uint64_t{1} << 40, {}, {kM, kM}},
    {"more_bins_than_values", {2, 1}, 5, {1, 1, 2, 2}, {4, 2}}};
INSTANTIATE_TEST_SUITE_P(Cases, NumericBinning, ::testing::ValuesIn(kNumericCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Binning, SortedCategoriesAndMixedFeaturesInOrder) {
  const std::vector<Column> columns{Column::categories({7, 3, 7, MISSING_CATEGORY}),
                                    Column::numeric({0.5, kNaN, 1.5, 1.5}),
                                    Column::categories(std::vector<uint32_t>(4, MISSING_CATEGORY))};
  const BinnedData data = ok(BinnedData::fit(columns, 2));
  ASSERT_EQ(data.features.size(), 3u);
  EXPECT_EQ(data.n_rows, 4u);
  const FeatureBins &cat = data.features[0], &num = data.features[1], &none = data.features[2];
  EXPECT_TRUE(!cat.continuous && cat.edges.empty() && cat.n_bins == 2);
  EXPECT_EQ(cat.categories, (std::vector<uint32_t>{3, 7}));
  EXPECT_EQ(data.feature_codes(0), (std::vector<uint16_t>{1, 0, 1, MISSING_CODE}));
  EXPECT_TRUE(num.continuous);
  EXPECT_EQ(num.edges, (std::vector<double>{1.5}));
  EXPECT_EQ(data.feature_codes(1), (std::vector<uint16_t>{0, MISSING_CODE, 1, 1}));
  EXPECT_TRUE(!none.continuous && none.n_bins == 0 && none.categories.empty());
  EXPECT_EQ(data.feature_codes(2), std::vector<uint16_t>(4, MISSING_CODE));
}

// A numeric column of `rows` copies of v (every column of a matrix has the same rows).
Column num(double v, size_t rows = 1) {
  return Column::numeric(std::vector<double>(rows, v));
}

// Labels 0, 3, 6, ... given in descending order, so codes must come from the sorted order.
Column spread(size_t count) {
  std::vector<uint32_t> labels(count);
  for (size_t i = 0; i < count; ++i) labels[i] = static_cast<uint32_t>(3 * (count - 1 - i));
  return Column::categories(std::move(labels));
}

TEST(BinningLimits, LargestCategoryCountAccepted) {
  const std::vector<Column> columns{spread(65535)};
  const BinnedData data = ok(BinnedData::fit(columns, 2));
  EXPECT_EQ(data.features[0].n_bins, 65535u);
  ASSERT_EQ(data.feature_codes(0).size(), 65535u);
  EXPECT_EQ(data.feature_codes(0).front(), 65534);
  EXPECT_EQ(data.feature_codes(0).back(), 0);
}

// Codes take one byte each until a feature has more bins than that holds: then the features
// coded before it keep their codes, missing ones included, at two bytes.
TEST(Binning, ManyCategoriesWidenTheCodesBeforeThem) {
  const size_t rows = 300;
  std::vector<Column> numeric;
  for (size_t j = 0; j < 5; ++j) {
    std::vector<double> values(rows);
    for (size_t i = 0; i < rows; ++i) values[i] = (i + j) % 4 == 0 ? kNaN : double(i % (7 + j));
    numeric.push_back(Column::numeric(std::move(values)));
  }
  const BinnedData narrow = ok(BinnedData::fit(numeric, 8));
  ASSERT_TRUE(std::holds_alternative<CodeMatrix<uint8_t>>(narrow.codes));
  std::vector<Column> columns = numeric;
  columns.insert(columns.begin() + 4, spread(rows));
  const BinnedData data = ok(BinnedData::fit(columns, 8));
  ASSERT_TRUE(std::holds_alternative<CodeMatrix<uint16_t>>(data.codes));
  for (size_t j = 0; j < 5; ++j) {
    EXPECT_EQ(data.feature_codes(j < 4 ? j : 5), narrow.feature_codes(j)) << j;
    EXPECT_EQ(narrow.feature_codes(j)[0] == MISSING_CODE, j % 4 == 0) << j;
  }
}

TEST(BinningLimits, LargestNumericBinCountAccepted) {
  const std::vector<Column> columns{Column::numeric({3, 1, 2, kNaN})};
  const BinnedData data = ok(BinnedData::fit(columns, 65535));
  EXPECT_EQ(data.features[0].edges.size(), 65534u);
  EXPECT_EQ(data.features[0].n_bins, 65535u);
  EXPECT_EQ(data.feature_codes(0), (std::vector<uint16_t>{65534, 21844, 43689, MISSING_CODE}));
}

struct LimitCase {
  const char* name;
  uint64_t n_bins;
  std::string message;  // and then "exceed fast-mode limit"
  std::vector<Column> columns;
};

class BinningLimitError : public ::testing::TestWithParam<LimitCase> {};

TEST_P(BinningLimitError, Message) {
  const LimitCase& c = GetParam();
  EXPECT_EQ(error_of(BinnedData::fit(c.columns, c.n_bins)), c.message + " exceed fast-mode limit");
}

const uint64_t k2To40 = uint64_t{1} << 40;
const LimitCase kLimitCases[] = {
    {"numeric_65536_bins", 65536, "feature 0: 65536 continuous bins", {Column::numeric({1, 2})}},
    // Must fail from the count alone: building 2**40 - 1 edges would exhaust memory.
    {"numeric_2_pow_40_bins", k2To40, "feature 0: 1099511627776 continuous bins", {num(1)}},
    {"categories_65536", 2, "feature 0: 65536 categories", {spread(65536)}},
    {"names_failing_feature",
     70000,
     "feature 2: 70000 continuous bins",
     {Column::categories({1, 2}), num(kNaN, 2), num(4, 2)}},
    {"first_fails",
     2,
     "feature 1: 65537 categories",
     {num(0, 65537), spread(65537), num(1, 65537)}},
    {"first_fails_numeric",
     100000,
     "feature 0: 100000 continuous bins",
     {num(0, 65536), spread(65536)}}};
INSTANTIATE_TEST_SUITE_P(Cases, BinningLimitError, ::testing::ValuesIn(kLimitCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A freed large buffer comes back for the next request of its size; a request of another size
// first releases kept bytes, so that kept and used bytes never exceed the most used at once.
TEST(LargeBuffers, KeptForTheSameSizeAndReleasedForAnother) {
  constexpr size_t kMiB = size_t{1} << 20;
  const size_t size = 3 * kMiB + 1;  // takes two 2 MiB pages
  void* first = allocate_large(size);
  const size_t before = kept_large_bytes();
  free_large(first, size);
  const size_t kept_after_free = kept_large_bytes();
  void* again = allocate_large(size);
  // (The address sanitizer's build keeps nothing, and holds freed memory back from reuse.)
  if (again != first && kept_after_free == before) GTEST_SKIP() << "this build keeps no buffers";
  EXPECT_EQ(kept_after_free, before + 4 * kMiB);
  EXPECT_EQ(again, first);
  EXPECT_EQ(kept_large_bytes(), before);
  free_large(again, size);
  const size_t kept = kept_large_bytes();
  void* other = allocate_large(6 * kMiB);
  EXPECT_LE(kept_large_bytes(), kept > 6 * kMiB ? kept - 6 * kMiB : 0);
  free_large(other, 6 * kMiB);
}

}  // namespace
}  // namespace ornik
