#include "histogram.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "binning.hpp"
#include "criterion.hpp"
#include "objective.hpp"

namespace ornik {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

const Mean kAggregator;

// One node of a feature: codes of every training row, and the node's rows with their folds.
struct Node {
  std::vector<uint16_t> codes;
  size_t n_bins = 0;
  FoldAssignment folds;
  mutable BlockFeature storage;

  FastBlock block(size_t index, bool ordered) const {
    return single_feature_block(FastFeature{codes, n_bins, index, ordered}, storage);
  }
};

Node make_node(std::vector<uint16_t> codes, size_t n_bins, std::vector<uint8_t> fold_of,
               size_t n_folds) {
  Node node;
  node.codes = std::move(codes);
  node.n_bins = n_bins;
  for (size_t r = 0; r < node.codes.size(); ++r) {
    node.folds.order.push_back(static_cast<uint32_t>(r));
  }
  node.folds.fold_of = std::move(fold_of);
  node.folds.n_folds = n_folds;
  return node;
}

// The three scans of one node, so that the structural cases run against each of them.
enum class Task { Regression, Gini, Entropy, Objective };

std::string task_name(Task task) {
  switch (task) {
    case Task::Regression:
      return "regression";
    case Task::Gini:
      return "gini";
    case Task::Entropy:
      return "entropy";
    case Task::Objective:
      return "objective";
  }
  return "";
}

std::vector<ScoredCandidate> scan(Task task, const Node& node, bool ordered, size_t n_classes = 2) {
  FastScratch scratch;
  const FastBlock block = node.block(0, ordered);
  std::vector<double> y_reg;
  std::vector<ClassLabel> y_cls;
  for (size_t r = 0; r < node.codes.size(); ++r) {
    y_reg.push_back(static_cast<double>(r * r));
    y_cls.push_back(r % 2);
  }
  switch (task) {
    case Task::Regression:
      return score_block_fast_regression(block, y_reg, {}, node.folds, Mse(), kAggregator, scratch);
    case Task::Gini:
      return score_block_fast_classification(block, y_cls, {}, node.folds, Gini(n_classes),
                                             kAggregator, scratch);
    case Task::Entropy:
      return score_block_fast_classification(block, y_cls, {}, node.folds, Entropy(n_classes),
                                             kAggregator, scratch);
    case Task::Objective:
      return score_block_fast_objective(block, y_cls, {}, node.folds, Accuracy(), n_classes,
                                        kAggregator, scratch);
  }
  return {};
}

struct ShapeCase {
  const char* name;
  std::vector<uint16_t> codes;
  size_t n_bins;
  size_t n_folds;
  bool ordered;
  size_t n_classes;
  std::vector<size_t> bins;  // the candidates expected, each without any fold score
};

class ScanShape : public ::testing::TestWithParam<std::tuple<Task, ShapeCase>> {};

TEST_P(ScanShape, CandidatesWithoutScores) {
  const auto& [task, c] = GetParam();
  std::vector<uint8_t> fold_of;
  for (size_t p = 0; p < c.codes.size(); ++p) {
    fold_of.push_back(static_cast<uint8_t>(c.n_folds == 0 ? 0 : p % c.n_folds));
  }
  const Node node = make_node(c.codes, c.n_bins, fold_of, c.n_folds);
  const auto got = scan(task, node, c.ordered, c.n_classes);
  ASSERT_EQ(got.size(), c.bins.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].state, c.bins[i]);
    EXPECT_EQ(got[i].stats.n_valid, 0u);
    EXPECT_EQ(got[i].stats.n_folds, c.n_folds);
    EXPECT_EQ(got[i].score, -kInf);
  }
}

const uint16_t M = MISSING_CODE;

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanShape,
    ::testing::Combine(
        ::testing::Values(Task::Regression, Task::Gini, Task::Entropy, Task::Objective),
        ::testing::Values(
            ShapeCase{"one_inner_bin_threshold", {1, 1, 1, 1, M, 4}, 3, 2, true, 2, {1}},
            ShapeCase{"one_inner_bin_membership", {1, 1, 1, 1, M, 4}, 3, 2, false, 2, {1}},
            ShapeCase{"last_bin_threshold", {2, 2, 2, 2, M}, 3, 2, true, 2, {}},
            ShapeCase{"last_bin_membership", {2, 2, 2, 2, M}, 3, 2, false, 2, {2}},
            ShapeCase{"one_category", {0, 0, 0, 0, 0, 0}, 1, 3, false, 2, {0}},
            ShapeCase{"all_missing", {M, M, M, M}, 3, 2, false, 2, {}},
            ShapeCase{"all_out_of_range", {3, 5, 3}, 3, 2, true, 2, {}},
            ShapeCase{"no_folds", {0, 1, 0, 1}, 2, 0, false, 2, {}},
            ShapeCase{"no_bins", {0, 1, 0, 1}, 0, 2, false, 2, {}})),
    [](const auto& info) {
      return task_name(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
    });

TEST(ScanShape, NoClassesGivesNoCandidates) {
  const Node node = make_node({0, 1, 0, 1}, 2, {0, 0, 1, 1}, 2);
  for (const Task task : {Task::Gini, Task::Entropy, Task::Objective}) {
    EXPECT_TRUE(scan(task, node, false, 0).empty());
  }
}

}  // namespace
}  // namespace ornik
