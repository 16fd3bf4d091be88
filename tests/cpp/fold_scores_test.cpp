// Both modes' fold scores and folds' picks on random nodes against a literal computation: each
// fold's rows gathered into training and held-out sides and scored with the criterion itself,
// the held-out losses written out sample by sample, each fold's pick found by trying every
// candidate of every feature. Integer sample weights are checked against rows repeated as often
// (while a side's samples, not its repeats, decide whether it is empty).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "binning.hpp"
#include "histogram.hpp"
#include "task_scoring.hpp"

namespace ornik {
namespace {

constexpr uint16_t kMissing = MISSING_CODE;
const MeanMinusLambdaStd kAggregator(-0.5);  // the whole summary must reach the score

enum class Mode { Fast, Strict };
enum class Kind { Mse, Variance, Mae, Gini, Entropy, Objective };
// What a scan is asked for: the plain scan, impurity scores with picks, loss scores with picks.
enum class Ask { Plain, ImpurityPicks, LossPicks };

struct Case {
  Mode mode;
  Kind kind;
  bool ordered;
};

// Some codes missing, a permuted subset of the rows, some labels beyond the classes; targets
// are half-integers, so that every sum is exact in any order.
struct RandomNode {
  size_t n_features, n_bins, n_folds, n_classes;
  std::vector<uint16_t> codes;  // [row * n_features + j]
  std::vector<double> y;
  std::vector<ClassLabel> labels;
  std::vector<uint32_t> rows;
  std::vector<uint8_t> fold;    // per row
  std::vector<double> weights;  // per row, 0 to 3

  RandomNode(std::mt19937_64& rng) {
    auto uniform = [&rng](size_t lo, size_t hi) {
      return std::uniform_int_distribution<size_t>(lo, hi)(rng);
    };
    const size_t n_rows = uniform(1, 40);
    n_features = uniform(1, 3), n_bins = uniform(1, 6), n_folds = uniform(1, 5);
    n_classes = uniform(1, 4);
    for (size_t i = 0; i < n_rows * n_features; ++i) {
      codes.push_back(uniform(0, 9) == 0 ? kMissing
                                         : static_cast<uint16_t>(uniform(0, n_bins - 1)));
    }
    for (size_t r = 0; r < n_rows; ++r) {
      y.push_back(0.5 * static_cast<double>(uniform(0, 32)) - 8.0);
      labels.push_back(uniform(0, 11) == 0 ? n_classes + uniform(0, 1) : uniform(0, n_classes - 1));
      fold.push_back(static_cast<uint8_t>(uniform(0, n_folds - 1)));
      weights.push_back(static_cast<double>(uniform(0, 3)));
      rows.push_back(static_cast<uint32_t>(r));
    }
    std::shuffle(rows.begin(), rows.end(), rng);
    rows.resize(uniform(1, n_rows));
  }
  uint16_t code(size_t row, size_t j) const { return codes[row * n_features + j]; }
};

using Rows = std::vector<size_t>;

// The literal computation. Fast mode counts no missing code and, for the classes, no label beyond
// them; Strict mode counts both (a missing code goes right, such a label weighs in a side but is
// in no class), except that the objective ignores labels beyond the classes in either mode.
struct Literal {
  const RandomNode& node;
  Case c;
  bool weighted;
  const RegressionCriterion* rc = nullptr;  // the measure of the task at hand
  const ClassCriterion* cc = nullptr;
  const ClassObjective* objective = nullptr;

  void bind(const Regression& task) { rc = task.criterion.get(); }
  void bind(const Classification& task) { cc = task.criterion.get(); }
  void bind(const ObjectiveClassification& task) { objective = task.objective.get(); }
  std::span<const double> targets(double) const { return node.y; }
  std::span<const ClassLabel> targets(ClassLabel) const { return node.labels; }

  // Each row repeated as often as it weighs.
  Rows repeated(const Rows& rows) const {
    Rows out;
    for (const size_t r : rows) out.insert(out.end(), weighted ? size_t(node.weights[r]) : 1, r);
    return out;
  }
  double weight(const Rows& rows) const { return double(repeated(rows).size()); }

  bool counted(size_t row, size_t j) const {
    const bool label_ok = c.kind <= Kind::Mae || node.labels[row] < node.n_classes;
    if (c.mode == Mode::Strict) return label_ok || c.kind != Kind::Objective;
    return node.code(row, j) != kMissing && label_ok;
  }
  // Fast: the bins holding a counted sample, never an ordered feature's last; Strict: the codes
  // present.
  std::vector<StateCode> candidates(size_t j) const {
    std::vector<StateCode> out;
    for (size_t b = 0;
         b < node.n_bins && !(c.mode == Mode::Fast && c.ordered && b + 1 == node.n_bins); ++b) {
      const bool present = std::any_of(node.rows.begin(), node.rows.end(), [&](uint32_t r) {
        return node.code(r, j) == b && (c.mode == Mode::Strict || counted(r, j));
      });
      if (present) out.push_back(b);
    }
    return out;
  }
  struct Sides {
    Rows val, train, val_left, val_right, train_left, train_right;
  };
  Sides sides(size_t j, size_t state, size_t f) const {
    Sides s;
    for (const uint32_t r : node.rows) {
      if (!counted(r, j)) continue;
      const uint16_t x = node.code(r, j);
      const bool left = x != kMissing && (c.ordered ? x <= state : x == state);
      const bool val = node.fold[r] == f;
      (val ? s.val : s.train).push_back(r);
      (val ? (left ? s.val_left : s.val_right) : (left ? s.train_left : s.train_right))
          .push_back(r);
    }
    return s;
  }
  double impurity(const Rows& rows) const {
    std::vector<double> y;
    std::vector<ClassLabel> labels;
    for (const size_t r : repeated(rows)) y.push_back(node.y[r]), labels.push_back(node.labels[r]);
    return rc ? rc->impurity(y) : cc->impurity(labels);
  }
  double decrease(const Rows& all, const Rows& l, const Rows& r) const {
    return impurity(all) - (impurity(l) * weight(l) + impurity(r) * weight(r)) / weight(all);
  }
  std::vector<double> class_counts(const Rows& rows) const {
    std::vector<double> out(node.n_classes, 0.0);
    for (const size_t r : repeated(rows)) {
      if (node.labels[r] < node.n_classes) out[node.labels[r]] += 1.0;
    }
    return out;
  }
  // The sum over the held-out rows of each one's loss under the training rows' prediction.
  double loss(const Rows& train, const Rows& val) const {
    std::vector<double> ty;
    for (const size_t r : repeated(train)) ty.push_back(node.y[r]);
    std::sort(ty.begin(), ty.end());
    const size_t m = ty.size();
    const double n = static_cast<double>(m);
    double mean = 0.0;
    for (const double v : ty) mean += v / n;
    const double median = m % 2 == 1 ? ty[m / 2] : (ty[m / 2 - 1] + ty[m / 2]) / 2.0;
    const std::vector<double> counts = class_counts(train);
    double total = 0.0;
    for (const size_t r : repeated(val)) {
      const double y = node.y[r];
      const ClassLabel label = node.labels[r];
      if (c.kind == Kind::Mse || c.kind == Kind::Variance) total += (y - mean) * (y - mean);
      if (c.kind == Kind::Mae) total += std::fabs(y - median);
      for (size_t k = 0; k < node.n_classes && c.kind == Kind::Gini; ++k) {
        total += std::pow(counts[k] / n - (k == label ? 1.0 : 0.0), 2.0);
      }
      const double seen = label < node.n_classes ? counts[label] : 0.0;
      if (c.kind == Kind::Entropy) total -= std::log2((seen + 1.0) / (n + counts.size()));
    }
    return total;
  }
  // Each side's training majority predicting the side's held-out (or training) rows, minus the
  // whole training majority predicting all of them.
  double objective_gain(const Sides& s, bool held_out) const {
    auto book = [&](Confusion& cm, const Rows& train, const Rows& val) {
      cm.add_group(majority_class(std::span<const double>(class_counts(train))),
                   std::span<const double>(class_counts(val)));
    };
    Confusion split = Confusion::zero(node.n_classes), base = Confusion::zero(node.n_classes);
    book(split, s.train_left, held_out ? s.val_left : s.train_left);
    book(split, s.train_right, held_out ? s.val_right : s.train_right);
    book(base, s.train, held_out ? s.val : s.train);
    return objective->score(split) - objective->score(base);
  }
};

// Accuracy on even trials, macro F1 on odd ones.
std::unique_ptr<ClassObjective> make_objective(int trial) {
  if (trial % 2 == 0) return std::make_unique<Accuracy>();
  return std::make_unique<F1>(Average::Macro, 0);
}

// Strict: feature by feature from categorical columns (codes are the states themselves), with
// picks per feature merged from the last feature back: they must not depend on the order. Fast:
// one block, where out-of-range codes stand for half the missing ones (neither is counted).
template <class Task>
std::vector<ScoredCandidate> run(const Task& task, const Literal& lit, Ask ask,
                                 FastScratch& scratch, FoldPicks& picks) {
  const RandomNode& node = lit.node;
  const ScanChoice choice{ask == Ask::LossPicks, ask == Ask::Plain ? nullptr : &picks, 0};
  std::vector<ScoredCandidate> out;
  const auto w = lit.weighted ? std::span<const double>(node.weights) : std::span<const double>();
  const auto y = lit.targets(typename Task::Target{});
  if (lit.c.mode == Mode::Fast) {
    std::vector<BlockFeature> features;
    std::vector<uint16_t> codes = node.codes;
    for (size_t i = 0; i < codes.size(); i += 2) {
      if (codes[i] == kMissing) codes[i] = static_cast<uint16_t>(node.n_bins + 1);
    }
    for (size_t j = 0; j < node.n_features; ++j)
      features.push_back({node.n_bins, j, lit.c.ordered, false});
    FoldAssignment folds{{node.rows.begin(), node.rows.end()}, {}, node.n_folds};
    for (const uint32_t r : node.rows) folds.fold_of.push_back(node.fold[r]);
    // Every other trial scores the same codes in one byte each (missing truncates to missing).
    FastBlock block{codes.data(), node.n_features, features};
    std::vector<uint8_t> narrow;
    for (const uint16_t code : codes) narrow.push_back(static_cast<uint8_t>(code));
    if (node.rows.size() % 2 == 1) block.codes = narrow.data();
    Candidates all;
    score_block_fast(task, block, y, w, folds, kAggregator, scratch, all, choice);
    return all.take();
  }
  std::vector<Fold> folds(node.n_folds);
  for (size_t f = 0; f < node.n_folds; ++f) {
    for (const uint32_t r : node.rows)
      (node.fold[r] == f ? folds[f].val : folds[f].train).push_back(r);
  }
  std::vector<FoldPicks> per_feature(node.n_features, picks);
  for (size_t j = 0; j < node.n_features; ++j) {
    std::vector<uint32_t> categories;
    for (size_t r = 0; r < node.y.size(); ++r) {
      categories.push_back(node.code(r, j) == kMissing ? MISSING_CATEGORY : node.code(r, j));
    }
    const std::vector<StateCode> states = lit.candidates(j);
    if (states.empty()) continue;  // a feature without states is never scored
    const ScanChoice own{choice.held_out_loss, choice.picks ? &per_feature[j] : nullptr, j};
    const std::vector<FoldStats> stats = score_states_strict(
        task, Column::categories(categories), lit.c.ordered, states, folds, y, w, 8, own);
    for (size_t i = 0; i < states.size(); ++i) {
      out.push_back({stats[i], j, states[i], kAggregator.aggregate(stats[i])});
    }
  }
  for (size_t j = node.n_features; j-- > 0;) picks.merge(per_feature[j]);
  return out;
}

void expect_near(double got, double want) {
  EXPECT_NEAR(got, want, 1e-9 * (1.0 + std::fabs(want)));
}

// Every candidate's fold scores and summary, and each fold's pick, against the literal ones.
template <class Task>
void expect_literal(const Task& task, Literal lit, Ask ask, FastScratch& scratch) {
  lit.bind(task);
  const RandomNode& node = lit.node;
  const Case c = lit.c;
  const bool objective_kind = c.kind == Kind::Objective;
  FoldPicks got_picks(ask == Ask::Plain ? 0 : node.n_folds);
  const std::vector<ScoredCandidate> got = run(task, lit, ask, scratch, got_picks);
  std::vector<FoldPick> picks(node.n_folds);
  size_t i = 0;
  for (size_t j = 0; j < node.n_features; ++j) {
    const std::vector<StateCode> states = lit.candidates(j);
    for (size_t pos = 0; pos < states.size(); ++pos, ++i) {
      ASSERT_LT(i, got.size());
      EXPECT_EQ(std::pair(got[i].feature, got[i].state), std::pair(j, states[pos]));
      std::vector<double> want;
      for (size_t f = 0; f < node.n_folds; ++f) {
        const Literal::Sides s = lit.sides(j, states[pos], f);
        // Sides of samples without weight count as sides, but what is scored or predicted
        // from must weigh something (objectives book no weight as no samples).
        const bool val_split = !s.val_left.empty() && !s.val_right.empty() &&
                               (objective_kind || lit.weight(s.val) > 0);
        const bool train_split = !s.train_left.empty() && !s.train_right.empty() &&
                                 (objective_kind || lit.weight(s.train) > 0);
        std::optional<double> held_out;
        if (val_split && train_split && objective_kind) {
          held_out = lit.objective_gain(s, true);
        } else if (val_split && train_split && lit.weight(s.train_left) > 0 &&
                   lit.weight(s.train_right) > 0) {
          held_out = (lit.loss(s.train, s.val) - lit.loss(s.train_left, s.val_left) -
                      lit.loss(s.train_right, s.val_right)) /
                     lit.weight(s.val);
        }
        if (objective_kind || ask == Ask::LossPicks) {
          if (held_out) want.push_back(*held_out);
        } else if (val_split) {
          want.push_back(lit.decrease(s.val, s.val_left, s.val_right));
        }
        if (!train_split) continue;
        const double gain = objective_kind ? lit.objective_gain(s, false)
                                           : lit.decrease(s.train, s.train_left, s.train_right);
        // Tried in feature order, then state order: the first of equal gains stays.
        if (!picks[f].picked || gain > picks[f].gain) {
          picks[f] = {gain, held_out.value_or(0.0), j, c.mode == Mode::Fast ? states[pos] : pos,
                      true, held_out.has_value()};
        }
      }
      const FoldStats& stats = got[i].stats;
      ASSERT_EQ(stats.scores.size(), want.size());
      EXPECT_EQ(stats.n_folds, node.n_folds);
      for (size_t k = 0; k < want.size(); ++k) expect_near(stats.scores[k], want[k]);
      if (ask != Ask::LossPicks || c.kind == Kind::Objective) {  // these are exact
        EXPECT_EQ(std::bit_cast<uint64_t>(got[i].score),
                  std::bit_cast<uint64_t>(
                      kAggregator.aggregate(FoldStats::from_scores(want, node.n_folds))));
      }
    }
  }
  EXPECT_EQ(i, got.size());
  if (ask == Ask::Plain) return;
  for (size_t f = 0; f < node.n_folds; ++f) {
    const FoldPick& p = got_picks.folds()[f];
    ASSERT_EQ(p.picked, picks[f].picked) << "fold " << f;
    if (!p.picked) continue;
    const FoldPick& want = picks[f];
    EXPECT_EQ(
        std::tuple(std::bit_cast<uint64_t>(p.gain), p.feature, p.position, p.scored),
        std::tuple(std::bit_cast<uint64_t>(want.gain), want.feature, want.position, want.scored));
    if (p.scored) expect_near(p.held_out, picks[f].held_out);
  }
}

class FoldScores : public ::testing::TestWithParam<Case> {};

TEST_P(FoldScores, MatchLiteralComputation) {
  const Case c = GetParam();
  std::mt19937_64 rng(17 + 3 * static_cast<size_t>(c.kind) + 100 * static_cast<size_t>(c.mode) +
                      1000 * c.ordered);
  FastScratch scratch;  // shared by every trial: stale cells would show up as mismatches
  for (int trial = 0; trial < 240; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const RandomNode node(rng);
    const Literal lit{node, c, trial % 4 >= 2};  // half the trials weigh their samples
    const Ask ask = static_cast<Ask>(trial % 3);
    // The criteria tables list them in the order of Kind.
    const size_t kind = static_cast<size_t>(c.kind), k = node.n_classes;
    if (kind < 3) {
      expect_literal(Regression{regression_criteria()[kind].make(k)}, lit, ask, scratch);
    } else if (kind < 5) {
      expect_literal(Classification{class_criteria()[kind - 3].make(k), k}, lit, ask, scratch);
    } else {
      expect_literal(ObjectiveClassification{make_objective(trial), k, Gini(k)}, lit, ask, scratch);
    }
  }
}

std::vector<Case> all_cases() {
  std::vector<Case> out;
  for (const Mode mode : {Mode::Fast, Mode::Strict}) {
    for (const Kind kind :
         {Kind::Mse, Kind::Variance, Kind::Mae, Kind::Gini, Kind::Entropy, Kind::Objective}) {
      if (mode == Mode::Fast && kind == Kind::Mae) continue;  // not computable from sums
      for (const bool ordered : {true, false}) out.push_back({mode, kind, ordered});
    }
  }
  return out;
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  static const char* const kKinds[] = {"mse", "variance", "mae", "gini", "entropy", "objective"};
  const Case& c = info.param;
  return std::string(c.mode == Mode::Fast ? "fast_" : "strict_") +
         kKinds[static_cast<int>(c.kind)] + (c.ordered ? "_threshold" : "_membership");
}

INSTANTIATE_TEST_SUITE_P(EveryScan, FoldScores, ::testing::ValuesIn(all_cases()), case_name);

}  // namespace
}  // namespace ornik
