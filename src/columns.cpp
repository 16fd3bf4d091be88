#include "columns.hpp"

#include <algorithm>
#include <cstdlib>

namespace ornik {

Column build_column(const MatrixView& x, size_t j, const std::vector<size_t>& categorical) {
  if (std::binary_search(categorical.begin(), categorical.end(), j))
    return Column::categories_view(x, j);
  return Column::numeric_view(x, j);
}

std::vector<Column> build_columns(const MatrixView& x, const std::vector<size_t>& categorical) {
  std::vector<Column> columns(x.cols);
  std::vector<size_t> label_columns;
  for (size_t j = 0; j < x.cols; ++j) {
    if (std::binary_search(categorical.begin(), categorical.end(), j)) {
      columns[j] = Column::categories(std::vector<uint32_t>(x.rows));
      label_columns.push_back(j);
    } else {
      columns[j] = Column::numeric_view(x, j);
    }
  }
  // Walk x in its own memory order: down the columns when a column's values lie closer together
  // than a row's (a C-ordered x is read row by row).
  const bool column_major = std::abs(x.row_stride) < std::abs(x.col_stride);
  if (column_major) {
    for (const size_t j : label_columns) {
      for (size_t i = 0; i < x.rows; ++i) columns[j].labels[i] = category_label(x.at(i, j));
    }
  } else {
    for (size_t i = 0; i < x.rows; ++i) {
      for (const size_t j : label_columns) columns[j].labels[i] = category_label(x.at(i, j));
    }
  }
  return columns;
}

}  // namespace ornik
