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
