// Classification objectives scored on confusion counts, and the tables that name them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "data.hpp"

namespace ornik {

// Per-class confusion weights: sample counts, or sums of sample weights.
struct Confusion {
  std::vector<double> tp, fp, fn, support;
  size_t n_classes = 0;
  double total = 0.0;

  static Confusion zero(size_t n_classes);
  // Back to all zeros, keeping the class count (and the storage).
  void clear() {
    std::fill(tp.begin(), tp.end(), 0.0);
    std::fill(fp.begin(), fp.end(), 0.0);
    std::fill(fn.begin(), fn.end(), 0.0);
    std::fill(support.begin(), support.end(), 0.0);
    total = 0.0;
  }
  // Books a group of samples that all received the prediction pred; counts[c] of them are of
  // class c (counts has at least n_classes entries).
  template <class Count>
  void add_group(size_t pred, std::span<const Count> counts) {
    for (size_t c = 0; c < n_classes; ++c) {
      const double n = static_cast<double>(counts[c]);
      if (n == 0.0) continue;
      support[c] += n;
      total += n;
      if (c == pred) {
        tp[c] += n;
      } else {
        fn[c] += n;
        if (pred < n_classes) fp[pred] += n;
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
  static constexpr const char* kName = "accuracy";
  double score(const Confusion& confusion) const override;
  const char* name() const override { return kName; }
};

// Precision, recall, F1 and F-beta share the averaging; they differ in the per-class metric.
class AveragedObjective : public ClassObjective {
 public:
  AveragedObjective(Average average, size_t pos_label) : average_(average), pos_label_(pos_label) {}
  double score(const Confusion& confusion) const final;

 protected:
  virtual double metric(double tp, double fp, double fn) const = 0;

 private:
  Average average_;
  size_t pos_label_;
};

class Precision final : public AveragedObjective {
 public:
  static constexpr const char* kName = "precision";
  using AveragedObjective::AveragedObjective;
  const char* name() const override { return kName; }

 protected:
  double metric(double tp, double fp, double fn) const override;
};

class Recall final : public AveragedObjective {
 public:
  static constexpr const char* kName = "recall";
  using AveragedObjective::AveragedObjective;
  const char* name() const override { return kName; }

 protected:
  double metric(double tp, double fp, double fn) const override;
};

class F1 final : public AveragedObjective {
 public:
  static constexpr const char* kName = "f1";
  using AveragedObjective::AveragedObjective;
  const char* name() const override { return kName; }

 protected:
  double metric(double tp, double fp, double fn) const override;
};

class FBeta final : public AveragedObjective {
 public:
  static constexpr const char* kName = "fbeta";
  FBeta(Average average, size_t pos_label, double beta)
      : AveragedObjective(average, pos_label), beta_(beta) {}
  const char* name() const override { return kName; }

 protected:
  double metric(double tp, double fp, double fn) const override;

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

// The objective of majority-class predictions, from per-class weights (n_classes entries each):
// every validation sample predicted as the training majority, or, for a split, each side's
// validation samples predicted as that side's training majority.
double majority_objective(const ClassObjective& objective, Confusion& confusion,
                          const double* train, const double* val);
double split_objective(const ClassObjective& objective, Confusion& confusion,
                       const double* train_left, const double* val_left, const double* train_right,
                       const double* val_right);

// What an objective is made from besides its name.
struct ObjectiveSettings {
  Average average = Average::Binary;
  size_t pos_label = 0;
  double beta = 1.0;
};

// One named objective and how to make it.
struct ObjectiveEntry {
  const char* name;
  std::unique_ptr<ClassObjective> (*make)(const ObjectiveSettings& settings);
};

// The objectives by name, in the order that error messages list them.
std::span<const ObjectiveEntry> class_objectives();

}  // namespace ornik
