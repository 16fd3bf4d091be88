// The summary of a candidate's per-fold scores that the aggregators read.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace ornik {

// The parts of a summary besides the scores, their mean and counts: an aggregator names those it
// reads, so that a scan computes no others for the many candidates it ranks and drops.
enum FoldSummaryParts : unsigned { kSpread = 1u, kMedian = 2u, kEveryPart = kSpread | kMedian };

struct FoldStats {
  std::vector<double> scores;  // in fold order; folds without a score are absent
  double mean = 0.0;
  double median = 0.0;
  double std = 0.0;
  size_t n_valid = 0;
  size_t n_folds = 0;

  static FoldStats from_scores(std::vector<double> scores, size_t n_folds);
  // The same summary in place, reusing this one's buffer, with only the parts asked for (the
  // others NaN until complete()).
  void assign(std::span<const double> fold_scores, size_t folds, unsigned parts = kEveryPart);
  // Computes the parts that assign left out.
  void complete();

 private:
  void summarise(size_t folds, unsigned parts);
  void summarise_spread();
  void summarise_median();

  unsigned missing_ = 0;  // the parts not yet computed
};

}  // namespace ornik
