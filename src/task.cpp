#include "task.hpp"

#include <vector>

namespace ornik {
namespace {

template <class Base>
bool fast_mode_scores(std::span<const CriterionEntry<Base>> table, const Base& criterion) {
  const CriterionEntry<Base>* entry = find_criterion(table, criterion.name());
  return entry != nullptr && entry->fast;
}

std::optional<std::string> refusal(bool scores_in_fast_mode, const TreeParams& params,
                                   uint64_t n_rows) {
  if (params.mode != SplitMode::Fast) return std::nullopt;
  if (!scores_in_fast_mode) {
    return "this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict";
  }
  if (n_rows > kMaxFastRows) {
    return "SplitMode::Fast supports at most " + std::to_string(kMaxFastRows) + " samples, got " +
           std::to_string(n_rows);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> fit_refusal(const Regression& task, const TreeParams& params,
                                       uint64_t n_rows) {
  return refusal(fast_mode_scores(regression_criteria(), *task.criterion), params, n_rows);
}

std::optional<std::string> fit_refusal(const Classification& task, const TreeParams& params,
                                       uint64_t n_rows) {
  return refusal(fast_mode_scores(class_criteria(), *task.criterion), params, n_rows);
}

std::optional<std::string> fit_refusal(const ObjectiveClassification&, const TreeParams& params,
                                       uint64_t n_rows) {
  return refusal(true, params, n_rows);
}

namespace {

template <class Count>
ClassPrediction proportions(std::vector<Count> counts) {
  ClassPrediction out;
  Count total = 0;
  for (const Count c : counts) total += c;
  out.proba.assign(counts.size(), 0.0);
  if (total > 0) {
    const double t = static_cast<double>(total);
    for (size_t c = 0; c < counts.size(); ++c) out.proba[c] = static_cast<double>(counts[c]) / t;
  }
  out.class_ = majority_class(std::span<const Count>(counts));
  return out;
}

}  // namespace

ClassPrediction class_leaf(size_t n_classes, std::span<const ClassLabel> labels,
                           std::span<const double> weights) {
  if (n_classes == 0) return {};
  if (!weights.empty()) {  // all-one weights sum to the counts exactly
    std::vector<double> sums(n_classes, 0.0);
    double total = 0.0;
    for (size_t i = 0; i < labels.size(); ++i) {
      if (labels[i] >= n_classes) continue;
      sums[labels[i]] += weights[i];
      total += weights[i];
    }
    // Samples that all weigh nothing still give the leaf proportions: their plain shares.
    if (total > 0.0) return proportions(std::move(sums));
  }
  std::vector<uint64_t> counts(n_classes, 0);
  for (const ClassLabel l : labels) {
    if (l < n_classes) ++counts[l];
  }
  return proportions(std::move(counts));
}

}  // namespace ornik
