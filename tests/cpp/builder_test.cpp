// The Strict and Fast builders on small cases worked out by hand, and their invariants.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numeric>
#include <random>
#include <tuple>

#include "binning.hpp"
#include "deferred_subtrees.hpp"
#include "fast_grower.hpp"
#include "parallel.hpp"
#include "tree_builder.hpp"

namespace ornik {
namespace {

// x interleaves both halves so that each unshuffled fold sees both sides of x < 5.
const std::vector<double> kX{1, 8, 2, 7, 3, 6, 4, 5};
const std::vector<double> kY{0, 10, 0, 10, 0, 10, 0, 10};

// Either mode splits the step at x < 5 unless a stopping rule holds.
TEST(Builder, BothModesSplitAStepAtItsHeldOutThresholdUnlessStopped) {
  const std::vector<Column> cols{Column::numeric(kX)};
  const Regression mse{std::make_unique<Mse>()};
  for (const SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    TreeParams p;
    p.mode = mode, p.n_bins = 2, p.cv_folds = 2, p.cv_shuffle = false, p.max_depth = 3;
    const auto grow = [&](std::span<const double> weights = {}) {
      return mode == SplitMode::Strict
                 ? build_tree_strict(mse, p, Mean(), cols, std::span<const double>(kY), weights)
                 : build_tree_fast(mse, p, Mean(),
                                   std::get<BinnedData>(BinnedData::fit(cols, p.n_bins)),
                                   std::span<const double>(kY), weights);
    };
    const NodeList<double> t = grow();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_TRUE(!t[0].is_leaf && t[0].rule.kind == SplitRule::Kind::Numeric);
    EXPECT_TRUE(!t[0].rule.has_lower && t[0].rule.has_upper && t[0].rule.upper == 5.0);
    EXPECT_EQ(t[0].right, 2u);
    EXPECT_TRUE(t[1].payload == 0.0 && t[1].n_samples == 4u);
    EXPECT_TRUE(t[2].payload == 10.0 && t[2].n_samples == 4u);
    p.max_depth = 0;
    // A leaf whose samples all weigh nothing predicts their plain mean.
    const std::vector<double> no_weight(kY.size(), 0.0);
    const NodeList<double> stump = grow(no_weight);
    EXPECT_TRUE(stump.size() == 1 && stump[0].payload == 5.0);
    p.max_depth.reset();
    p.min_samples_split = 9;
    EXPECT_EQ(grow().size(), 1u);
    p.min_samples_split = 0;
    p.min_samples_leaf = 5;  // the only split leaves 4 a side
    EXPECT_EQ(grow().size(), 1u);
    p.min_samples_leaf = 0;
    p.min_impurity_decrease = 25.0;  // the winning score is exactly 25: not strictly above
    EXPECT_EQ(grow().size(), 1u);
  }
}

// Rows of one-byte codes (the rule's feature first), each row's target its original place: the
// rows going left keep their order, those staying follow the swaps, and every row moves whole,
// whichever pieces its swap is made of.
TEST(Builder, PartitionKeepsLeftOrderAndMovesRowsWhole) {
  const std::vector<uint8_t> rule_codes{2, 0, 255, 1, 0, 3};
  for (const size_t stride : {1, 2, 4, 8, 16, 31}) {
    for (const bool ordered : {true, false}) {
      std::vector<uint8_t> codes(6 * stride);
      for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<uint8_t>(i % stride + i);
      for (size_t i = 0; i < 6; ++i) codes[i * stride] = rule_codes[i];
      const std::vector<uint8_t> before = codes;
      std::vector<double> targets{0, 1, 2, 3, 4, 5};
      std::vector<double> weights{0.5, 1.5, 2.5, 3.5, 4.5, 5.5};
      const NodeRows<double, uint8_t> rows{codes.data(), stride, targets.data(), weights.data(), 6};
      ASSERT_EQ(partition_rows(rows, 0, ordered ? 1 : 0, ordered), ordered ? 3u : 2u);
      const std::vector<double> moved =
          ordered ? std::vector<double>{1, 3, 4, 0, 2, 5} : std::vector<double>{1, 4, 2, 3, 0, 5};
      EXPECT_EQ(targets, moved);
      for (size_t i = 0; i < 6; ++i) {
        const size_t from = static_cast<size_t>(targets[i]);
        EXPECT_EQ(weights[i], targets[i] + 0.5);
        EXPECT_TRUE(std::equal(codes.begin() + i * stride, codes.begin() + (i + 1) * stride,
                               before.begin() + from * stride));
      }
    }
  }
}

// Random mixed data with missing values and a regression target, for the stop-rule and hook
// checks.
struct RandomData {
  std::vector<Column> columns;
  std::vector<double> y_reg;

  RandomData(size_t n, size_t p, uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    for (size_t j = 0; j < p; ++j) {
      if (j % 3 == 2) {
        std::vector<uint32_t> labels(n);
        for (auto& l : labels)
          l = rng() % 7 == 0 ? MISSING_CATEGORY : static_cast<uint32_t>(rng() % 5);
        columns.push_back(Column::categories(std::move(labels)));
      } else {
        std::vector<double> v(n);
        for (auto& x : v) x = rng() % 11 == 0 ? std::nan("") : normal(rng);
        columns.push_back(Column::numeric(std::move(v)));
      }
    }
    for (const double a : columns[0].numbers)
      y_reg.push_back((std::isfinite(a) ? a : 0.0) * 3.0 + normal(rng));
  }
};

// Either stop rule makes the same splits when nothing stops (a NaN threshold); each split records
// its winner's summary and the stop score, and the node stays a leaf exactly when that stop
// score is <= min_impurity_decrease.
TEST(Builder, StopRulesShareTheSplitsAndRecordTheirEvidence) {
  const RandomData d(400, 4, 5);
  const MeanMinusLambdaStd aggregator(1.0);
  const Regression reg{std::make_unique<Mse>()};
  for (const SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    for (const FoldScore fold_score : {FoldScore::Impurity, FoldScore::Loss}) {
      TreeParams p;
      p.mode = mode;
      p.max_depth = 3;
      p.fold_score = fold_score;
      p.min_impurity_decrease = std::nan("");
      const BinnedData binned = std::get<BinnedData>(BinnedData::fit(d.columns, p.n_bins));
      auto grow = [&] {
        return mode == SplitMode::Strict
                   ? build_tree_strict(reg, p, aggregator, d.columns,
                                       std::span<const double>(d.y_reg))
                   : build_tree_fast(reg, p, aggregator, binned, std::span<const double>(d.y_reg));
      };
      const NodeList<double> by_score = grow();
      p.stop_rule = StopRule::Selection;
      const NodeList<double> by_selection = grow();
      // The same nodes and evidence, but for the stop score.
      const auto bits = [](double v) { return std::bit_cast<uint64_t>(v); };
      const auto key = [&](const Node<double>& n) {
        const SplitEvidence& e = n.evidence;
        return std::tuple(n.is_leaf, n.right, n.n_samples, n.rule.feature, bits(n.rule.upper),
                          n.rule.category, bits(e.score), bits(e.fold_mean), bits(e.fold_std),
                          e.n_folds);
      };
      ASSERT_EQ(by_score.size(), by_selection.size());
      for (size_t i = 0; i < by_score.size(); ++i)
        EXPECT_EQ(key(by_score[i]), key(by_selection[i])) << i;
      const SplitEvidence& root = by_selection[0].evidence;
      EXPECT_EQ(by_score[0].evidence.stop_score, root.score);
      EXPECT_EQ(root.score, root.fold_mean - root.fold_std);
      EXPECT_EQ(root.n_folds, 5u);
      EXPECT_TRUE(std::isnan(by_selection.back().evidence.score));  // a leaf
      p.min_impurity_decrease = root.stop_score;
      EXPECT_EQ(grow().size(), 1u);
      p.min_impurity_decrease = std::nextafter(root.stop_score, -1e300);
      EXPECT_GT(grow().size(), 1u);
    }
  }
}

// A hook that throws ends the build with that very exception, wherever the build was: Strict,
// the top of a Fast tree, or its subtrees on the worker pool.
TEST(Builder, HookCanAbandonTheBuild) {
  // Rows enough for the calling thread to reach 40 nodes however the workers share them.
  const RandomData d(20000, 5, 3);
  TreeParams p;
  p.max_depth = 12;
  p.parallel = true;
  p.n_threads = 3;
  p.parallel_min_samples = 16;
  const BinnedData binned = std::get<BinnedData>(BinnedData::fit(d.columns, p.n_bins));
  const Regression reg{std::make_unique<Mse>()};
  const std::span<const double> y(d.y_reg);
  for (const SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    for (const int stop_at : {1, 4, 40}) {
      int calls = 0;
      const NodeHook hook([&calls, stop_at](uint64_t) {
        if (++calls == stop_at) throw std::runtime_error("interrupted");
      });
      try {
        if (mode == SplitMode::Strict) build_tree_strict(reg, p, Mean(), d.columns, y, {}, hook);
        if (mode == SplitMode::Fast) build_tree_fast(reg, p, Mean(), binned, y, {}, hook);
        ADD_FAILURE() << "the build ended before call " << stop_at;
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(dynamic_cast<const ParallelError*>(&e), nullptr);
        EXPECT_STREQ(e.what(), "interrupted");
      }
      EXPECT_EQ(calls, stop_at);
    }
  }
}

// A deferred subtree may defer subtrees of its own, listed in any order: every placeholder gives
// way to its subtree's nodes, the right children pointing into the spliced list.
TEST(Builder, SpliceReplacesNestedPlaceholders) {
  const auto node = [](bool is_leaf, size_t right, double payload) {
    Node<double> n;
    n.is_leaf = is_leaf, n.right = right, n.payload = payload;
    return n;
  };
  const auto split = [&](size_t right) { return node(false, right, 0); };
  const auto leaf = [&](double v) { return node(true, 0, v); };
  NodeList<double> top{split(2), leaf(-1), leaf(30)};
  std::vector<NodeList<double>> grown{{split(2), leaf(20), leaf(21)},
                                      {split(2), leaf(10), leaf(-1)}};
  const std::vector<DeferredSubtree> subtrees{{1, 2, 0, 0, 0}, {kTopOfTree, 1, 0, 0, 0}};
  std::vector<std::tuple<bool, size_t, double>> got;
  for (const Node<double>& n : splice_subtrees(top, subtrees, grown))
    got.emplace_back(n.is_leaf, n.right, n.payload);
  const std::vector<std::tuple<bool, size_t, double>> preorder{
      {false, 6, 0}, {false, 3, 0}, {true, 0, 10}, {false, 5, 0},
      {true, 0, 20}, {true, 0, 21}, {true, 0, 30}};
  EXPECT_EQ(got, preorder);
}

}  // namespace
}  // namespace ornik
