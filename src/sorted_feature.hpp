// The candidate states of one feature at one Strict node, and a numeric feature's node values
// kept sorted from node to node.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "data.hpp"

namespace ornik {

// Strict-mode code of a value: its bin among quantile edges, or its raw label. 64 bits wide so
// that codes stay exact however large n_bins is.
using StateCode = uint64_t;
inline constexpr StateCode MISSING_STATE = UINT64_MAX;

// Distinct states among the listed rows, ascending: raw labels of a categorical column, or bin
// codes against the rows' own quantile edges for a numeric one. Missing values add nothing.
std::vector<StateCode> present_states(const Column& column, std::span<const size_t> rows,
                                      uint64_t n_bins);

// The rows of a numeric feature's finite values among a node's samples, ascending in total
// order of the value (ties in row order). Only the rows are held; values are read through them
// from the column. Kept per node so that no node sorts: children inherit stable partitions.
struct SortedFeature {
  StridedValues column;
  std::vector<uint32_t> rows;

  size_t size() const { return rows.size(); }
  double value(size_t i) const { return column[rows[i]]; }
};

// The sorted finite values of a whole column.
SortedFeature sort_feature(const Column& column);

// Splits a node's sorted feature between its children, keeping the order on both sides;
// left_rows and right_rows are the children's sample counts (bounds on their list sizes).
void split_sorted(const SortedFeature& parent, std::span<const uint8_t> goes_left, size_t left_rows,
                  size_t right_rows, SortedFeature& left, SortedFeature& right);

// Edge i of the literal quantile edge list of the sorted values (i = 0 .. n_bins - 2).
double sorted_edge(const SortedFeature& sorted, uint64_t n_bins, uint64_t i);

}  // namespace ornik
