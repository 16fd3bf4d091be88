#include "objective.hpp"

#include <type_traits>

namespace ornik {
namespace {

inline double ratio(double num, double den) {
  return den == 0.0 ? 0.0 : num / den;
}

}  // namespace

Confusion Confusion::zero(size_t n_classes) {
  Confusion c;
  c.tp.assign(n_classes, 0.0);
  c.fp.assign(n_classes, 0.0);
  c.fn.assign(n_classes, 0.0);
  c.support.assign(n_classes, 0.0);
  c.n_classes = n_classes;
  return c;
}

double Accuracy::score(const Confusion& confusion) const {
  if (confusion.total == 0.0) return 0.0;
  double correct = 0.0;
  for (const double t : confusion.tp) correct += t;
  return correct / confusion.total;
}

double AveragedObjective::score(const Confusion& cm) const {
  const size_t n_classes = cm.n_classes;
  switch (average_) {
    case Average::Binary:
      if (pos_label_ >= n_classes) return 0.0;
      return metric(cm.tp[pos_label_], cm.fp[pos_label_], cm.fn[pos_label_]);
    case Average::Micro: {
      double tp = 0.0, fp = 0.0, fn = 0.0;
      for (size_t c = 0; c < n_classes; ++c) {
        tp += cm.tp[c];
        fp += cm.fp[c];
        fn += cm.fn[c];
      }
      return metric(tp, fp, fn);
    }
    case Average::Macro: {
      if (n_classes == 0) return 0.0;
      double sum = 0.0;
      for (size_t c = 0; c < n_classes; ++c) sum += metric(cm.tp[c], cm.fp[c], cm.fn[c]);
      return sum / static_cast<double>(n_classes);
    }
    case Average::Weighted: {
      if (cm.total == 0.0) return 0.0;
      double sum = 0.0;
      for (size_t c = 0; c < n_classes; ++c) {
        sum += metric(cm.tp[c], cm.fp[c], cm.fn[c]) * cm.support[c];
      }
      return sum / cm.total;
    }
  }
  return 0.0;
}

double Precision::metric(double tp, double fp, double) const {
  return ratio(tp, tp + fp);
}

double Recall::metric(double tp, double, double fn) const {
  return ratio(tp, tp + fn);
}

double F1::metric(double tp, double fp, double fn) const {
  return ratio(tp + tp, ((tp + tp) + fp) + fn);
}

double FBeta::metric(double tp, double fp, double fn) const {
  const double b2 = beta_ * beta_;
  const double num = (1.0 + b2) * tp;
  const double den = (b2 * fn + num) + fp;
  return den > 0.0 ? num / den : 0.0;
}

double majority_objective(const ClassObjective& objective, Confusion& confusion,
                          const double* train, const double* val) {
  const size_t n_classes = confusion.n_classes;
  confusion.clear();
  confusion.add_group(majority_class(std::span<const double>(train, n_classes)),
                      std::span<const double>(val, n_classes));
  return objective.score(confusion);
}

double split_objective(const ClassObjective& objective, Confusion& confusion,
                       const double* train_left, const double* val_left, const double* train_right,
                       const double* val_right) {
  const size_t n_classes = confusion.n_classes;
  confusion.clear();
  confusion.add_group(majority_class(std::span<const double>(train_left, n_classes)),
                      std::span<const double>(val_left, n_classes));
  confusion.add_group(majority_class(std::span<const double>(train_right, n_classes)),
                      std::span<const double>(val_right, n_classes));
  return objective.score(confusion);
}

namespace {

template <class O>
constexpr ObjectiveEntry entry() {
  return {O::kName, [](const ObjectiveSettings& s) -> std::unique_ptr<ClassObjective> {
            if constexpr (std::is_same_v<O, Accuracy>) {
              return std::make_unique<O>();
            } else if constexpr (std::is_same_v<O, FBeta>) {
              return std::make_unique<O>(s.average, s.pos_label, s.beta);
            } else {
              return std::make_unique<O>(s.average, s.pos_label);
            }
          }};
}

constexpr ObjectiveEntry kObjectives[] = {entry<Precision>(), entry<Recall>(), entry<F1>(),
                                          entry<FBeta>(), entry<Accuracy>()};

}  // namespace

std::span<const ObjectiveEntry> class_objectives() {
  return kObjectives;
}

}  // namespace ornik
