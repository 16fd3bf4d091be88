// K-fold division of a node's samples, fold-score summaries and Strict-mode fold scoring.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "criterion.hpp"
#include "data.hpp"

namespace ornik {

// Strict-mode code of a value: its bin among a fold's training-part edges, or its raw label.
// 64 bits wide so that codes stay exact however large n_bins is.
using StateCode = uint64_t;
inline constexpr StateCode MISSING_STATE = UINT64_MAX;

struct FoldStats {
  std::vector<double> scores;  // in fold order; folds without a score are absent
  double mean = 0.0;
  double median = 0.0;
  double std = 0.0;
  size_t n_valid = 0;
  size_t n_folds = 0;

  static FoldStats from_scores(std::vector<double> scores, size_t n_folds);
};

struct Fold {
  std::vector<size_t> train;
  std::vector<size_t> val;
};

struct FoldAssignment {
  std::vector<uint32_t> order;   // node rows in permuted order
  std::vector<uint8_t> fold_of;  // fold of order[p]
  size_t k = 0;
};

// One SplitMix64 draw; advances state.
inline uint64_t splitmix64_next(uint64_t& state) {
  state += 0x9E3779B97F4A7C15ull;
  uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

struct KFold {
  size_t k = 5;
  uint64_t seed = 42;
  bool shuffle = true;

  std::vector<Fold> folds(std::span<const size_t> indices) const;
  FoldAssignment assign(std::span<const uint32_t> indices) const;
};

// Fisher-Yates over SplitMix64 seeded with seed ^ (n * golden ratio); n - 1 draws.
template <class T>
void shuffle_indices(std::span<T> items, uint64_t seed) {
  const uint64_t n = items.size();
  uint64_t state = seed ^ (n * 0x9E3779B97F4A7C15ull);
  for (uint64_t i = n; i >= 2; --i) {
    const uint64_t j = splitmix64_next(state) % i;
    std::swap(items[i - 1], items[j]);
  }
}

// Codes of the fold's validation rows: categorical, the raw label (MISSING_STATE when missing);
// numeric, the bin among edges learned from the fold's training rows (MISSING_STATE when not
// finite).
std::vector<StateCode> fold_val_codes(const Column& column, const Fold& fold, uint64_t n_bins);

// Bucket of each code among the ascending states: the first state that sends it left (ordered:
// the first state >= code; unordered: the state equal to the code), or states.size() when none
// does. Missing codes never go left.
void bucket_codes(std::span<const StateCode> codes, std::span<const StateCode> states, bool ordered,
                  std::vector<uint32_t>& out);

// Impurity scoring of states from codes and targets gathered beforehand: val_codes[f] and
// val_targets[f] follow folds[f].val. Same results as cv_score_states.
template <class Target>
std::vector<FoldStats> score_coded_states(bool ordered, std::span<const StateCode> states,
                                          std::span<const Fold> folds,
                                          std::span<const std::vector<StateCode>> val_codes,
                                          std::span<const std::vector<Target>> val_targets,
                                          const Criterion<Target>& criterion);

// The targets of each fold's rows, in list order (validation or training).
template <class Target>
std::vector<std::vector<Target>> gather_fold_targets(std::span<const Fold> folds,
                                                     std::span<const Target> targets, bool train) {
  std::vector<std::vector<Target>> out(folds.size());
  for (size_t f = 0; f < folds.size(); ++f) {
    const std::vector<size_t>& rows = train ? folds[f].train : folds[f].val;
    out[f].resize(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) out[f][i] = targets[rows[i]];
  }
  return out;
}

// Strict impurity scoring of one feature's states, fold by fold; one FoldStats per state.
template <class Target>
std::vector<FoldStats> cv_score_states(const Column& column, bool ordered,
                                       std::span<const StateCode> states,
                                       std::span<const Fold> folds, std::span<const Target> targets,
                                       const Criterion<Target>& criterion, uint64_t n_bins);

}  // namespace ornik
