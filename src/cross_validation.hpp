// K-fold division of a node's samples: Strict mode's fold lists, Fast mode's fold assignment, and
// the targets of each fold's rows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "data.hpp"

namespace ornik {

struct Fold {
  std::vector<size_t> train;
  std::vector<size_t> val;
};

// Row-sized buffers: every entry is written before it is read.
struct FoldAssignment {
  FillLaterRowVector<uint32_t> order;   // node rows in permuted order
  FillLaterRowVector<uint8_t> fold_of;  // fold of order[p]
  size_t n_folds = 0;
  bool every_place = false;  // order is a permutation of 0 .. n - 1
};

// Fast mode addresses a node's rows by 32-bit positions and stores fold numbers in 8 bits.
inline constexpr uint64_t kMaxFastRows = UINT32_MAX;
inline constexpr size_t kMaxFastFolds = 255;

// The folds a node of n > 0 samples is divided into: as requested, but at least 2, at most n and
// at most max_folds. Out-of-range requests are clamped silently.
size_t fold_count(size_t requested, size_t n, size_t max_folds);

// One SplitMix64 draw; advances state.
inline uint64_t splitmix64_next(uint64_t& state) {
  state += 0x9E3779B97F4A7C15ull;
  uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

struct KFold {
  size_t n_folds = 5;
  uint64_t seed = 42;
  bool shuffle = true;

  std::vector<Fold> folds(std::span<const size_t> indices) const;
  // The assignment of the given indices; of 0 .. n - 1 with the second form, the permutation the
  // first applies to any n indices.
  FoldAssignment assign(std::span<const uint32_t> indices) const;
  FoldAssignment assign(size_t n) const;
  // The second form into out, whose buffers are reused.
  void assign(size_t n, FoldAssignment& out) const;
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

}  // namespace ornik
