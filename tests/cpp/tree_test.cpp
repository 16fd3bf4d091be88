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

TEST(Routing, NonFiniteNumbersAlwaysGoRight) {
  const SplitRule open = SplitRule::numeric(0, std::nullopt, std::nullopt);
  const SplitRule below = SplitRule::numeric(0, std::nullopt, 2.0);
  for (const double v : {kNan, kInf, -kInf}) {
    EXPECT_FALSE(open.number_goes_left(v)) << v;
    EXPECT_FALSE(below.number_goes_left(v)) << v;
  }
  EXPECT_TRUE(open.number_goes_left(-1e308));
  EXPECT_TRUE(below.number_goes_left(1.999));
  EXPECT_FALSE(below.number_goes_left(2.0));  // the interval is half-open
  const SplitRule band = SplitRule::numeric(0, 1.0, 2.0);
  EXPECT_TRUE(band.number_goes_left(1.0));
  EXPECT_FALSE(band.number_goes_left(0.5));
}

TEST(Routing, KindsDoNotMix) {
  const SplitRule numeric = SplitRule::numeric(0, std::nullopt, std::nullopt);
  const SplitRule cat = SplitRule::categorical(0, 3);
  EXPECT_FALSE(route_left(numeric, RowValue::of_label(3)));
  EXPECT_FALSE(route_left(cat, RowValue::of_number(3.0)));
  EXPECT_TRUE(route_left(cat, RowValue::of_label(3)));
  EXPECT_FALSE(route_left(cat, RowValue::of_label(4)));
}

TEST(Routing, MissingLabelNeverGoesLeftEvenAgainstItsOwnValue) {
  const SplitRule imported = SplitRule::categorical(0, MISSING_CATEGORY);
  EXPECT_FALSE(route_left(imported, RowValue::of_label(MISSING_CATEGORY)));
  const std::vector<Column> cols{Column::categories({MISSING_CATEGORY, 3})};
  EXPECT_FALSE(route_left_train(imported, cols, 0));
  EXPECT_TRUE(route_left_train(SplitRule::categorical(0, 3), cols, 1));
}

TEST(CategoryLabel, Conversion) {
  EXPECT_EQ(category_label(2.5), 3u);
  EXPECT_EQ(category_label(3.5), 4u);
  EXPECT_EQ(category_label(0.49), 0u);
  EXPECT_EQ(category_label(-0.0), 0u);
  for (const double v : {-1.0, kNan, kInf, -kInf, 5e9, 4294967294.5}) {
    EXPECT_EQ(category_label(v), MISSING_CATEGORY) << v;
  }
  EXPECT_EQ(category_label(4294967294.0), 4294967294u);
}

TEST(ClassLeaf, CountsAndTies) {
  const ClassPrediction p = class_leaf(3, std::vector<ClassLabel>{2, 2, 0});
  EXPECT_EQ(p.proba, (std::vector<double>{1.0 / 3.0, 0.0, 2.0 / 3.0}));
  EXPECT_EQ(p.class_, 2u);
  EXPECT_EQ(class_leaf(2, std::vector<ClassLabel>{1, 0}).class_, 0u);
  const ClassPrediction empty = class_leaf(3, std::vector<ClassLabel>{});
  EXPECT_EQ(empty.proba, (std::vector<double>(3, 0.0)));
  EXPECT_EQ(empty.class_, 0u);
  EXPECT_TRUE(class_leaf(0, std::vector<ClassLabel>{0, 1}).proba.empty());
  // Labels beyond the class count are not counted at all.
  EXPECT_EQ(class_leaf(2, std::vector<ClassLabel>{1, 9, 9}).proba, (std::vector<double>{0, 1}));
}

// Root split (x0 < 1) with a left leaf and a right split (cat x1 == 4) over two leaves.
NodeList<double> sample_tree() {
  NodeList<double> t(5);
  t[0].is_leaf = false;
  t[0].rule = SplitRule::numeric(0, std::nullopt, 1.0);
  t[0].right = 2;
  t[1].payload = -1.0;
  t[1].n_samples = 3;
  t[2].is_leaf = false;
  t[2].rule = SplitRule::categorical(1, 4);
  t[2].right = 4;
  t[3].payload = 5.0;
  t[3].n_samples = 2;
  t[4].payload = 7.0;
  t[4].n_samples = 6;
  return t;
}

TEST(Tree, WalkAndShape) {
  const NodeList<double> t = sample_tree();
  EXPECT_EQ(node_depth(t), 2u);
  EXPECT_EQ(node_leaves(t), 3u);
  EXPECT_EQ(max_split_feature(t), std::optional<size_t>(1));
  const RowValue left[] = {RowValue::of_number(0.5), RowValue::of_label(4)};
  const RowValue cat_left[] = {RowValue::of_number(kNan), RowValue::of_label(4)};
  const RowValue cat_right[] = {RowValue::of_number(3.0), RowValue::of_label(MISSING_CATEGORY)};
  EXPECT_EQ(find_leaf(t, left), 1u);
  EXPECT_EQ(find_leaf(t, cat_left), 3u);
  EXPECT_EQ(find_leaf(t, cat_right), 4u);
}

TEST(Tree, ExportIsPreorderWithSummedCounts) {
  const std::vector<ExportedNode> r = walk_export(sample_tree());
  ASSERT_EQ(r.size(), 5u);
  const std::vector<int64_t> left{r[0].children_left, r[1].children_left, r[2].children_left,
                                  r[3].children_left, r[4].children_left};
  const std::vector<int64_t> right{r[0].children_right, r[1].children_right, r[2].children_right,
                                   r[3].children_right, r[4].children_right};
  EXPECT_EQ(left, (std::vector<int64_t>{1, -1, 3, -1, -1}));
  EXPECT_EQ(right, (std::vector<int64_t>{2, -1, 4, -1, -1}));
  EXPECT_EQ(r[0].n_samples, 11u);
  EXPECT_EQ(r[2].n_samples, 8u);
  EXPECT_EQ(r[0].lower, -kInf);
  EXPECT_EQ(r[0].upper, 1.0);
  EXPECT_TRUE(r[2].is_categorical);
  EXPECT_EQ(r[2].category, 4);
  EXPECT_TRUE(std::isnan(r[2].lower) && std::isnan(r[2].upper));
  EXPECT_TRUE(std::isnan(r[0].value));
  EXPECT_EQ(r[3].value, 5.0);
  EXPECT_EQ(r[3].predicted_class, -1);
  EXPECT_EQ(r[1].feature, -1);
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
  const RowValue far[] = {RowValue::of_number(1e12)};
  EXPECT_EQ(find_leaf(t, far), t.size() - 1);
  EXPECT_EQ(walk_export(t)[0].n_samples, splits + 1);
}

}  // namespace
}  // namespace ornik
