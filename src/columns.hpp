// Training columns built from a matrix of any memory layout.
#pragma once

#include <cstddef>
#include <vector>

#include "data.hpp"

namespace ornik {

// Column j of x, read in place (x must outlive the column): labels, still to be converted, at a
// position listed in `categorical` (ascending); numbers elsewhere.
Column build_column(const MatrixView& x, size_t j, const std::vector<size_t>& categorical);

// Every column of x at once: categorical labels converted in x's own memory order, numbers read
// in place (x must outlive the columns), so no float copy of x is made.
std::vector<Column> build_columns(const MatrixView& x, const std::vector<size_t>& categorical);

}  // namespace ornik
