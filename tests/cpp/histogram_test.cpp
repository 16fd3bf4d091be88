#include "histogram.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "binning.hpp"
#include "criterion.hpp"
#include "objective.hpp"

namespace ornik {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Mean plus half the spread, so that the test sees whether the whole summary reached it.
class TestAggregator final : public Aggregator {
 public:
  double aggregate(const FoldStats& stats) const override {
    return stats.n_valid == 0 ? -kInf : stats.mean + 0.5 * stats.std;
  }
  const char* name() const override { return "test"; }
};

const TestAggregator kAggregator;

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

// Random node: some codes missing or beyond n_bins, a permuted subset of the rows, random folds
// (some possibly empty).
Node random_node(std::mt19937_64& rng, size_t n_folds) {
  auto uniform = [&rng](size_t lo, size_t hi) {
    return std::uniform_int_distribution<size_t>(lo, hi)(rng);
  };
  Node node;
  const size_t n_rows = uniform(1, 30);
  node.n_bins = uniform(1, 6);
  for (size_t r = 0; r < n_rows; ++r) {
    const size_t kind = uniform(0, 19);
    uint16_t code;
    if (kind < 2) {
      code = MISSING_CODE;
    } else if (kind < 4) {
      code = static_cast<uint16_t>(node.n_bins + uniform(0, 2));
    } else {
      code = static_cast<uint16_t>(uniform(0, node.n_bins - 1));
    }
    node.codes.push_back(code);
  }
  std::vector<uint32_t> rows(n_rows);
  for (size_t r = 0; r < n_rows; ++r) rows[r] = static_cast<uint32_t>(r);
  std::shuffle(rows.begin(), rows.end(), rng);
  rows.resize(uniform(0, n_rows));
  node.folds.order = rows;
  for (size_t p = 0; p < rows.size(); ++p) {
    node.folds.fold_of.push_back(static_cast<uint8_t>(uniform(0, n_folds - 1)));
  }
  node.folds.n_folds = n_folds;
  return node;
}

struct Expected {
  size_t bin;
  std::vector<double> scores;
};

// Candidate bins and the node positions p that are counted, straight from the definitions.
struct Reference {
  const Node& node;
  bool ordered;
  std::function<bool(uint32_t row)> target_ok;

  bool counted(size_t p) const {
    const uint32_t row = node.folds.order[p];
    const uint16_t code = node.codes[row];
    return code != MISSING_CODE && code < node.n_bins && target_ok(row);
  }
  bool left(size_t p, size_t bin) const {
    const uint16_t code = node.codes[node.folds.order[p]];
    return ordered ? code <= bin : code == bin;
  }
  std::vector<size_t> candidate_bins() const {
    std::vector<size_t> bins;
    for (size_t b = 0; b < node.n_bins; ++b) {
      if (ordered && b + 1 == node.n_bins) break;
      for (size_t p = 0; p < node.folds.order.size(); ++p) {
        if (counted(p) && node.codes[node.folds.order[p]] == b) {
          bins.push_back(b);
          break;
        }
      }
    }
    return bins;
  }
};

// Impurity-decrease fold scores: each fold's counted samples gathered into vectors and scored
// with the criterion class itself.
template <class Target>
std::vector<Expected> impurity_reference(const Reference& ref, std::span<const Target> targets,
                                         const Criterion<Target>& criterion) {
  std::vector<Expected> out;
  for (const size_t b : ref.candidate_bins()) {
    Expected e{b, {}};
    for (size_t f = 0; f < ref.node.folds.n_folds; ++f) {
      std::vector<Target> all, left, right;
      for (size_t p = 0; p < ref.node.folds.order.size(); ++p) {
        if (!ref.counted(p) || ref.node.folds.fold_of[p] != f) continue;
        const Target y = targets[ref.node.folds.order[p]];
        all.push_back(y);
        (ref.left(p, b) ? left : right).push_back(y);
      }
      if (left.empty() || right.empty()) continue;
      const double n = static_cast<double>(all.size());
      const double nl = static_cast<double>(left.size());
      const double nr = static_cast<double>(right.size());
      e.scores.push_back(criterion.impurity(all) -
                         (nl * criterion.impurity(left) + nr * criterion.impurity(right)) / n);
    }
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<uint64_t> bits(const std::vector<double>& values) {
  std::vector<uint64_t> out;
  for (const double v : values) out.push_back(std::bit_cast<uint64_t>(v));
  return out;
}

void expect_candidates(const std::vector<ScoredCandidate>& got, const std::vector<Expected>& want,
                       size_t feature, size_t n_folds) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE("candidate " + std::to_string(i));
    const FoldStats expected = FoldStats::from_scores(want[i].scores, n_folds);
    EXPECT_EQ(got[i].state, want[i].bin);
    EXPECT_EQ(got[i].feature, feature);
    EXPECT_EQ(got[i].stats.n_folds, n_folds);
    EXPECT_EQ(got[i].stats.n_valid, want[i].scores.size());
    EXPECT_EQ(bits(got[i].stats.scores), bits(want[i].scores));
    EXPECT_EQ(std::bit_cast<uint64_t>(got[i].score),
              std::bit_cast<uint64_t>(kAggregator.aggregate(expected)));
  }
}

class RandomScan : public ::testing::TestWithParam<std::tuple<size_t, bool>> {};

// Each scan runs unweighted and with all-one weights through the weight channel: both must give
// the reference's bits.
TEST_P(RandomScan, RegressionMatchesGatheredSamples) {
  const auto [n_folds, ordered] = GetParam();
  std::mt19937_64 rng(1000 + 2 * n_folds + ordered);
  FastScratch scratch;  // shared by every case: stale cells would show up as mismatches
  const Mse mse;
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const Node node = random_node(rng, n_folds);
    // Half-integer targets keep every sum exact, whatever order it is taken in.
    std::vector<double> targets;
    const bool constant = trial % 10 == 0;
    for (size_t r = 0; r < node.codes.size(); ++r) {
      targets.push_back(constant ? 3.5 : 0.5 * std::uniform_int_distribution<int>(-16, 16)(rng));
    }
    const Reference ref{node, ordered, [](uint32_t) { return true; }};
    const size_t feature = static_cast<size_t>(trial % 4);
    const auto want = impurity_reference<double>(ref, targets, mse);
    for (const auto& weights : {std::vector<double>{}, std::vector<double>(targets.size(), 1.0)}) {
      const auto got = score_block_fast_regression(node.block(feature, ordered), targets, weights,
                                                   node.folds, mse, kAggregator, scratch);
      expect_candidates(got, want, feature, n_folds);
      for (const auto& c : got) {
        for (const double s : c.stats.scores) EXPECT_TRUE(!constant || s == 0.0);
      }
    }
  }
}

TEST_P(RandomScan, ClassificationMatchesGatheredSamples) {
  const auto [n_folds, ordered] = GetParam();
  std::mt19937_64 rng(2000 + 2 * n_folds + ordered);
  FastScratch scratch;
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const Node node = random_node(rng, n_folds);
    const size_t n_classes = std::uniform_int_distribution<size_t>(1, 4)(rng);
    // Labels up to n_classes + 1: the out-of-range ones must be skipped entirely.
    std::vector<ClassLabel> targets;
    for (size_t r = 0; r < node.codes.size(); ++r) {
      const size_t y = std::uniform_int_distribution<size_t>(0, 4 * n_classes + 1)(rng);
      targets.push_back(y < 4 * n_classes ? y % n_classes : n_classes + y % 2);
    }
    const Reference ref{node, ordered, [&](uint32_t row) { return targets[row] < n_classes; }};
    const Gini gini(n_classes);
    const Entropy entropy(n_classes);
    const ClassCriterion& criterion =
        trial % 2 == 1 ? static_cast<const ClassCriterion&>(entropy) : gini;
    const auto want = impurity_reference<ClassLabel>(ref, targets, criterion);
    for (const auto& weights : {std::vector<double>{}, std::vector<double>(targets.size(), 1.0)}) {
      expect_candidates(
          score_block_fast_classification(node.block(3, ordered), targets, weights, node.folds,
                                          criterion, kAggregator, scratch),
          want, 3, n_folds);
    }
  }
}

// Per fold: class counts of the fold's left and right samples and of the other folds' left and
// right samples; each side predicts its training majority, the baseline the overall training
// majority, all booked into fresh confusions.
std::vector<Expected> objective_reference(const Reference& ref, std::span<const ClassLabel> y,
                                          size_t n_classes, const ClassObjective& objective) {
  std::vector<Expected> out;
  for (const size_t b : ref.candidate_bins()) {
    Expected e{b, {}};
    for (size_t f = 0; f < ref.node.folds.n_folds; ++f) {
      std::vector<uint64_t> vl(n_classes), vr(n_classes), tl(n_classes), tr(n_classes);
      for (size_t p = 0; p < ref.node.folds.order.size(); ++p) {
        if (!ref.counted(p)) continue;
        const bool val = ref.node.folds.fold_of[p] == f;
        const bool left = ref.left(p, b);
        auto& counts = val ? (left ? vl : vr) : (left ? tl : tr);
        ++counts[y[ref.node.folds.order[p]]];
      }
      auto sum = [](const std::vector<uint64_t>& v) {
        uint64_t s = 0;
        for (const uint64_t c : v) s += c;
        return s;
      };
      if (sum(vl) == 0 || sum(vr) == 0 || sum(tl) == 0 || sum(tr) == 0) continue;
      std::vector<uint64_t> vt(n_classes), tt(n_classes);
      for (size_t c = 0; c < n_classes; ++c) {
        vt[c] = vl[c] + vr[c];
        tt[c] = tl[c] + tr[c];
      }
      auto span = [](const std::vector<uint64_t>& v) { return std::span<const uint64_t>(v); };
      Confusion split = Confusion::zero(n_classes);
      split.add_group(majority_class(span(tl)), span(vl));
      split.add_group(majority_class(span(tr)), span(vr));
      Confusion base = Confusion::zero(n_classes);
      base.add_group(majority_class(span(tt)), span(vt));
      e.scores.push_back(objective.score(split) - objective.score(base));
    }
    out.push_back(std::move(e));
  }
  return out;
}

TEST_P(RandomScan, ObjectiveMatchesDirectConfusions) {
  const auto [n_folds, ordered] = GetParam();
  std::mt19937_64 rng(3000 + 2 * n_folds + ordered);
  std::vector<std::unique_ptr<ClassObjective>> objectives;
  objectives.push_back(std::make_unique<Accuracy>());
  objectives.push_back(std::make_unique<Precision>(Average::Macro, 0));
  objectives.push_back(std::make_unique<Recall>(Average::Weighted, 0));
  objectives.push_back(std::make_unique<F1>(Average::Binary, 1));
  objectives.push_back(std::make_unique<FBeta>(Average::Micro, 0, 2.0));
  FastScratch scratch;
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const Node node = random_node(rng, n_folds);
    const size_t n_classes = std::uniform_int_distribution<size_t>(1, 4)(rng);
    std::vector<ClassLabel> targets;
    for (size_t r = 0; r < node.codes.size(); ++r) {
      const size_t y = std::uniform_int_distribution<size_t>(0, 4 * n_classes)(rng);
      targets.push_back(y < 4 * n_classes ? y % n_classes : n_classes);
    }
    const ClassObjective& objective = *objectives[static_cast<size_t>(trial) % objectives.size()];
    const Reference ref{node, ordered, [&](uint32_t row) { return targets[row] < n_classes; }};
    const auto got = score_block_fast_objective(node.block(1, ordered), targets, {}, node.folds,
                                                objective, n_classes, kAggregator, scratch);
    expect_candidates(got, objective_reference(ref, targets, n_classes, objective), 1, n_folds);
  }
}

INSTANTIATE_TEST_SUITE_P(FoldsAndStyle, RandomScan,
                         ::testing::Combine(::testing::Range<size_t>(1, 6), ::testing::Bool()),
                         [](const auto& info) {
                           std::string name = std::to_string(std::get<0>(info.param));
                           name += std::get<1>(info.param) ? "_folds_ordered" : "_folds_unordered";
                           return name;
                         });

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

// Fold 0 holds 3 + 2 samples, fold 1 holds 6 + 4; bin 0 is the left side.
TEST(HandScan, ObjectiveGainOverMajority) {
  std::vector<uint16_t> codes;
  std::vector<ClassLabel> y;
  std::vector<uint8_t> fold_of;
  auto add = [&](uint8_t fold, uint16_t bin, ClassLabel cls, int count) {
    for (int i = 0; i < count; ++i) {
      codes.push_back(bin);
      y.push_back(cls);
      fold_of.push_back(fold);
    }
  };
  add(0, 0, 0, 3);
  add(0, 1, 1, 2);
  add(1, 0, 0, 5);
  add(1, 0, 1, 1);
  add(1, 1, 0, 1);
  add(1, 1, 1, 3);
  add(1, M, 0, 4);  // missing: not even in the baseline
  const Node node = make_node(codes, 2, fold_of, 2);
  FastScratch scratch;
  const Accuracy accuracy;
  const auto got = score_block_fast_objective(node.block(0, false), y, {}, node.folds, accuracy, 2,
                                              kAggregator, scratch);
  ASSERT_EQ(got.size(), 2u);
  // Fold 0: sides predict 0 and 1 and get 5/5; the fold-1 majority 0 gets 3/5.
  // Fold 1: sides predict 0 and 1 and get 8/10; the fold-0 majority 0 gets 6/10.
  for (const auto& c : got) {
    ASSERT_EQ(c.stats.scores.size(), 2u);
    EXPECT_DOUBLE_EQ(c.stats.scores[0], 0.4);
    EXPECT_DOUBLE_EQ(c.stats.scores[1], 0.2);
  }
}

}  // namespace
}  // namespace ornik
