#include "data.hpp"

#include <algorithm>

namespace ornik {

void sort_total_order(std::span<double> values) {
  std::sort(values.begin(), values.end(), total_order_less);
}

}  // namespace ornik
