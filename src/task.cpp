#include "task.hpp"

#include <vector>

namespace ornik {

ClassPrediction class_leaf(size_t n_classes, std::span<const ClassLabel> labels) {
  ClassPrediction out;
  if (n_classes == 0) return out;
  std::vector<uint64_t> counts(n_classes, 0);
  for (const ClassLabel l : labels) {
    if (l < n_classes) ++counts[l];
  }
  uint64_t total = 0;
  for (const uint64_t c : counts) total += c;
  out.proba.assign(n_classes, 0.0);
  if (total > 0) {
    const double t = static_cast<double>(total);
    for (size_t c = 0; c < n_classes; ++c) out.proba[c] = static_cast<double>(counts[c]) / t;
  }
  out.class_ = majority_class(std::span<const uint64_t>(counts));
  return out;
}

}  // namespace ornik
