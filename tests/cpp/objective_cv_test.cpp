#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "task_scoring.hpp"

namespace ornik {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One fold: training part 6 x class 0 and 4 x class 1, validation part 3 x class 0 and
// 2 x class 1. Left of the split: training {5, 1}, validation {3, 0}; right: {1, 3} and {0, 2}.
// The baseline predicts 0 and scores 0.6; the split predicts 0 | 1 and scores 1.0.
const std::vector<ClassLabel> kY{0, 0, 0, 0, 0, 1, 0, 1, 1, 1,  // training rows 0-9
                                 0, 0, 0, 1, 1};                // validation rows 10-14
const Fold kFold{{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {10, 11, 12, 13, 14}};

std::vector<FoldStats> score_accuracy(const Column& column, bool ordered,
                                      const std::vector<StateCode>& states,
                                      const std::vector<Fold>& folds,
                                      const std::vector<ClassLabel>& y, uint64_t n_bins) {
  const ObjectiveClassification task{std::make_unique<Accuracy>(), 2, Gini(2)};
  return score_states_strict(task, column, ordered, states, folds, y, n_bins);
}

TEST(ObjectiveCv, WorkedFoldCategorical) {
  // Label 1 marks the left side. Rows 15 and 16 carry class indices outside the class range and
  // are not counted anywhere. The second fold has no training part and gives no score.
  const Column col = Column::categories({1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 1, 1, 1, 2, 2, 1, 2});
  std::vector<ClassLabel> y = kY;
  y.push_back(5);
  y.push_back(9);
  Fold fold = kFold;
  fold.train.push_back(16);
  fold.val.push_back(15);
  const std::vector<Fold> folds{fold, Fold{{}, {0}}};
  const std::vector<StateCode> states{1, 2, 4};
  const std::vector<FoldStats> out = score_accuracy(col, false, states, folds, y, 16);
  ASSERT_EQ(out.size(), 3u);
  ASSERT_EQ(out[0].scores.size(), 1u);
  EXPECT_DOUBLE_EQ(out[0].scores[0], 0.4);
  EXPECT_EQ(out[0].n_folds, 2u);
  // The mirrored state gives the same split.
  ASSERT_EQ(out[1].scores.size(), 1u);
  EXPECT_DOUBLE_EQ(out[1].scores[0], 0.4);
  // No row carries label 4: the left side is empty.
  EXPECT_EQ(out[2].n_valid, 0u);
  EXPECT_EQ(out[2].mean, -std::numeric_limits<double>::infinity());
}

TEST(ObjectiveCv, WorkedFoldOrderedWithMissingRight) {
  // Training values: six 1s (left) and four 2s; n_bins = 10 gives edges
  // [1, 1, 1, 1, 1, 2, 2, 2, 2], so 1 codes 5 and 2 codes 9. A NaN validation row goes right.
  const Column col = Column::numeric({1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 1, 1, 1, kNaN, 2});
  const std::vector<Fold> folds{kFold};
  const std::vector<StateCode> states{4, 5, 9};
  const std::vector<FoldStats> out = score_accuracy(col, true, states, folds, kY, 10);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].n_valid, 0u);  // nothing left
  ASSERT_EQ(out[1].scores.size(), 1u);
  EXPECT_DOUBLE_EQ(out[1].scores[0], 0.4);
  EXPECT_EQ(out[2].n_valid, 0u);  // every training row left
}

TEST(ObjectiveCv, SameMajoritiesAsBaselineScoreZero) {
  // Both sides' training majority is class 0, like the baseline's.
  const Column col = Column::categories({1, 1, 2, 2, 1, 2});
  const std::vector<ClassLabel> y{0, 0, 0, 1, 1, 0};
  const std::vector<Fold> folds{{{0, 1, 2, 3}, {4, 5}}};
  const std::vector<StateCode> states{1};
  const std::vector<FoldStats> out = score_accuracy(col, false, states, folds, y, 4);
  ASSERT_EQ(out[0].scores.size(), 1u);
  EXPECT_EQ(out[0].scores[0], 0.0);
}

}  // namespace
}  // namespace ornik
