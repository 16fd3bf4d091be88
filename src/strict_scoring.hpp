// Strict mode's fold scoring of one feature's states from the codes of its fold rows: one
// FoldStats per state, its fold scores in fold order.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "criterion.hpp"
#include "fold_coding.hpp"
#include "fold_stats.hpp"
#include "objective.hpp"
#include "split_scan.hpp"

namespace ornik {

// Criterion scoring: val_targets[f] are the targets of fold f's validation rows, in the order of
// coded.val_codes[f]. When choice asks for held-out loss scores or the folds' picks (a pick's
// position being the state's index), train_targets[f] are those of its training rows, in the
// order of coded.train_codes[f].
std::vector<FoldStats> score_coded_states(bool ordered, const CodedFeature& coded,
                                          std::span<const std::vector<double>> val_targets,
                                          const RegressionCriterion& criterion,
                                          const ScanChoice& choice = {},
                                          std::span<const std::vector<double>> train_targets = {});
std::vector<FoldStats> score_coded_states(
    bool ordered, const CodedFeature& coded, std::span<const std::vector<ClassLabel>> val_targets,
    const ClassCriterion& criterion, const ScanChoice& choice = {},
    std::span<const std::vector<ClassLabel>> train_targets = {});

// Objective scoring: per fold, the objective of majority-class predictions on each side minus
// that of the fold's overall majority, the majorities taken on the training rows (labels in the
// order of coded.train_codes[f]); choice as above.
std::vector<FoldStats> score_coded_states_objective(
    bool ordered, const CodedFeature& coded, std::span<const std::vector<ClassLabel>> train_labels,
    std::span<const std::vector<ClassLabel>> val_labels, size_t n_classes,
    const ClassObjective& objective, const ScanChoice& choice = {});

}  // namespace ornik
