#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "sorted_feature.hpp"

namespace ornik {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct StatesCase {
  const char* name;
  Column column;
  std::vector<size_t> rows;
  uint64_t n_bins;
  std::vector<StateCode> states;
};

class PresentStates : public testing::TestWithParam<StatesCase> {};

TEST_P(PresentStates, DistinctAscending) {
  const StatesCase& c = GetParam();
  EXPECT_EQ(present_states(c.column, c.rows, c.n_bins), c.states);
}

const Column kNumbers = Column::numeric({1, 2, 3, 4, 100, 200, kNaN, -kInf});

INSTANTIATE_TEST_SUITE_P(
    Candidate, PresentStates,
    testing::Values(
        // Raw labels, not their positions among the categories.
        StatesCase{"categorical_raw_labels",
                   Column::categories({7, 3, 7, MISSING_CATEGORY}),
                   {0, 1, 2, 3},
                   4,
                   {3, 7}},
        StatesCase{
            "categorical_listed_rows_only", Column::categories({7, 3, 7, 9}), {2, 0}, 4, {7}},
        StatesCase{"categorical_all_missing", Column::categories({MISSING_CATEGORY}), {0}, 4, {}},
        StatesCase{"numeric_all_nan", Column::numeric({kNaN, kNaN, kInf}), {0, 1, 2}, 4, {}},
        // Node rows 1..4 (plus missing ones) give edges [2, 3, 4].
        StatesCase{"numeric_node_edges", kNumbers, {3, 6, 2, 1, 0, 7}, 4, {0, 1, 2, 3}},
        // Rows {100, 200} alone give edges [100, 200, 200]: codes 1 and 3.
        StatesCase{"numeric_other_node", kNumbers, {5, 4}, 4, {1, 3}},
        StatesCase{"numeric_one_bin", kNumbers, {0, 4, 6}, 1, {0}},
        // With 2**40 bins the codes of 1 and 2 are 2**39 - 1 and 2**40 - 1.
        StatesCase{"numeric_huge_bins",
                   kNumbers,
                   {1, 0},
                   uint64_t{1} << 40,
                   {(uint64_t{1} << 39) - 1, (uint64_t{1} << 40) - 1}},
        StatesCase{"no_rows", kNumbers, {}, 4, {}}),
    [](const testing::TestParamInfo<StatesCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ornik
