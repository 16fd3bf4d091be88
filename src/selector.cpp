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
    if (ranks_above(c.score, c.feature, c.state, candidates[*best])) best = i;
  }
  return best;
}

void Candidates::offer(std::span<const double> scores, size_t n_folds, size_t feature,
                       StateCode state, const Aggregator& aggregator) {
  summary_.assign(scores, n_folds, aggregator.reads());
  const double score = aggregator.aggregate(summary_);
  if (!keep_all_ && (!std::isfinite(score) || !replaces_best(score, feature, state))) return;
  // A kept candidate's summary is whole, whatever the aggregator read.
  summary_.complete();
  if (keep_all_) {
    list_.push_back({summary_, feature, state, score});
    return;
  }
  list_.assign(1, {summary_, feature, state, score});
}

}  // namespace ornik
