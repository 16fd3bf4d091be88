// The summary of a candidate's per-fold scores that the aggregators read.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace ornik {

struct FoldStats {
  std::vector<double> scores;  // in fold order; folds without a score are absent
  double mean = 0.0;
  double median = 0.0;
  double std = 0.0;
  size_t n_valid = 0;
  size_t n_folds = 0;

  static FoldStats from_scores(std::vector<double> scores, size_t n_folds);
  // The same summary in place, reusing this one's buffer.
  void assign(std::span<const double> fold_scores, size_t folds);

 private:
  void summarise(size_t folds);
};

}  // namespace ornik
