// Scored candidate splits and the choice of the best one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "fold_stats.hpp"
#include "sorted_feature.hpp"

namespace ornik {

struct ScoredCandidate {
  FoldStats stats;
  size_t feature = 0;
  StateCode state = 0;
  double score = 0.0;
};

// Index of the candidate with the highest finite score; exact ties go to the lower feature, then
// the lower state. None when no score is finite.
std::optional<size_t> select_best(std::span<const ScoredCandidate> candidates);

}  // namespace ornik
