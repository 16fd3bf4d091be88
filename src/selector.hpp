// Scored candidate splits and the choice of the best one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "fold_stats.hpp"
#include "sorted_feature.hpp"

namespace ornik {

struct ScoredCandidate {
  FoldStats stats;
  size_t feature = 0;
  StateCode state = 0;
  double score = 0.0;
};

// Whether a candidate of this finite score, feature and state is chosen over b: a higher score, or
// an equal one at a lower feature, then a lower state.
inline bool ranks_above(double score, size_t feature, StateCode state, const ScoredCandidate& b) {
  return score > b.score ||
         (score == b.score && (feature < b.feature || (feature == b.feature && state < b.state)));
}

// Index of the candidate with the highest finite score; exact ties go to the lower feature, then
// the lower state. None when no score is finite.
std::optional<size_t> select_best(std::span<const ScoredCandidate> candidates);

// The candidates a scan offers: every one of them, or, for a builder that needs only the winner,
// the one select_best would choose among those offered so far (a list of at most one).
class Candidates {
 public:
  explicit Candidates(bool keep_all = true) : keep_all_(keep_all) {}

  // Summarises a candidate's fold scores (n_folds tried), aggregates them and keeps it as asked;
  // the summary is computed whole only for a candidate that is kept.
  void offer(std::span<const double> scores, size_t n_folds, size_t feature, StateCode state,
             const Aggregator& aggregator);
  const std::vector<ScoredCandidate>& list() const { return list_; }
  std::vector<ScoredCandidate> take() { return std::move(list_); }

 private:
  // Whether a candidate of this finite score is kept over the best so far (keep_all_ false).
  bool replaces_best(double score, size_t feature, StateCode state) const {
    return list_.empty() || ranks_above(score, feature, state, list_[0]);
  }

  bool keep_all_;
  std::vector<ScoredCandidate> list_;
  FoldStats summary_;  // the summary of the last offer, its buffer reused
};

}  // namespace ornik
