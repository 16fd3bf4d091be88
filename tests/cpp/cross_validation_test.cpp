#include "cross_validation.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "task_scoring.hpp"

namespace ornik {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;

std::vector<size_t> iota_from(size_t first, size_t n) {
  std::vector<size_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

// Fisher-Yates over the draws pinned below, seeded with seed ^ (n * golden).
std::vector<size_t> reference_shuffle(std::vector<size_t> items, uint64_t seed) {
  uint64_t state = seed ^ (items.size() * kGolden);
  for (size_t i = items.size(); i >= 2; --i)
    std::swap(items[i - 1], items[splitmix64_next(state) % i]);
  return items;
}

TEST(SplitMix64, FirstDrawsFromZero) {
  uint64_t state = 0;
  EXPECT_EQ(splitmix64_next(state), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(splitmix64_next(state), 0x6E789E6AA1B965F4ull);
  EXPECT_EQ(splitmix64_next(state), 0x06C45D188009454Full);
}

struct SizeCase {
  size_t n;
  size_t n_folds;
  std::vector<size_t> sizes;
};

class FoldSizes : public testing::TestWithParam<std::tuple<SizeCase, bool>> {};

// Folds are consecutive blocks of one permutation, drawn from the node size and the seed alone;
// train is the rest, before then after. An empty node has no folds.
TEST_P(FoldSizes, BlocksOfOnePermutation) {
  const auto& [c, shuffle] = GetParam();
  const KFold kf{c.n_folds, 12345, shuffle};
  const std::vector<size_t> input = iota_from(100, c.n);
  const std::vector<size_t> perm = shuffle ? reference_shuffle(input, 12345) : input;
  const std::vector<Fold> folds = kf.folds(input);
  ASSERT_EQ(folds.size(), c.sizes.size());
  size_t begin = 0;
  for (size_t f = 0; f < folds.size(); ++f) {
    const size_t end = begin + c.sizes[f];
    EXPECT_EQ(folds[f].val, std::vector<size_t>(perm.begin() + begin, perm.begin() + end));
    std::vector<size_t> train(perm.begin(), perm.begin() + begin);
    train.insert(train.end(), perm.begin() + end, perm.end());
    EXPECT_EQ(folds[f].train, train);
    begin = end;
  }

  const std::vector<uint32_t> input32(input.begin(), input.end());
  const FoldAssignment a = kf.assign(input32);
  ASSERT_EQ(a.n_folds, c.sizes.size());
  EXPECT_TRUE(std::ranges::equal(a.order, perm));
  std::vector<uint8_t> fold_of;
  for (size_t f = 0; f < c.sizes.size(); ++f)
    fold_of.insert(fold_of.end(), c.sizes[f], static_cast<uint8_t>(f));
  EXPECT_TRUE(std::ranges::equal(a.fold_of, fold_of));
}

INSTANTIATE_TEST_SUITE_P(
    KFold, FoldSizes,
    testing::Combine(testing::Values(SizeCase{5, 3, {2, 2, 1}}, SizeCase{2, 10, {1, 1}},
                                     SizeCase{5, 0, {3, 2}}, SizeCase{5, 1, {3, 2}},
                                     SizeCase{10, 4, {3, 3, 2, 2}}, SizeCase{1, 5, {1}},
                                     SizeCase{7, 7, {1, 1, 1, 1, 1, 1, 1}}, SizeCase{0, 5, {}}),
                     testing::Bool()));

TEST(KFold, AssignCapsAt255Folds) {
  const KFold kf{1000, 3, true};
  const std::vector<size_t> rows = iota_from(0, 5000);
  const FoldAssignment a = kf.assign(std::vector<uint32_t>(rows.begin(), rows.end()));
  EXPECT_EQ(a.n_folds, 255u);
  // 5000 = 255 * 19 + 155: the first 155 folds hold 20 samples, the others 19.
  std::vector<uint8_t> fold_of;
  for (size_t f = 0; f < 255; ++f) {
    fold_of.insert(fold_of.end(), f < 155 ? 20 : 19, static_cast<uint8_t>(f));
  }
  EXPECT_TRUE(std::ranges::equal(a.fold_of, fold_of));
  const std::vector<size_t> perm = reference_shuffle(rows, 3);
  EXPECT_TRUE(std::ranges::equal(a.order, perm));
  EXPECT_EQ(kf.folds(rows).size(), 1000u);  // the cap is Fast mode's alone
}

std::vector<StateCode> fold_val_codes(const Column& column, const Fold& fold, uint64_t n_bins) {
  return code_fold_rows(column, std::span<const Fold>(&fold, 1), n_bins, false).val_codes[0];
}

TEST(FoldValCodes, EdgesFromTrainingRowsOnly) {
  // Train values 1..4 give edges [2, 3, 4]; the validation value 10 does not move them.
  const Column col = Column::numeric({1, 2, 3, 4, 10, kNaN, kInf});
  EXPECT_EQ(fold_val_codes(col, Fold{{3, 1, 0, 2}, {4, 5, 0, 1, 6}}, 4),
            (std::vector<StateCode>{3, MISSING_STATE, 0, 1, MISSING_STATE}));
  // A single sample has no edges; a non-finite one is missing.
  EXPECT_EQ(fold_val_codes(Column::numeric({3.5, kNaN, -kInf}), Fold{{}, {0, 1, 2}}, 10),
            (std::vector<StateCode>{0, MISSING_STATE, MISSING_STATE}));
  const Column cat = Column::categories({7, MISSING_CATEGORY, 0xFFFFFFFEu});
  EXPECT_EQ(fold_val_codes(cat, Fold{{0}, {2, 1, 0}}, 4),
            (std::vector<StateCode>{0xFFFFFFFEu, MISSING_STATE, 7}));
}

}  // namespace
}  // namespace ornik
