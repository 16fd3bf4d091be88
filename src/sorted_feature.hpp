// The candidate states of one feature at one Strict node.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cross_validation.hpp"
#include "data.hpp"

namespace ornik {

// Distinct states among the listed rows, ascending: raw labels of a categorical column, or bin
// codes against the rows' own quantile edges for a numeric one. Missing values add nothing.
std::vector<StateCode> present_states(const Column& column, std::span<const size_t> rows,
                                      uint64_t n_bins);

}  // namespace ornik

namespace ornik {

// A numeric feature's finite values among a node's samples, ascending in total order, with
// their rows. Kept per node so that no node sorts: children inherit stable partitions.
struct SortedFeature {
  std::vector<double> values;
  std::vector<uint32_t> rows;
};

// The sorted finite values of a whole column.
SortedFeature sort_feature(const Column& column);

// Splits a node's sorted feature between its children, keeping the order on both sides;
// left_rows and right_rows are the children's sample counts (bounds on their list sizes).
void split_sorted(const SortedFeature& parent, std::span<const uint8_t> goes_left, size_t left_rows,
                  size_t right_rows, SortedFeature& left, SortedFeature& right);

// Edge k of the literal quantile edge list of the sorted values (k = 0 .. n_bins - 2).
double sorted_edge(const SortedFeature& sorted, uint64_t n_bins, uint64_t k);

// The present states of a numeric feature at a node and the codes of every fold's validation
// (and, when asked, training) rows, all derived from the node's sorted values: the same
// results as present_states and fold_val_codes, without sorting or selecting.
struct CodedFeature {
  std::vector<StateCode> states;
  std::vector<std::vector<StateCode>> val_codes;
  std::vector<std::vector<StateCode>> train_codes;
};

// Where a node row sits among the folds: its fold in the high 32 bits, its position in that
// fold's validation list in the low 32 bits.
inline uint64_t fold_slot(size_t fold, size_t position) {
  return (static_cast<uint64_t>(fold) << 32) | position;
}

// slot_of_row[r] is fold_slot of node row r.
void code_sorted_feature(const SortedFeature& sorted, std::span<const Fold> folds,
                         std::span<const uint64_t> slot_of_row, uint64_t n_bins,
                         bool with_train_codes, CodedFeature& out);

}  // namespace ornik
