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

// The targets of a node's folds, gathered once per node for every feature's scoring: val[f] those
// of fold f's validation rows in the order of coded.val_codes[f], train[f] those of its training
// rows in the order of coded.train_codes[f] (only when the training rows are coded too), and
// their weights likewise (none when every sample weighs one).
template <class Target>
struct FoldTargets {
  std::vector<std::vector<Target>> val, train;
  std::vector<std::vector<double>> val_weights, train_weights;
};

// Criterion scoring. The training targets are read when choice asks for held-out loss scores or
// the folds' picks (a pick's position being the state's index).
std::vector<FoldStats> score_coded_states(bool ordered, const CodedFeature& coded,
                                          const FoldTargets<double>& y,
                                          const RegressionCriterion& criterion,
                                          const ScanChoice& choice = {});
std::vector<FoldStats> score_coded_states(bool ordered, const CodedFeature& coded,
                                          const FoldTargets<ClassLabel>& y,
                                          const ClassCriterion& criterion,
                                          const ScanChoice& choice = {});

// Objective scoring: per fold, the objective of majority-class predictions on each side minus
// that of the fold's overall majority, the majorities taken on the training rows; choice as
// above.
std::vector<FoldStats> score_coded_states_objective(bool ordered, const CodedFeature& coded,
                                                    const FoldTargets<ClassLabel>& y,
                                                    size_t n_classes,
                                                    const ClassObjective& objective,
                                                    const ScanChoice& choice = {});

}  // namespace ornik
