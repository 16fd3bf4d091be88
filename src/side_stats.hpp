// Side statistics: what the scans sum per (bin, fold) cell and per fold, as a row of lanes whose
// first lane is the side's weight (its number of samples when unweighted):
//   regression      [weight, weighted sum of targets, weighted sum of squared targets]
//   classification  [weight, weight of class 0, ..., of class n-1 (, of labels beyond them)]
// Weighted lanes append the side's sample count (CountedLanes), which decides whether a side is
// empty. From lanes a criterion reads the impurity of a side, the decrease of a split, or the
// held-out loss of a side's held-out lanes predicted from its training lanes.
#pragma once

#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>

#include "criterion.hpp"
#include "data.hpp"

namespace ornik {

// Every sample weighs one: counts stay integers and sums take the targets as they are, so the
// unweighted path adds exactly the numbers it always did.
struct UnitWeights {
  template <class Lane>
  static constexpr Lane of(size_t) {
    return Lane{1};
  }
  static constexpr double times(size_t, double v) { return v; }
};

// One weight per row of the targets.
struct RowWeights {
  const double* weights;
  template <class Lane>
  Lane of(size_t row) const {
    return weights[row];
  }
  double times(size_t row, double v) const { return weights[row] * v; }
};

// Calls run(UnitWeights) when weights is empty, else run(RowWeights) over it.
template <class Run>
decltype(auto) with_weights(std::span<const double> weights, Run&& run) {
  if (weights.empty()) return run(UnitWeights{});
  return run(RowWeights{weights.data()});
}

// Regression lanes. Every sample is counted.
struct SumLanes {
  using Lane = double;
  struct Sample {
    double weight, sum, sum_sq;
  };
  static constexpr size_t width() { return 3; }
  static constexpr size_t count_lane() { return 0; }
  template <class Weights>
  static Sample sample(double y, size_t row, const Weights& w) {
    return {w.template of<double>(row), w.times(row, y), w.times(row, y * y)};
  }
  static constexpr bool counted(const Sample&) { return true; }
  // The weight and sum lanes are added as one pair: the same two additions, in fewer
  // instructions than the compiler finds by itself for this, the hottest loop of a regression fit.
  static void add(double* cell, const Sample& s) {
    typedef double Pair __attribute__((vector_size(16)));
    Pair first;
    std::memcpy(&first, cell, sizeof first);
    first += Pair{s.weight, s.sum};
    std::memcpy(cell, &first, sizeof first);
    cell[2] += s.sum_sq;
  }
  static double impurity(const SumsCriterion& criterion, const double* lanes) {
    return criterion.from_sums(lanes[0], lanes[1], lanes[2]);
  }
  // impurity of n_sides sides, side i's lanes from sides[i * stride].
  static void impurities(const SumsCriterion& criterion, const double* sides, size_t stride,
                         size_t n_sides, double* out) {
    criterion.from_sums_each(sides, stride, n_sides, out);
  }
  static double loss(const SumsCriterion& criterion, const double* train, const double* val) {
    return criterion.loss_from_sums({train[0], train[1], train[2]}, {val[0], val[1], val[2]});
  }
};

// Classification lanes in Lane units (integer counts or weights). A label beyond the classes is
// either not counted at all (Fast mode) or counted in the weight and a last lane of its own but
// in no class (Strict mode: with KeepUnknown).
template <class LaneType, bool KeepUnknown>
struct ClassLanes {
  using Lane = LaneType;
  struct Sample {
    Lane weight;
    size_t slot;
  };
  size_t n_classes;

  size_t width() const { return n_classes + (KeepUnknown ? 2 : 1); }
  static constexpr size_t count_lane() { return 0; }
  template <class Weights>
  Sample sample(ClassLabel y, size_t row, const Weights& w) const {
    return {w.template of<Lane>(row), y < n_classes ? static_cast<size_t>(y) : n_classes};
  }
  bool counted(const Sample& s) const { return KeepUnknown || s.slot < n_classes; }
  static void add(Lane* cell, const Sample& s) {
    cell[0] += s.weight;
    cell[1 + s.slot] += s.weight;
  }
  // Integer counts of the classes alone sum to the weight lane exactly, in any order: a pass may
  // add the class lane only and set the weight lane from the class lanes once it is done.
  static constexpr bool kWeightAfterPass = std::is_integral_v<Lane> && !KeepUnknown;
  static void add_class(Lane* cell, const Sample& s) { cell[1 + s.slot] += s.weight; }
  void weigh_cells(Lane* cells, size_t n_cells) const {
    const size_t w = width();
    for (Lane* cell = cells; cell != cells + n_cells * w; cell += w) {
      Lane sum = 0;
      for (size_t c = 1; c < w; ++c) sum += cell[c];
      cell[0] = sum;
    }
  }
  double impurity(const ClassCriterion& criterion, const double* lanes) const {
    return criterion.from_counts({lanes + 1, n_classes}, lanes[0]);
  }
  void impurities(const ClassCriterion& criterion, const double* sides, size_t stride,
                  size_t n_sides, double* out) const {
    criterion.from_counts_each(sides, stride, n_sides, out);
  }
  double loss(const ClassCriterion& criterion, const double* train, const double* val) const {
    return criterion.loss_from_counts({train + 1, n_classes}, train[0], {val + 1, n_classes},
                                      val[0]);
  }
};

// Weighted lanes with one more lane, the side's sample count: whether a side or a fold is empty is
// decided by its samples, while a side that has samples but no weight has impurity 0 (it weighs
// nothing in a decrease).
template <class Inner>
struct CountedLanes {
  using Lane = typename Inner::Lane;
  using Sample = typename Inner::Sample;
  Inner inner;

  size_t width() const { return inner.width() + 1; }
  size_t count_lane() const { return inner.width(); }
  template <class Target, class Weights>
  Sample sample(const Target& y, size_t row, const Weights& w) const {
    return inner.sample(y, row, w);
  }
  bool counted(const Sample& s) const { return inner.counted(s); }
  void add(Lane* cell, const Sample& s) const {
    Inner::add(cell, s);
    cell[inner.width()] += Lane{1};
  }
  template <class Crit>
  double impurity(const Crit& criterion, const double* lanes) const {
    double out;
    impurities(criterion, lanes, width(), 1, &out);
    return out;
  }
  template <class Crit>
  void impurities(const Crit& criterion, const double* sides, size_t stride, size_t n_sides,
                  double* out) const {
    inner.impurities(criterion, sides, stride, n_sides, out);
    for (size_t i = 0; i < n_sides; ++i) out[i] = sides[i * stride] > 0 ? out[i] : 0.0;
  }
  template <class Crit>
  double loss(const Crit& criterion, const double* train, const double* val) const {
    return inner.loss(criterion, train, val);
  }
};

// The lanes a scan sums for the weights: as they are unweighted, with a count lane when weighted.
template <class Lanes, class Weights>
auto lanes_for(const Lanes& lanes, const Weights&) {
  if constexpr (std::is_same_v<Weights, UnitWeights>) {
    return lanes;
  } else {
    return CountedLanes<Lanes>{lanes};
  }
}

// The impurity decrease of a split of a side of weight n and impurity parent into sides whose
// lanes are left and right.
template <class Lanes, class Crit>
double split_decrease(const Lanes& lanes, const Crit& criterion, double parent, double n,
                      const double* left, const double* right) {
  return impurity_decrease(parent, n, left[0], lanes.impurity(criterion, left), right[0],
                           lanes.impurity(criterion, right));
}

}  // namespace ornik
