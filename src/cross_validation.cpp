#include "cross_validation.hpp"

#include <algorithm>
#include <numeric>

namespace ornik {
namespace {

// Fold f covers positions [begin(f), begin(f + 1)) of the permuted list: consecutive blocks of
// base + 1 samples for f < rem and base samples after that.
struct FoldSizes {
  size_t base;
  size_t rem;
  size_t begin(size_t f) const { return f * base + std::min(f, rem); }
};

}  // namespace

size_t fold_count(size_t requested, size_t n, size_t max_folds) {
  return std::min({std::max<size_t>(requested, 2), n, max_folds});
}

std::vector<Fold> KFold::folds(std::span<const size_t> indices) const {
  const size_t n = indices.size();
  if (n == 0) return {};
  const size_t count = fold_count(n_folds, n, SIZE_MAX);
  std::vector<size_t> perm(indices.begin(), indices.end());
  if (shuffle) shuffle_indices(std::span<size_t>(perm), seed);
  const FoldSizes sizes{n / count, n % count};
  std::vector<Fold> out(count);
  for (size_t f = 0; f < count; ++f) {
    const auto first = perm.begin() + static_cast<std::ptrdiff_t>(sizes.begin(f));
    const auto last = perm.begin() + static_cast<std::ptrdiff_t>(sizes.begin(f + 1));
    Fold& fold = out[f];
    fold.val.assign(first, last);
    fold.train.reserve(n - fold.val.size());
    fold.train.insert(fold.train.end(), perm.begin(), first);
    fold.train.insert(fold.train.end(), last, perm.end());
  }
  return out;
}

FoldAssignment KFold::assign(std::span<const uint32_t> indices) const {
  FoldAssignment out = assign(indices.size());
  for (uint32_t& p : out.order) p = indices[p];
  out.every_place = false;
  return out;
}

FoldAssignment KFold::assign(size_t n) const {
  FoldAssignment out;
  assign(n, out);
  return out;
}

void KFold::assign(size_t n, FoldAssignment& out) const {
  // Every entry is written below; a reused buffer keeps its memory.
  out.order.resize(n);
  out.fold_of.resize(n);
  out.n_folds = 0;
  out.every_place = false;
  if (n == 0) return;
  const size_t count = fold_count(n_folds, n, kMaxFastFolds);
  std::iota(out.order.begin(), out.order.end(), uint32_t{0});
  if (shuffle) shuffle_indices(std::span<uint32_t>(out.order), seed);
  const FoldSizes sizes{n / count, n % count};
  for (size_t f = 0; f < count; ++f) {
    std::fill(out.fold_of.begin() + static_cast<std::ptrdiff_t>(sizes.begin(f)),
              out.fold_of.begin() + static_cast<std::ptrdiff_t>(sizes.begin(f + 1)),
              static_cast<uint8_t>(f));
  }
  out.n_folds = count;
  out.every_place = true;
}

}  // namespace ornik
