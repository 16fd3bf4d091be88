// Import of flat per-node lists: every inconsistency refused with its message, accepted trees
// rebuilt in preorder, and the fuzz codec (its seed corpus is written from here).
#include "tree_import.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>

#include "../fuzz/flat_tree_codec.hpp"
#include "binning.hpp"
#include "tree_builder.hpp"

namespace ornik {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Lists of n nodes where every entry a node may read is present: leaves valued 10 * id.
FlatTree lists(size_t n, bool classifier) {
  FlatTree f;
  f.is_leaf.assign(n, 1);
  f.is_categorical.assign(n, 0);
  f.children_left = f.children_right = f.feature = f.category = std::vector<int64_t>(n, -1);
  f.lower = f.upper = std::vector<double>(n, NaN);
  f.n_samples.assign(n, 1);
  f.predicted_class.resize(classifier ? n : 0);
  std::iota(f.predicted_class.begin(), f.predicted_class.end(), 0);
  f.proba.assign(classifier ? n : 0, {0.5, 0.5});
  for (size_t i = 0; i < n && !classifier; ++i) f.value.push_back(10.0 * static_cast<double>(i));
  return f;
}

void split(FlatTree& f, size_t id, int64_t left, int64_t right) {
  f.is_leaf[id] = 0, f.feature[id] = 0, f.lower[id] = -INF, f.upper[id] = 1.0;
  f.children_left[id] = left, f.children_right[id] = right;
}

// Root 0 splits into leaf 1 and split 2, whose children are leaves 3 and 4.
FlatTree five(bool classifier) {
  FlatTree f = lists(5, classifier);
  split(f, 0, 1, 2);
  split(f, 2, 3, 4);
  return f;
}

std::string refusal(const FlatTree& f, bool classifier) {
  const auto message = [](const auto& r) {
    return std::holds_alternative<std::string>(r) ? std::get<std::string>(r) : "(accepted)";
  };
  return classifier ? message(import_classification(f)) : message(import_regression(f));
}

struct RefusalCase {
  const char* name;
  bool classifier;
  std::function<void(FlatTree&)> damage;
  const char* message;
};

class TreeImportRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(TreeImportRefuses, WithItsMessage) {
  const RefusalCase& c = GetParam();
  FlatTree f = five(c.classifier);
  c.damage(f);
  EXPECT_EQ(refusal(f, c.classifier), c.message);
}

const RefusalCase REFUSALS[] = {
    RefusalCase{"no_nodes", false, [](FlatTree& f) { f = lists(0, false); },
                "tree state has no nodes"},
    RefusalCase{"left_child_negative", false, [](FlatTree& f) { f.children_left[2] = -1; },
                "node 2 has left child -1 out of range (the tree state has 5 nodes)"},
    RefusalCase{"right_child_past_end", false, [](FlatTree& f) { f.children_right[0] = 5; },
                "node 0 has right child 5 out of range (the tree state has 5 nodes)"},
    RefusalCase{"child_most_negative", true, [](FlatTree& f) { f.children_right[0] = INT64_MIN; },
                "node 0 has right child -9223372036854775808 out of range (the tree state "
                "has 5 nodes)"},
    RefusalCase{"self_loop", false, [](FlatTree& f) { f.children_left[0] = 0; },
                "tree state has a cycle: node 0 links back to node 0"},
    RefusalCase{"cycle_to_ancestor", false, [](FlatTree& f) { f.children_right[2] = 0; },
                "tree state has a cycle: node 2 links back to node 0"},
    RefusalCase{"shared_child", false, [](FlatTree& f) { f.children_right[2] = 1; },
                "tree state reaches node 1 twice (again from node 2)"},
    RefusalCase{"short_n_samples", false, [](FlatTree& f) { f.n_samples.resize(4); },
                "tree state key \"n_samples\" has no entry for node 4"},
    RefusalCase{"short_value", false, [](FlatTree& f) { f.value.resize(1); },
                "tree state key \"value\" has no entry for node 1"},
    RefusalCase{"short_proba", true, [](FlatTree& f) { f.proba.resize(3); },
                "tree state key \"proba\" has no entry for node 3"},
    RefusalCase{"short_upper_numeric", false, [](FlatTree& f) { f.upper.resize(1); },
                "tree state key \"upper\" has no entry for node 2"},
    RefusalCase{"short_category_categorical", false,
                [](FlatTree& f) {
                  f.is_categorical[2] = 1;
                  f.category.resize(2);
                },
                "tree state key \"category\" has no entry for node 2"},
    RefusalCase{"short_evidence", false, [](FlatTree& f) { f.fold_score_std = {0.5}; },
                "tree state key \"fold_score_std\" has no entry for node 2"}};
INSTANTIATE_TEST_SUITE_P(Lists, TreeImportRefuses, ::testing::ValuesIn(REFUSALS),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The fuzz codec and the seed corpus. ----

NodeList<double> fitted_regression(SplitMode mode) {
  std::vector<double> x0(120), x1(120), y(120);
  std::vector<uint32_t> c(120);
  for (size_t i = 0; i < x0.size(); ++i) {
    x0[i] = i % 17 == 0 ? NaN : std::sin(1.3 * static_cast<double>(i));
    x1[i] = std::cos(0.7 * static_cast<double>(i)), c[i] = static_cast<uint32_t>(i % 4);
    y[i] = (x0[i] < 0.3 ? 2.0 : -1.0) + (c[i] == 2 ? 3.0 : 0.0) + 0.2 * x1[i];
  }
  const std::vector<Column> cols{Column::numeric(x0), Column::categories(c), Column::numeric(x1)};
  TreeParams p;
  p.mode = mode;
  const Regression task{std::make_unique<Mse>()};
  if (mode == SplitMode::Strict) {
    return build_tree_strict(task, p, Mean(), cols, std::span<const double>(y));
  }
  const BinnedData binned = std::get<BinnedData>(BinnedData::fit(cols, p.n_bins));
  return build_tree_fast(task, p, Mean(), binned, std::span<const double>(y));
}

NodeList<ClassPrediction> fitted_classification() {
  std::vector<double> x(90);
  std::vector<ClassLabel> y(90);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(i % 30), y[i] = i % 30 / 10;
  const std::vector<Column> cols{Column::numeric(x)};
  Classification task{std::make_unique<Gini>(3), 3};
  return build_tree_strict(task, TreeParams{}, Mean(), cols, std::span<const ClassLabel>(y));
}

// Seeds: fitted trees of both kinds and modes, and every list the import refuses above.
std::vector<std::pair<std::string, fuzz::EncodedTree>> seeds() {
  std::vector<std::pair<std::string, fuzz::EncodedTree>> out;
  for (const SplitMode mode : {SplitMode::Strict, SplitMode::Fast}) {
    const NodeList<double> fitted = fitted_regression(mode);
    out.push_back({mode == SplitMode::Strict ? "strict_regression" : "fast_regression",
                   {fuzz::flat_from_records(walk_export(fitted), false), false}});
  }
  out.push_back({"classification",
                 {fuzz::flat_from_records(walk_export(fitted_classification()), true), true}});
  out.push_back({"five_nodes", {five(true), true}});
  for (const RefusalCase& c : REFUSALS) {
    FlatTree f = five(c.classifier);
    c.damage(f);
    out.push_back({c.name, {f, c.classifier}});
  }
  FlatTree extremes = five(false);
  extremes.feature[2] = INT64_MAX;
  extremes.lower[0] = -0.0;
  extremes.n_samples[4] = UINT64_MAX;
  out.push_back({"extremes", {extremes, false}});
  return out;
}

TEST(FuzzCodec, SeedsRoundTripAndPassTheChecks) {
  const char* dir = std::getenv("ORNIK_FUZZ_SEEDS");  // set by `make fuzz`
  for (const auto& [name, tree] : seeds()) {
    SCOPED_TRACE(name);
    const std::vector<uint8_t> bytes = fuzz::encode(tree);
    const fuzz::EncodedTree back = fuzz::decode(bytes.data(), bytes.size());
    EXPECT_EQ(back.classifier, tree.classifier);
    EXPECT_EQ(fuzz::encode(back), bytes);  // every list and float survives, bit for bit
    EXPECT_EQ(fuzz::check_input(bytes.data(), bytes.size()), "");
    if (dir != nullptr) {
      std::filesystem::create_directories(dir);
      std::ofstream(std::filesystem::path(dir) / name, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
    }
  }
  EXPECT_GT(fitted_regression(SplitMode::Strict).size(), 3u);  // the seeds hold real splits
  EXPECT_GT(fitted_classification().size(), 3u);
}

}  // namespace
}  // namespace ornik
