#include "histogram.hpp"

#include <algorithm>
#include <atomic>

#include "parallel.hpp"

namespace ornik {
namespace {

// How far ahead of the current row the pass prefetches codes, targets and weights.
constexpr size_t kPrefetchDistance = 8;

// The node's rows in fold-assignment order, their codes read from the block's matrix.
template <class Code>
struct AssignedRows {
  const Code* matrix;
  size_t stride;
  const uint32_t* order;
  const uint8_t* fold_of;
  size_t n;

  size_t size() const { return n; }
  static constexpr bool in_node(size_t) { return true; }
  size_t row(size_t p) const { return order[p]; }
  size_t column(size_t p) const { return fold_of[p]; }
  const Code* codes(size_t row, size_t) const { return matrix + row * stride; }
  template <class Target, class Weights>
  void prefetch(size_t p, const Target* targets, const Weights& weights) const {
    if (p + kPrefetchDistance < n) {
      const size_t ahead = order[p + kPrefetchDistance];
      __builtin_prefetch(matrix + ahead * stride);
      __builtin_prefetch(targets + ahead);
      if constexpr (std::is_same_v<Weights, RowWeights>)
        __builtin_prefetch(weights.weights + ahead);
    }
  }
};

// A fold number that marks a row outside the node.
constexpr uint8_t kNotInNode = UINT8_MAX;

// The block's rows in place order, each with its fold (kNotInNode for a row outside the node):
// for sums whose order does not matter.
template <class Code>
struct RowsInPlace {
  const Code* matrix;
  size_t stride;
  const uint8_t* fold_at;
  size_t n;

  size_t size() const { return n; }
  bool in_node(size_t p) const { return fold_at[p] != kNotInNode; }
  size_t row(size_t p) const { return p; }
  size_t column(size_t p) const { return fold_at[p]; }
  const Code* codes(size_t row, size_t) const { return matrix + row * stride; }
  template <class Target, class Weights>
  void prefetch(size_t, const Target*, const Weights&) const {}
};

// Integer lanes when every sample weighs one, weights otherwise.
template <class Weights>
using ClassLane = std::conditional_t<std::is_same_v<Weights, UnitWeights>, uint32_t, double>;

// A part of a node's pass: positions [first, last) of its source (never empty), features
// [feature_first, feature_last); it adds the column totals when it holds the first feature. A part
// of a fold's rows (read in fold order) is that fold's part number `part`: a later part waits for
// the parts before it, whose sums it takes on, and hands its own on to the part after it.
struct PassSlice {
  size_t first, last, feature_first, feature_last;
  size_t fold = 0, part = 0;
  bool hands_on = false;  // not the fold's last part
};

// The slices of a pass over positions in fold order (fold_of non-decreasing), one list per
// worker: worker w takes the w-th of n_workers even runs of positions, every feature, one slice
// per fold it reaches. So every row is read once. A fold cut between workers is summed in order
// all the same: the worker holding its first part does that part first, and the one holding its
// next part does that part last, once the first has been handed on.
std::vector<std::vector<PassSlice>> fold_order_slices(std::span<const uint8_t> fold_of,
                                                      size_t n_folds, size_t n_features,
                                                      size_t n_workers) {
  const size_t n = fold_of.size();
  std::vector<size_t> start(n_folds + 1, n);  // fold k's positions begin at start[k]
  for (size_t k = 0; k < n_folds; ++k) {
    start[k] = static_cast<size_t>(
        std::lower_bound(fold_of.begin(), fold_of.end(), static_cast<uint8_t>(k)) -
        fold_of.begin());
  }
  std::vector<size_t> parts(n_folds, 0);
  std::vector<std::vector<PassSlice>> slices(n_workers);
  for (size_t w = 0; w < n_workers; ++w) {
    const size_t from = n * w / n_workers, to = n * (w + 1) / n_workers;
    for (size_t k = 0; k < n_folds; ++k) {
      const size_t first = std::max(from, start[k]), last = std::min(to, start[k + 1]);
      if (first >= last) continue;
      slices[w].push_back({first, last, 0, n_features, k, parts[k]++, last < start[k + 1]});
    }
    // A first part handed on goes first, a part resumed goes last.
    std::stable_sort(
        slices[w].begin(), slices[w].end(), [](const PassSlice& a, const PassSlice& b) {
          const auto rank = [](const PassSlice& s) { return s.part > 0 ? 2 : s.hands_on ? 0 : 1; };
          return rank(a) < rank(b);
        });
  }
  return slices;
}

// Hands a fold's part on when it goes out of scope, however its slice ends: a failure (reported
// once every worker has joined) must not leave the fold's next part waiting.
struct FoldHandOn {
  std::atomic<size_t>* parts_done;  // null: nothing to hand on
  explicit FoldHandOn(std::atomic<size_t>* done) : parts_done(done) {}
  FoldHandOn(const FoldHandOn&) = delete;
  FoldHandOn& operator=(const FoldHandOn&) = delete;
  ~FoldHandOn() {
    if (parts_done == nullptr) return;
    parts_done->fetch_add(1, std::memory_order_release);
    parts_done->notify_all();
  }
};

// Waits until a fold's first `part` parts have been handed on.
void wait_for_parts(const std::atomic<size_t>& parts_done, size_t part) {
  for (size_t done; (done = parts_done.load(std::memory_order_acquire)) < part;)
    parts_done.wait(done, std::memory_order_acquire);
}

// Candidates of every block feature. The block's cells are filled in one pass over the node with
// the lanes make_lanes(weights) gives (and, weighted, a count lane); then score(lanes, table, bins,
// feature, emit) scores each feature, whose (n_bins + 1) bins of n_folds cells include an extra bin
// for its uncounted samples.
template <class Target, class MakeLanes, class Score>
void block_candidates(const FastBlock& block, std::span<const Target> targets,
                      std::span<const double> weights, const FoldAssignment& folds,
                      const Aggregator& aggregator, const PassWorkers& workers, FastScratch& s,
                      Candidates& out, MakeLanes&& make_lanes, Score&& score) {
  const size_t n_folds = folds.n_folds;
  const size_t n_features = block.features.size();
  const size_t n_assigned = folds.order.size();
  with_weights(weights, [&](const auto& w) {
    const auto lanes = lanes_for(make_lanes(w), w);
    using Lane = typename decltype(lanes)::Lane;
    const size_t width = lanes.width();
    // Integer sums are the same in any order: their rows are read where they lie, every column
    // at once, so each bin holds its columns side by side. Other sums read the rows fold by fold,
    // so each fold's cells lie together.
    constexpr bool in_place = std::is_integral_v<Lane>;
    const size_t bin_lanes = in_place ? n_folds * width : width;
    s.cell_offset.resize(n_features);
    size_t column_lanes = 0;  // one column's cells of every feature
    for (size_t j = 0; j < n_features; ++j) {
      s.cell_offset[j] = column_lanes;
      column_lanes += (block.features[j].n_bins + 1) * bin_lanes;
    }
    const CellLayout layout =
        in_place ? CellLayout::bins_outer(s.cell_offset.data(), n_folds, width)
                 : CellLayout::columns_outer(s.cell_offset.data(), n_folds, width, column_lanes);
    const size_t n_lanes = in_place ? column_lanes : column_lanes * n_folds;
    FastScratch::Cells<Lane>& buffers = s.cells_of<Lane>();
    Lane* cells = zero_scratch(buffers.cells, n_lanes);
    Lane* feature_totals = zero_scratch(buffers.feature_totals, n_features * (n_folds + 1) * width);
    Lane* totals = zero_scratch(buffers.totals, n_folds * width);
    const size_t n_workers = workers.run && workers.count > 1 ? workers.count : 1;
    size_t n_rows = n_assigned;
    if constexpr (in_place) {
      // (A grower's node is the whole block; other callers may score a subset of its rows.)
      if (folds.every_place) {
        s.fold_at.resize(n_rows);  // every entry is written below
      } else {
        for (const uint32_t row : folds.order) n_rows = std::max<size_t>(n_rows, row + 1);
        s.fold_at.assign(n_rows, kNotInNode);
      }
      for (size_t p = 0; p < n_assigned; ++p) s.fold_at[folds.order[p]] = folds.fold_of[p];
    }
    // Shared out, rows read in place go by feature chunks, each reading every row; rows read in
    // fold order go in even runs of positions, so that every row is read by one worker only.
    std::vector<std::vector<PassSlice>> slices;
    if (n_workers > 1 && in_place) {
      for (const auto& [first, last] : even_chunks(n_features, n_workers))
        slices.push_back({{0, n_rows, first, last}});
    } else if (n_workers > 1) {
      slices = fold_order_slices(folds.fold_of, n_folds, n_features, n_workers);
    }
    std::vector<std::atomic<size_t>> parts_done(slices.empty() ? 0 : n_folds);
    std::visit(
        [&](const auto* matrix) {
          // One slice of a shared pass. Each worker sums its totals apart (every row adds to
          // them, and the workers' columns share cache lines), then copies its columns back; a
          // fold's later part first takes on the sums of the parts before it.
          // (Out of line, so that the single pass below compiles as it does alone.)
          const auto fill_slice = [&](const PassSlice& slice) __attribute__((noinline)) {
            const size_t first = slice.feature_first;
            const std::span<const BlockFeature> features =
                block.features.subspan(first, slice.feature_last - first);
            const CellLayout part{layout.offset + first, layout.n_columns, layout.bin_stride,
                                  layout.column_stride};
            const size_t slot_lanes = (n_folds + 1) * width;
            const FoldHandOn hand_on{slice.hands_on ? &parts_done[slice.fold] : nullptr};
            std::vector<Lane> own_feature_totals(features.size() * slot_lanes);
            std::vector<Lane> own_totals(first == 0 ? n_folds * width : 0);
            Lane* const own_totals_at = first == 0 ? own_totals.data() : nullptr;
            size_t column_first = 0, column_last = n_folds;  // the columns the slice reaches
            if constexpr (!in_place) {
              column_first = folds.fold_of[slice.first];
              column_last = folds.fold_of[slice.last - 1] + size_t{1};
            }
            // Copies the slice's columns of the totals from its own to the pass's, or back.
            const auto copy_columns = [&](bool to_pass) {
              const auto copy = [&](Lane* own, Lane* pass) {
                const Lane* from = to_pass ? own : pass;
                std::copy(from + column_first * width, from + column_last * width,
                          (to_pass ? pass : own) + column_first * width);
              };
              for (size_t j = 0; j < features.size(); ++j)
                copy(own_feature_totals.data() + j * slot_lanes,
                     feature_totals + (first + j) * slot_lanes);
              if (first == 0) copy(own_totals.data(), totals);
            };
            if (slice.part > 0) {
              wait_for_parts(parts_done[slice.fold], slice.part);
              copy_columns(false);
            }
            if constexpr (in_place) {
              const RowsInPlace rows{matrix + first, block.stride, s.fold_at.data(), n_rows};
              fill_samples(lanes, rows, targets.data(), w, features, part, cells,
                           own_feature_totals.data(), own_totals_at);
            } else {
              const AssignedRows rows{matrix + first, block.stride,
                                      folds.order.data() + slice.first,
                                      folds.fold_of.data() + slice.first, slice.last - slice.first};
              fill_samples(lanes, rows, targets.data(), w, features, part, cells,
                           own_feature_totals.data(), own_totals_at);
            }
            copy_columns(true);
          };
          if (!slices.empty()) {
            workers.run(slices.size(), [&](size_t worker) {
              for (const PassSlice& slice : slices[worker]) fill_slice(slice);
            });
          } else if constexpr (in_place) {
            const RowsInPlace rows{matrix, block.stride, s.fold_at.data(), n_rows};
            fill_samples(lanes, rows, targets.data(), w, block.features, layout, cells,
                         feature_totals, totals);
          } else {
            const AssignedRows rows{matrix, block.stride, folds.order.data(), folds.fold_of.data(),
                                    n_rows};
            fill_samples(lanes, rows, targets.data(), w, block.features, layout, cells,
                         feature_totals, totals);
          }
        },
        block.codes);
    weigh_after_pass(lanes, block.features, layout, cells, feature_totals, totals);
    for (size_t j = 0; j < n_features; ++j) {
      const BlockFeature& feature = block.features[j];
      if (feature.n_bins == 0) continue;
      const Lane* own_totals = feature_totals + j * (n_folds + 1) * width;
      const CellTable<Lane> table{cells + s.cell_offset[j],
                                  feature.complete ? totals : own_totals,
                                  n_folds,
                                  width,
                                  lanes.count_lane(),
                                  layout.bin_stride,
                                  layout.column_stride};
      const CandidateBins bins{feature.ordered ? feature.n_bins - 1 : feature.n_bins,
                               feature.ordered, true};
      score(lanes, table, bins, feature.feature, [&](size_t b, std::span<const double> scores) {
        out.offer(scores, n_folds, feature.feature, b, aggregator);
      });
    }
  });
}

// The class lanes of Fast mode, where labels beyond the classes are not counted.
struct FastClassLanes {
  size_t n_classes;
  template <class Weights>
  ClassLanes<ClassLane<Weights>, false> operator()(const Weights&) const {
    return {n_classes};
  }
};

// A criterion's table scored as choice asks: the plain impurity scan, or the scan that sees the
// training lanes too.
template <class Lanes, class Crit, class Lane, class Emit>
void score_criterion_table(const Lanes& lanes, const Crit& criterion, const CellTable<Lane>& table,
                           const CandidateBins& bins, size_t feature, const ScanChoice& choice,
                           ScanScratch& s, Emit&& emit) {
  if (!choice.needs_training()) {
    score_impurity(lanes, criterion, table, bins, s, emit);
    return;
  }
  ScanChoice own = choice;
  own.feature = feature;
  score_with_training_lanes(lanes, criterion, table, table.n_columns, bins, own, s, emit);
}

}  // namespace

void score_block_fast_regression(const FastBlock& block, std::span<const double> targets,
                                 std::span<const double> weights, const FoldAssignment& folds,
                                 const SumsCriterion& criterion, const Aggregator& aggregator,
                                 FastScratch& s, Candidates& out, const ScanChoice& choice,
                                 const PassWorkers& workers) {
  if (folds.n_folds == 0 || block.features.empty()) return;
  block_candidates(
      block, targets, weights, folds, aggregator, workers, s, out,
      [](const auto&) { return SumLanes{}; },
      [&](const auto& lanes, const auto& table, const CandidateBins& bins, size_t feature,
          auto&& emit) {
        score_criterion_table(lanes, criterion, table, bins, feature, choice, s.scan, emit);
      });
}

void score_block_fast_classification(const FastBlock& block, std::span<const ClassLabel> targets,
                                     std::span<const double> weights, const FoldAssignment& folds,
                                     const ClassCriterion& criterion, const Aggregator& aggregator,
                                     FastScratch& s, Candidates& out, const ScanChoice& choice,
                                     const PassWorkers& workers) {
  if (folds.n_folds == 0 || criterion.n_classes() == 0 || block.features.empty()) return;
  block_candidates(block, targets, weights, folds, aggregator, workers, s, out,
                   FastClassLanes{criterion.n_classes()},
                   [&](const auto& lanes, const auto& table, const CandidateBins& bins,
                       size_t feature, auto&& emit) {
                     score_criterion_table(lanes, criterion, table, bins, feature, choice, s.scan,
                                           emit);
                   });
}

void score_block_fast_objective(const FastBlock& block, std::span<const ClassLabel> targets,
                                std::span<const double> weights, const FoldAssignment& folds,
                                const ClassObjective& objective, size_t n_classes,
                                const Aggregator& aggregator, FastScratch& s, Candidates& out,
                                const ScanChoice& choice, const PassWorkers& workers) {
  if (folds.n_folds == 0 || n_classes == 0 || block.features.empty()) return;
  block_candidates(
      block, targets, weights, folds, aggregator, workers, s, out, FastClassLanes{n_classes},
      [&](const auto&, const auto& table, const CandidateBins& bins, size_t feature, auto&& emit) {
        ScanChoice own = choice;
        own.feature = feature;
        score_objective(objective, n_classes, table, folds.n_folds, bins, own, s.scan, emit);
      });
}

}  // namespace ornik
