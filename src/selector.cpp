#include "selector.hpp"

#include <cmath>

namespace ornik {

std::optional<size_t> select_best(std::span<const ScoredCandidate> candidates) {
  std::optional<size_t> best;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const ScoredCandidate& c = candidates[i];
    if (!std::isfinite(c.score)) continue;
    if (!best) {
      best = i;
      continue;
    }
    const ScoredCandidate& b = candidates[*best];
    if (c.score > b.score ||
        (c.score == b.score &&
         (c.feature < b.feature || (c.feature == b.feature && c.state < b.state)))) {
      best = i;
    }
  }
  return best;
}

}  // namespace ornik
