#include "candidate.hpp"

#include <algorithm>
#include <cmath>

#include "encoder.hpp"

namespace ornik {

std::vector<StateCode> present_states(const Column& column, std::span<const size_t> rows,
                                      uint64_t n_bins) {
  std::vector<StateCode> states;
  states.reserve(rows.size());
  if (column.categorical) {
    for (const size_t r : rows) {
      const uint32_t label = column.labels[r];
      if (label != MISSING_CATEGORY) states.push_back(label);
    }
  } else {
    // Bins come from the node's own samples, not from the whole training set.
    std::vector<double> values(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) values[i] = column.numbers[rows[i]];
    const QuantileEdges edges(values, n_bins);
    for (const double x : values) {
      if (std::isfinite(x)) states.push_back(edges.code(x));
    }
  }
  std::sort(states.begin(), states.end());
  states.erase(std::unique(states.begin(), states.end()), states.end());
  return states;
}

}  // namespace ornik
