#include "objective.hpp"

namespace ornik {
namespace {

inline double ratio(uint64_t num, uint64_t den) {
  return den == 0 ? 0.0 : static_cast<double>(num) / static_cast<double>(den);
}

}  // namespace

Confusion Confusion::zero(size_t n_classes) {
  Confusion c;
  c.tp.assign(n_classes, 0);
  c.fp.assign(n_classes, 0);
  c.fn.assign(n_classes, 0);
  c.support.assign(n_classes, 0);
  c.n_classes = n_classes;
  return c;
}

double Accuracy::score(const Confusion& confusion) const {
  if (confusion.total == 0) return 0.0;
  uint64_t correct = 0;
  for (const uint64_t t : confusion.tp) correct += t;
  return static_cast<double>(correct) / static_cast<double>(confusion.total);
}

double AveragedObjective::score(const Confusion& cm) const {
  const size_t k = cm.n_classes;
  switch (average_) {
    case Average::Binary:
      if (pos_label_ >= k) return 0.0;
      return metric(cm.tp[pos_label_], cm.fp[pos_label_], cm.fn[pos_label_]);
    case Average::Micro: {
      uint64_t tp = 0, fp = 0, fn = 0;
      for (size_t c = 0; c < k; ++c) {
        tp += cm.tp[c];
        fp += cm.fp[c];
        fn += cm.fn[c];
      }
      return metric(tp, fp, fn);
    }
    case Average::Macro: {
      if (k == 0) return 0.0;
      double sum = 0.0;
      for (size_t c = 0; c < k; ++c) sum += metric(cm.tp[c], cm.fp[c], cm.fn[c]);
      return sum / static_cast<double>(k);
    }
    case Average::Weighted: {
      if (cm.total == 0) return 0.0;
      double sum = 0.0;
      for (size_t c = 0; c < k; ++c) {
        sum += metric(cm.tp[c], cm.fp[c], cm.fn[c]) * static_cast<double>(cm.support[c]);
      }
      return sum / static_cast<double>(cm.total);
    }
  }
  return 0.0;
}

double Precision::metric(uint64_t tp, uint64_t fp, uint64_t) const {
  return ratio(tp, tp + fp);
}

double Recall::metric(uint64_t tp, uint64_t, uint64_t fn) const {
  return ratio(tp, tp + fn);
}

double F1::metric(uint64_t tp, uint64_t fp, uint64_t fn) const {
  const uint64_t den = 2 * tp + fp + fn;
  if (den == 0) return 0.0;
  const double t = static_cast<double>(tp);
  return (t + t) / static_cast<double>(den);
}

double FBeta::metric(uint64_t tp, uint64_t fp, uint64_t fn) const {
  const double b2 = beta_ * beta_;
  const double num = (1.0 + b2) * static_cast<double>(tp);
  const double den = (b2 * static_cast<double>(fn) + num) + static_cast<double>(fp);
  return den > 0.0 ? num / den : 0.0;
}

}  // namespace ornik
