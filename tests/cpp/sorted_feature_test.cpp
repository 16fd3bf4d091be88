// Sorted node values must give exactly what sorting and selecting from scratch gives.
#include "sorted_feature.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "fold_coding.hpp"
#include "quantile.hpp"

namespace ornik {
namespace {

std::vector<double> random_values(size_t n, std::mt19937_64& rng) {
  std::normal_distribution<double> normal;
  std::vector<double> v(n);
  for (double& x : v) {
    const uint64_t pick = rng() % 20;
    x = pick == 0   ? std::nan("")
        : pick == 1 ? -0.0
        : pick == 2 ? 0.0
        : pick < 8  ? std::round(normal(rng) * 3)
                    : normal(rng);
  }
  return v;
}

TEST(SortedFeature, RadixAndComparisonSortsAgree) {
  std::mt19937_64 rng(3);
  for (const size_t n : {1000u, 70000u}) {  // below and above the radix threshold
    const Column column = Column::numeric(random_values(n, rng));
    const SortedFeature sorted = sort_feature(column);
    std::vector<size_t> rows;
    for (size_t r = 0; r < n; ++r) {
      if (std::isfinite(column.numbers[r])) rows.push_back(r);
    }
    std::stable_sort(rows.begin(), rows.end(), [&](size_t a, size_t b) {
      return total_order_less(column.numbers[a], column.numbers[b]);
    });
    ASSERT_EQ(sorted.rows.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(sorted.rows[i], rows[i]) << i;
  }
}

// States and every fold's codes from a node's sorted values equal present_states and
// code_fold_rows on the same node, for nodes that are random subsets of the rows.
TEST(SortedFeature, CodesMatchTheLiteralProcedure) {
  std::mt19937_64 rng(9);
  for (int round = 0; round < 60; ++round) {
    const size_t n_rows = 50 + rng() % 400;
    const Column column = Column::numeric(random_values(n_rows, rng));
    std::vector<uint8_t> in_node(n_rows);
    std::vector<size_t> samples;
    for (size_t r = 0; r < n_rows; ++r) {
      in_node[r] = rng() % 3 != 0;
      if (in_node[r]) samples.push_back(r);
    }
    std::shuffle(samples.begin(), samples.end(), rng);
    if (samples.empty()) continue;
    SortedFeature all = sort_feature(column), node, rest;
    split_sorted(all, in_node, samples.size(), n_rows - samples.size(), node, rest);

    const uint64_t n_bins = std::vector<uint64_t>{0, 1, 2, 3, 8, 40, 1000}[rng() % 7];
    const KFold kfold{1 + rng() % 7, rng(), rng() % 2 == 0};
    const std::vector<Fold> folds = kfold.folds(samples);
    std::vector<uint64_t> slot_of_row(n_rows);
    for (size_t f = 0; f < folds.size(); ++f) {
      for (size_t v = 0; v < folds[f].val.size(); ++v)
        slot_of_row[folds[f].val[v]] = fold_slot(f, v);
    }
    CodedFeature coded;
    code_sorted_feature(node, folds, slot_of_row, n_bins, true, coded);
    const CodedFeature literal = code_fold_rows(column, folds, n_bins, true);

    ASSERT_EQ(coded.states, present_states(column, samples, n_bins)) << round;
    for (size_t f = 0; f < folds.size(); ++f) {
      ASSERT_EQ(coded.val_codes[f], literal.val_codes[f]) << round;
      // Training rows are coded against the fold's own training edges too.
      const std::vector<double> train_edges = [&] {
        std::vector<double> v;
        for (const size_t r : folds[f].train) v.push_back(column.numbers[r]);
        return quantile_edges(v, n_bins);
      }();
      ASSERT_EQ(coded.train_codes[f], literal.train_codes[f]) << round;
      for (size_t i = 0; i < folds[f].train.size(); ++i) {
        const double x = column.numbers[folds[f].train[i]];
        const StateCode want = std::isfinite(x) ? bin_code(train_edges, x) : MISSING_STATE;
        ASSERT_EQ(coded.train_codes[f][i], want) << round << " fold " << f << " row " << i;
      }
    }
    if (!coded.states.empty() && n_bins >= 2) {
      std::vector<double> v;
      for (const size_t r : samples) v.push_back(column.numbers[r]);
      const std::vector<double> edges = quantile_edges(v, n_bins);
      for (uint64_t k = 0; k + 1 < n_bins; ++k) ASSERT_EQ(sorted_edge(node, n_bins, k), edges[k]);
    }
  }
}

}  // namespace
}  // namespace ornik
