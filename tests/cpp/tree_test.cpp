// Tree model: routing, leaves, depth, leaf count and preorder export.
#include "tree.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "task.hpp"

namespace ornik {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

TEST(Routing, MissingLabelNeverGoesLeftEvenAgainstItsOwnValue) {
  const SplitRule imported = SplitRule::categorical(0, MISSING_CATEGORY);
  EXPECT_FALSE(imported.label_goes_left(MISSING_CATEGORY));
  const std::vector<Column> cols{Column::categories({MISSING_CATEGORY, 3})};
  EXPECT_FALSE(route_left_train(imported, cols, 0));
  EXPECT_TRUE(route_left_train(SplitRule::categorical(0, 3), cols, 1));
}

TEST(ClassLeaf, CountsAndTies) {
  const ClassPrediction p = class_leaf(3, std::vector<ClassLabel>{2, 2, 0});
  EXPECT_TRUE(p.proba == (std::vector<double>{1.0 / 3.0, 0.0, 2.0 / 3.0}) && p.class_ == 2);
  EXPECT_EQ(class_leaf(2, std::vector<ClassLabel>{1, 0}).class_, 0u);
  const ClassPrediction empty = class_leaf(3, std::vector<ClassLabel>{});
  EXPECT_TRUE(empty.proba == std::vector<double>(3, 0.0) && empty.class_ == 0);
  EXPECT_TRUE(class_leaf(0, std::vector<ClassLabel>{0, 1}).proba.empty());
  // Labels beyond the class count are not counted at all.
  EXPECT_EQ(class_leaf(2, std::vector<ClassLabel>{1, 9, 9}).proba, (std::vector<double>{0, 1}));
  // Weighted: the class of most weight, which need not be the most frequent.
  const ClassPrediction w = class_leaf(3, std::vector<ClassLabel>{2, 2, 0, 1}, {{0.5, 1, 4.5, 0}});
  EXPECT_TRUE(w.proba == (std::vector<double>{0.75, 0, 0.25}) && w.class_ == 0);
  // Samples that all weigh nothing: their plain shares, never all-zero probabilities.
  EXPECT_EQ(class_leaf(2, std::vector<ClassLabel>{1, 1, 0, 1}, {{0, 0, 0, 0}}).proba,
            (std::vector<double>{0.25, 0.75}));
}

// Root split (x0 < 1) with a left leaf and a right split (cat x1 == 4) over two leaves.
NodeList<double> sample_tree() {
  NodeList<double> t(5);
  const auto split = [&t](size_t id, const SplitRule& rule, size_t right) {
    t[id].is_leaf = false, t[id].rule = rule, t[id].right = right;
  };
  const auto leaf = [&t](size_t id, double value, uint64_t n) {
    t[id].payload = value, t[id].n_samples = n;
  };
  split(0, SplitRule::numeric(0, std::nullopt, 1.0), 2);
  split(2, SplitRule::categorical(1, 4), 4);
  t[2].evidence = {0.5, 0.25, 0.75, 0.125, 4};
  leaf(1, -1.0, 3), leaf(3, 5.0, 2), leaf(4, 7.0, 6);
  return t;
}

// Leaf ids of the rows of a matrix whose element (0, 0) is at `first`, with the given element
// strides.
std::vector<size_t> leaves(const NodeList<double>& t, const double* first, size_t rows, size_t cols,
                           ptrdiff_t row_step, ptrdiff_t col_step,
                           const std::vector<size_t>& categorical) {
  const ptrdiff_t d = sizeof(double);
  const MatrixView x{reinterpret_cast<const char*>(first), rows, cols, row_step * d, col_step * d};
  std::vector<size_t> out(rows);
  route_rows(t, x, categorical, [&](size_t i, size_t leaf) { out[i] = leaf; });
  return out;
}

TEST(Tree, WalkAndShape) {
  const NodeList<double> t = sample_tree();
  EXPECT_EQ(node_depth(t), 2u);
  EXPECT_EQ(node_leaves(t), 3u);
  EXPECT_EQ(max_split_feature(t), std::optional<size_t>(1));
  // Column 1 read as labels (3.6 rounds to 4); column 0 read as labels too goes right at the
  // numeric root; column 1 read as numbers never goes left at the categorical split.
  const double rows[] = {0.5, 4.0, kNan, 3.6, 3.0, kNan, 0.5, 4.0, 1.0, 3.0};
  const std::vector<size_t> expected{1, 3, 4, 1, 4};
  EXPECT_EQ(leaves(t, rows, 5, 2, 2, 1, {1}), expected);
  EXPECT_EQ(leaves(t, rows, 5, 2, 2, 1, {0, 1, 7}), (std::vector<size_t>{3, 3, 4, 3, 4}));
  EXPECT_EQ(leaves(t, rows, 5, 2, 2, 1, {}), (std::vector<size_t>{1, 4, 4, 1, 4}));
  // The same rows stored by column in reverse order, read through a negative row stride.
  const double columns[] = {1.0, 0.5, 3.0, kNan, 0.5, 3.0, 4.0, kNan, 3.6, 4.0};
  EXPECT_EQ(leaves(t, columns + 4, 5, 2, -1, 5, {1}), expected);
}

TEST(Tree, ExportIsPreorderWithSummedCounts) {
  const std::vector<ExportedNode> r = walk_export(sample_tree());
  ASSERT_EQ(r.size(), 5u);
  std::vector<int64_t> left, right;
  for (const ExportedNode& n : r)
    left.push_back(n.children_left), right.push_back(n.children_right);
  EXPECT_EQ(left, (std::vector<int64_t>{1, -1, 3, -1, -1}));
  EXPECT_EQ(right, (std::vector<int64_t>{2, -1, 4, -1, -1}));
  EXPECT_TRUE(r[0].n_samples == 11u && r[2].n_samples == 8u);
  EXPECT_TRUE(r[0].lower == -kInf && r[0].upper == 1.0);
  EXPECT_TRUE(r[2].is_categorical && r[2].category == 4);
  EXPECT_TRUE(std::isnan(r[2].lower) && std::isnan(r[2].upper));
  EXPECT_TRUE(std::isnan(r[0].value));
  EXPECT_TRUE(r[3].value == 5.0 && r[3].predicted_class == -1);
  EXPECT_EQ(r[1].feature, -1);
  EXPECT_TRUE(r[2].evidence.stop_score == 0.25 && r[2].evidence.n_folds == 4u);
  EXPECT_TRUE(std::isnan(r[3].evidence.fold_std) && r[3].evidence.n_folds == 0);
}

TEST(Tree, ChainOfAMillionSplitsNeedsNoRecursion) {
  const size_t splits = 1000000;
  NodeList<double> t(2 * splits + 1);
  // Node 2i is a split whose left child 2i+1 is a leaf and whose right child is 2i+2.
  for (size_t i = 0; i < splits; ++i) {
    t[2 * i].is_leaf = false;
    t[2 * i].rule = SplitRule::numeric(0, std::nullopt, static_cast<double>(i));
    t[2 * i].right = 2 * i + 2;
    t[2 * i + 1].n_samples = 1;
  }
  t.back().n_samples = 1;
  EXPECT_EQ(node_depth(t), splits);
  EXPECT_EQ(node_leaves(t), splits + 1);
  const double far = 1e12;
  EXPECT_EQ(leaves(t, &far, 1, 1, 1, 1, {}), std::vector<size_t>{t.size() - 1});
  EXPECT_EQ(walk_export(t)[0].n_samples, splits + 1);
}

}  // namespace
}  // namespace ornik
