// What the selection-aware stop test keeps per fold: the candidate that the fold's training part
// alone would pick by its in-sample gain, and that candidate's held-out score in the fold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "fold_stats.hpp"

namespace ornik {

struct FoldPick {
  double gain = 0.0;
  double held_out = 0.0;
  size_t feature = 0;
  uint64_t position = 0;  // the candidate's place among its feature's candidates (its bin in Fast)
  bool picked = false;
  bool scored = false;  // the pick has a held-out score in the fold
};

class FoldPicks {
 public:
  explicit FoldPicks(size_t n_folds = 0) : picks_(n_folds) {}

  // Whether a candidate of this training gain would replace fold f's pick: a higher gain, or an
  // equal one at a lower feature, then a lower position. A NaN gain never does.
  bool beats(size_t f, double gain, size_t feature, uint64_t position) const {
    const FoldPick& p = picks_[f];
    if (!p.picked) return gain == gain;
    return gain > p.gain || (gain == p.gain && (feature < p.feature ||
                                                (feature == p.feature && position < p.position)));
  }
  void take(size_t f, double gain, size_t feature, uint64_t position,
            std::optional<double> held_out) {
    picks_[f] =
        FoldPick{gain, held_out.value_or(0.0), feature, position, true, held_out.has_value()};
  }
  // Keeps, per fold, whichever pick beats the other: the result does not depend on how the
  // candidates were divided between the two.
  void merge(const FoldPicks& other);
  // The held-out scores of the picks that have one, in fold order, over every fold.
  FoldStats held_out_stats() const;
  const std::vector<FoldPick>& folds() const { return picks_; }

 private:
  std::vector<FoldPick> picks_;
};

}  // namespace ornik
