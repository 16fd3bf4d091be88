#include "fold_picks.hpp"

namespace ornik {

void FoldPicks::merge(const FoldPicks& other) {
  for (size_t f = 0; f < picks_.size() && f < other.picks_.size(); ++f) {
    const FoldPick& p = other.picks_[f];
    if (p.picked && beats(f, p.gain, p.feature, p.position)) picks_[f] = p;
  }
}

FoldStats FoldPicks::held_out_stats() const {
  std::vector<double> scores;
  for (const FoldPick& p : picks_) {
    if (p.scored) scores.push_back(p.held_out);
  }
  return FoldStats::from_scores(std::move(scores), picks_.size());
}

}  // namespace ornik
