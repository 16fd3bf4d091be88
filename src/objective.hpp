// Classification objectives scored on confusion counts, and their fold scoring of candidates.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "cross_validation.hpp"
#include "data.hpp"
#include "selector.hpp"

namespace ornik {

struct FastScratch;
struct FastFeature;
struct FastBlock;

struct Confusion {
  std::vector<uint64_t> tp, fp, fn, support;
  size_t n_classes = 0;
  uint64_t total = 0;

  static Confusion zero(size_t n_classes);
  // Back to all zeros, keeping the class count (and the storage).
  void clear() {
    std::fill(tp.begin(), tp.end(), 0);
    std::fill(fp.begin(), fp.end(), 0);
    std::fill(fn.begin(), fn.end(), 0);
    std::fill(support.begin(), support.end(), 0);
    total = 0;
  }
  // Books a group of samples that all received the prediction pred; counts[c] of them are of
  // class c (counts has at least n_classes entries).
  template <class Count>
  void add_group(size_t pred, std::span<const Count> counts) {
    for (size_t c = 0; c < n_classes; ++c) {
      const uint64_t k = counts[c];
      if (k == 0) continue;
      support[c] += k;
      total += k;
      if (c == pred) {
        tp[c] += k;
      } else {
        fn[c] += k;
        if (pred < n_classes) fp[pred] += k;
      }
    }
  }
};

enum class Average : uint8_t { Binary, Micro, Macro, Weighted };

class ClassObjective {
 public:
  virtual ~ClassObjective() = default;
  virtual double score(const Confusion& confusion) const = 0;
  virtual const char* name() const = 0;
};

class Accuracy final : public ClassObjective {
 public:
  double score(const Confusion& confusion) const override;
  const char* name() const override { return "accuracy"; }
};

// Precision, recall, F1 and F-beta share the averaging; they differ in the per-class metric.
class AveragedObjective : public ClassObjective {
 public:
  AveragedObjective(Average average, size_t pos_label) : average_(average), pos_label_(pos_label) {}
  double score(const Confusion& confusion) const final;

 protected:
  virtual double metric(uint64_t tp, uint64_t fp, uint64_t fn) const = 0;

 private:
  Average average_;
  size_t pos_label_;
};

class Precision final : public AveragedObjective {
 public:
  using AveragedObjective::AveragedObjective;
  const char* name() const override { return "precision"; }

 protected:
  double metric(uint64_t tp, uint64_t fp, uint64_t fn) const override;
};

class Recall final : public AveragedObjective {
 public:
  using AveragedObjective::AveragedObjective;
  const char* name() const override { return "recall"; }

 protected:
  double metric(uint64_t tp, uint64_t fp, uint64_t fn) const override;
};

class F1 final : public AveragedObjective {
 public:
  using AveragedObjective::AveragedObjective;
  const char* name() const override { return "f1"; }

 protected:
  double metric(uint64_t tp, uint64_t fp, uint64_t fn) const override;
};

class FBeta final : public AveragedObjective {
 public:
  FBeta(Average average, size_t pos_label, double beta)
      : AveragedObjective(average, pos_label), beta_(beta) {}
  const char* name() const override { return "fbeta"; }

 protected:
  double metric(uint64_t tp, uint64_t fp, uint64_t fn) const override;

 private:
  double beta_;
};

// The class with the largest count; ties and all-zero counts go to the lowest index.
template <class Count>
size_t majority_class(std::span<const Count> counts) {
  size_t best = 0;
  for (size_t c = 1; c < counts.size(); ++c) {
    if (counts[c] > counts[best]) best = c;
  }
  return best;
}

// Strict objective scoring of one feature's states: per fold, the objective of majority-class
// predictions on each side minus that of the fold's overall majority. One FoldStats per state.
std::vector<FoldStats> cv_score_states_objective(const Column& column, bool ordered,
                                                 std::span<const StateCode> states,
                                                 std::span<const Fold> folds,
                                                 std::span<const ClassLabel> targets,
                                                 size_t n_classes, uint64_t n_bins,
                                                 const ClassObjective& objective);

// The same scoring from codes and labels gathered beforehand: train_codes[f]/train_labels[f]
// follow folds[f].train, val_codes[f]/val_labels[f] follow folds[f].val.
std::vector<FoldStats> score_coded_states_objective(
    bool ordered, std::span<const StateCode> states, std::span<const Fold> folds,
    std::span<const std::vector<StateCode>> train_codes,
    std::span<const std::vector<StateCode>> val_codes,
    std::span<const std::vector<ClassLabel>> train_labels,
    std::span<const std::vector<ClassLabel>> val_labels, size_t n_classes,
    const ClassObjective& objective);

// Fast objective scan of a block of features from per-fold, per-bin class counts.
std::vector<ScoredCandidate> score_block_fast_objective(
    const FastBlock& block, std::span<const ClassLabel> targets, const FoldAssignment& folds,
    const Aggregator& aggregator, size_t n_classes, const ClassObjective& objective,
    FastScratch& scratch);

// Fast objective scan of one feature.
std::vector<ScoredCandidate> score_feature_fast_objective(
    const FastFeature& feature, std::span<const ClassLabel> targets, const FoldAssignment& folds,
    const Aggregator& aggregator, size_t n_classes, const ClassObjective& objective,
    FastScratch& scratch);

}  // namespace ornik
