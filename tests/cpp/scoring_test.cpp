// Criteria, aggregators, objectives and fold summaries on the cases that pin their arithmetic.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

#include "aggregation.hpp"
#include "criterion.hpp"
#include "fold_stats.hpp"
#include "objective.hpp"
#include "selector.hpp"

namespace ornik {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(Criterion, RegressionValues) {
  const Mse mse;
  const Variance variance;
  const Mae mae;
  for (const RegressionCriterion* c :
       std::initializer_list<const RegressionCriterion*>{&mse, &variance, &mae}) {
    EXPECT_DOUBLE_EQ(c->impurity(std::vector<double>{1, 2, 3, 4}), c == &mae ? 1.0 : 1.25);
    EXPECT_EQ(c->impurity(std::vector<double>{5.0}), 0.0) << c->name();
    EXPECT_EQ(c->impurity(std::vector<double>{}), 0.0) << c->name();
  }
}

TEST(Criterion, CancellationNeverNegative) {
  const std::vector<double> y(7, 0.1 + 1e8);
  EXPECT_EQ(std::bit_cast<uint64_t>(Mse().impurity(y)), 0u);  // +0.0, never -0.0 or below
}

TEST(Criterion, GiniSumsSquaresBeforeSubtracting) {
  // 1 - (p0^2 + p1^2 + p2^2) rounds differently from ((1 - p0^2) - p1^2) - p2^2.
  const std::vector<ClassLabel> y{0, 1, 1, 2, 2, 2, 2};
  double s = 0.0;
  for (const double c : {1.0, 2.0, 4.0}) s += (c / 7.0) * (c / 7.0);
  EXPECT_EQ(Gini(3).impurity(y), 1.0 - s);
}

TEST(Criterion, ClassValues) {
  // Labels, class count, Gini, entropy. A label beyond the classes is in no class but in n.
  const std::tuple<std::vector<ClassLabel>, size_t, double, double> cases[] = {
      {{0, 0, 1, 1}, 2, 0.5, 1.0},
      {{0, 0, 1, 1}, 3, 0.5, 1.0},
      {{0, 0, 0}, 2, 0.0, 0.0},
      {{0, 5, 0, 5, 0, 5}, 2, 0.75, 0.5},
      {{}, 2, 0.0, 0.0}};
  for (const auto& [labels, k, gini, entropy] : cases) {
    EXPECT_DOUBLE_EQ(Gini(k).impurity(labels), gini) << labels.size() << " labels";
    EXPECT_DOUBLE_EQ(Entropy(k).impurity(labels), entropy) << labels.size() << " labels";
  }
}

TEST(FoldStats, Summaries) {
  const FoldStats s = FoldStats::from_scores({4, 1, 3, 2}, 5);
  EXPECT_EQ(std::tuple(s.mean, s.median, s.std, s.n_valid, s.n_folds),
            std::tuple(2.5, 2.5, std::sqrt(1.25), size_t{4}, size_t{5}));
  EXPECT_EQ(s.scores, (std::vector<double>{4, 1, 3, 2}));  // kept unsorted
  const FoldStats one = FoldStats::from_scores({0.3}, 1);
  EXPECT_EQ(std::tuple(one.mean, one.median, one.std), std::tuple(0.3, 0.3, 0.0));
  const FoldStats none = FoldStats::from_scores({}, 3);
  EXPECT_EQ(std::tuple(none.mean, none.median, none.std, none.n_folds),
            std::tuple(-kInf, -kInf, 0.0, size_t{3}));
}

TEST(FoldStats, MedianUsesTotalOrder) {
  // -0.0 sorts before +0.0, so the upper middle of {+0, -0} is +0 and their mean is +0.
  EXPECT_TRUE(std::signbit(FoldStats::from_scores({0.0, -0.0, -0.0}, 3).median));
  EXPECT_FALSE(std::signbit(FoldStats::from_scores({0.0, -0.0, 0.0}, 3).median));
}

double agg(const Aggregator& a, std::vector<double> scores) {
  return a.aggregate(FoldStats::from_scores(std::move(scores), 5));
}

TEST(Aggregator, EmptyScoresNeverWin) {
  for (const AggregatorEntry& e : aggregators()) {
    EXPECT_EQ(agg(*e.make({0.2, 0.0, 1.0}), {}), -kInf) << e.name;
  }
}

TEST(Aggregator, WorkedValues) {
  EXPECT_EQ(agg(Mean(), {0.5, 0.5, 0.5}), 0.5);
  EXPECT_EQ(agg(Median(), {0.5, 0.5, 0.5}), 0.5);
  EXPECT_EQ(agg(TrimmedMean(0.3), {0.5, 0.5, 0.5}), 0.5);
  EXPECT_EQ(agg(MeanMinusLambdaStd(7.0), {0.5, 0.5, 0.5}), 0.5);
  EXPECT_EQ(agg(SignalToNoise(0.25), {0.5, 0.5, 0.5}), 2.0);
  EXPECT_EQ(agg(SignalToNoise(0.0), {-1, -3}), -2.0);
  EXPECT_EQ(agg(MeanMinusLambdaStd(-1.0), {0, 2}), 2.0);
  EXPECT_EQ(agg(TrimmedMean(0.2), {5, 1, 4, 2, 3}), 3.0);
  EXPECT_EQ(agg(TrimmedMean(0.5), {1, 2, 10, 20}), 6.0);
  EXPECT_TRUE(std::isnan(agg(SignalToNoise(0.0), {0.0, 0.0})));
}

TEST(Aggregator, TrimmedMeanSaturatesItsCount) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const double frac : {0.0, -3.0, nan}) {
    // Summed in ascending order, like every trimmed mean.
    EXPECT_EQ(agg(TrimmedMean(frac), {0.3, 0.1, 0.2}), ((0.1 + 0.2) + 0.3) / 3.0) << frac;
  }
  EXPECT_EQ(agg(TrimmedMean(1e300), {9.0}), 9.0);
  EXPECT_EQ(agg(TrimmedMean(kInf), {1, 2, 3, 4, 5}), 3.0);
}

TEST(Confusion, AddGroupBooksHitsAndMisses) {
  Confusion c = Confusion::zero(2);
  c.add_group(1, std::span<const uint64_t>(std::vector<uint64_t>{3, 5}));
  using Counts = std::vector<double>;
  EXPECT_EQ(std::tuple(c.tp, c.fn, c.fp, c.support),
            std::tuple(Counts{0, 5}, Counts{3, 0}, Counts{0, 3}, Counts{3, 5}));
  EXPECT_EQ(c.total, 8u);
  EXPECT_EQ(Accuracy().score(c), 0.625);
  // A prediction outside the classes books misses but no false positive.
  Confusion d = Confusion::zero(2);
  d.add_group(7, std::span<const uint64_t>(std::vector<uint64_t>{2, 1}));
  EXPECT_EQ(std::tuple(d.fn, d.fp), std::tuple(Counts{2, 1}, Counts{0, 0}));
}

Confusion three_class() {
  // Class 0: 4 samples, 3 right; class 1: 2 samples, both predicted 0; class 2 absent.
  Confusion c = Confusion::zero(3);
  c.add_group(0, std::span<const uint64_t>(std::vector<uint64_t>{3, 2, 0}));
  c.add_group(1, std::span<const uint64_t>(std::vector<uint64_t>{1, 0, 0}));
  return c;
}

TEST(Objective, Averages) {
  const Confusion c = three_class();  // tp {3,0,0} fp {2,1,0} fn {1,2,0} support {4,2,0}
  EXPECT_EQ(Precision(Average::Binary, 0).score(c), 3.0 / 5.0);
  EXPECT_EQ(Precision(Average::Binary, 5).score(c), 0.0);
  EXPECT_EQ(Recall(Average::Micro, 0).score(c), 3.0 / 6.0);
  EXPECT_EQ(Recall(Average::Macro, 0).score(c), (0.75 + 0.0 + 0.0) / 3.0);
  EXPECT_EQ(F1(Average::Weighted, 0).score(c), ((3.0 + 3.0) / 9.0 * 4.0 + 0.0 * 2.0) / 6.0);
  EXPECT_EQ(Accuracy().score(Confusion::zero(2)), 0.0);
  EXPECT_EQ(F1(Average::Macro, 0).score(Confusion::zero(0)), 0.0);
}

TEST(Objective, FBetaLimits) {
  const Confusion c = three_class();
  EXPECT_EQ(FBeta(Average::Binary, 0, 0.0).score(c), Precision(Average::Binary, 0).score(c));
  EXPECT_NEAR(FBeta(Average::Binary, 0, 1.0).score(c), F1(Average::Binary, 0).score(c), 1e-15);
  EXPECT_NEAR(FBeta(Average::Binary, 0, 1e6).score(c), Recall(Average::Binary, 0).score(c), 1e-9);
}

TEST(Objective, MajorityClass) {
  EXPECT_EQ(majority_class(std::span<const uint64_t>(std::vector<uint64_t>{2, 5, 5})), 1u);
  EXPECT_EQ(majority_class(std::span<const uint64_t>(std::vector<uint64_t>{0, 0})), 0u);
}

ScoredCandidate cand(size_t feature, StateCode state, double score) {
  return ScoredCandidate{FoldStats{}, feature, state, score};
}

TEST(Selector, SkipsNonFiniteAndKeepsFirstOfTies) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<ScoredCandidate> c{cand(0, 1, nan), cand(0, 2, kInf), cand(1, 0, 0.5),
                                 cand(1, 3, 0.5), cand(2, 0, 0.25), cand(3, 1, -kInf)};
  EXPECT_EQ(select_best(c), std::optional<size_t>(2));
  std::vector<ScoredCandidate> none{cand(0, 0, nan), cand(1, 0, -kInf)};
  EXPECT_FALSE(select_best(none).has_value());
}

}  // namespace
}  // namespace ornik
