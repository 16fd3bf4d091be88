// Training columns built from a matrix of any memory layout.
#pragma once

#include <cstddef>
#include <vector>

#include "data.hpp"

namespace ornik {

// Column j of x: labels at a position listed in `categorical` (ascending), numbers elsewhere.
Column build_column(const MatrixView& x, size_t j, const std::vector<size_t>& categorical);

// Every column of x at once, reading x in its own memory order.
std::vector<Column> build_columns(const MatrixView& x, const std::vector<size_t>& categorical);

}  // namespace ornik
