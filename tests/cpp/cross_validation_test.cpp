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

// Written out from the algorithm description rather than calling the library's generator.
std::vector<size_t> reference_shuffle(std::vector<size_t> items, uint64_t seed) {
  uint64_t state = seed ^ (items.size() * kGolden);
  auto draw = [&state] {
    state += kGolden;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  for (size_t i = items.size(); i >= 2; --i) std::swap(items[i - 1], items[draw() % i]);
  return items;
}

TEST(SplitMix64, FirstDrawsFromZero) {
  uint64_t state = 0;
  EXPECT_EQ(splitmix64_next(state), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(splitmix64_next(state), 0x6E789E6AA1B965F4ull);
  EXPECT_EQ(splitmix64_next(state), 0x06C45D188009454Full);
}

// With seed = n * golden the generator starts from state 0, so the draws above fix the result:
// n = 3: j = d1 % 3 = 1, then d2 % 2 = 0 -> [12, 10, 11].
// n = 4: j = d1 % 4 = 3, d2 % 3 = 0, d3 % 2 = 1 -> [12, 11, 10, 13].
TEST(KFold, ShuffleFromKnownDraws) {
  const KFold three{3, 3 * kGolden, true};
  const std::vector<Fold> folds = three.folds(std::vector<size_t>{10, 11, 12});
  ASSERT_EQ(folds.size(), 3u);
  EXPECT_EQ(folds[0].val, (std::vector<size_t>{12}));
  EXPECT_EQ(folds[1].val, (std::vector<size_t>{10}));
  EXPECT_EQ(folds[2].val, (std::vector<size_t>{11}));
  EXPECT_EQ(folds[1].train, (std::vector<size_t>{12, 11}));

  const KFold four{2, 4 * kGolden, true};
  const FoldAssignment a = four.assign(std::vector<uint32_t>{10, 11, 12, 13});
  EXPECT_EQ(a.order, (std::vector<uint32_t>{12, 11, 10, 13}));
}

struct SizeCase {
  size_t n;
  size_t n_folds;
  std::vector<size_t> sizes;
};

class FoldSizes : public testing::TestWithParam<std::tuple<SizeCase, bool>> {};

// Folds are consecutive blocks of one permutation; train is the rest, before then after.
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
  EXPECT_EQ(a.order, std::vector<uint32_t>(perm.begin(), perm.end()));
  std::vector<uint8_t> fold_of;
  for (size_t f = 0; f < c.sizes.size(); ++f)
    fold_of.insert(fold_of.end(), c.sizes[f], static_cast<uint8_t>(f));
  EXPECT_EQ(a.fold_of, fold_of);
}

INSTANTIATE_TEST_SUITE_P(
    KFold, FoldSizes,
    testing::Combine(testing::Values(SizeCase{5, 3, {2, 2, 1}}, SizeCase{2, 10, {1, 1}},
                                     SizeCase{5, 0, {3, 2}}, SizeCase{5, 1, {3, 2}},
                                     SizeCase{10, 4, {3, 3, 2, 2}}, SizeCase{1, 5, {1}},
                                     SizeCase{7, 7, {1, 1, 1, 1, 1, 1, 1}}),
                     testing::Bool()));

TEST(KFold, AssignCapsAt255Folds) {
  const KFold kf{1000, 3, true};
  std::vector<uint32_t> rows(5000);
  std::iota(rows.begin(), rows.end(), 0u);
  const FoldAssignment a = kf.assign(rows);
  EXPECT_EQ(a.n_folds, 255u);
  // 5000 = 255 * 19 + 155: the first 155 folds hold 20 samples, the others 19.
  std::vector<size_t> count(256, 0);
  for (const uint8_t f : a.fold_of) ++count[f];
  EXPECT_EQ(count[0], 20u);
  EXPECT_EQ(count[154], 20u);
  EXPECT_EQ(count[155], 19u);
  EXPECT_EQ(count[254], 19u);
  EXPECT_EQ(count[255], 0u);
  EXPECT_TRUE(std::is_sorted(a.fold_of.begin(), a.fold_of.end()));
  std::vector<uint32_t> sorted = a.order;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, rows);

  EXPECT_EQ((KFold{1000, 3, true}.folds(iota_from(0, 5000)).size()), 1000u);
}

TEST(KFold, SameSizeNodesShareThePattern) {
  const KFold kf{3, 99, true};
  const std::vector<Fold> a = kf.folds(iota_from(0, 9));
  const std::vector<Fold> b = kf.folds(iota_from(50, 9));
  for (size_t f = 0; f < a.size(); ++f) {
    for (size_t i = 0; i < a[f].val.size(); ++i) EXPECT_EQ(a[f].val[i] + 50, b[f].val[i]);
  }
  const KFold other_seed{3, 100, true};
  EXPECT_NE(a[0].val, other_seed.folds(iota_from(0, 9))[0].val);
}

TEST(KFold, EmptyInput) {
  const KFold kf{5, 1, true};
  EXPECT_TRUE(kf.folds({}).empty());
  const FoldAssignment a = kf.assign({});
  EXPECT_EQ(a.n_folds, 0u);
  EXPECT_TRUE(a.order.empty());
  EXPECT_TRUE(a.fold_of.empty());
}

std::vector<StateCode> fold_val_codes(const Column& column, const Fold& fold, uint64_t n_bins) {
  return code_fold_rows(column, std::span<const Fold>(&fold, 1), n_bins, false).val_codes[0];
}

TEST(FoldValCodes, SingleSampleHasNoEdges) {
  const Fold fold{{}, {0}};
  EXPECT_EQ(fold_val_codes(Column::numeric({3.5}), fold, 10), (std::vector<StateCode>{0}));
  EXPECT_EQ(fold_val_codes(Column::numeric({kNaN}), fold, 10),
            (std::vector<StateCode>{MISSING_STATE}));
  EXPECT_EQ(fold_val_codes(Column::numeric({-kInf}), fold, 10),
            (std::vector<StateCode>{MISSING_STATE}));
}

TEST(FoldValCodes, EdgesFromTrainingRowsOnly) {
  // Train values 1..4 give edges [2, 3, 4]; the validation value 10 does not move them.
  const Column col = Column::numeric({1, 2, 3, 4, 10, kNaN, kInf});
  const Fold fold{{3, 1, 0, 2}, {4, 5, 0, 1, 6}};
  EXPECT_EQ(fold_val_codes(col, fold, 4),
            (std::vector<StateCode>{3, MISSING_STATE, 0, 1, MISSING_STATE}));

  const Column cat = Column::categories({7, MISSING_CATEGORY, 0xFFFFFFFEu});
  EXPECT_EQ(fold_val_codes(cat, Fold{{0}, {2, 1, 0}}, 4),
            (std::vector<StateCode>{0xFFFFFFFEu, MISSING_STATE, 7}));
}

}  // namespace
}  // namespace ornik
