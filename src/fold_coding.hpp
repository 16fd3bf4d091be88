// Strict mode's codes of a node's fold rows: each fold's validation rows (and, for the objective
// scoring, its training rows) coded against edges learned from the fold's training rows, and the
// bucket of each code among a feature's candidate states.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cross_validation.hpp"
#include "data.hpp"
#include "sorted_feature.hpp"

namespace ornik {

// A feature's candidate states at a node and the codes of every fold's validation rows (and,
// when asked, training rows) in list order.
struct CodedFeature {
  std::vector<StateCode> states;
  std::vector<std::vector<StateCode>> val_codes;
  std::vector<std::vector<StateCode>> train_codes;
};

// The codes of every fold's rows, states left empty: categorical, the raw label (MISSING_STATE
// when missing); numeric, the bin among the quantile edges of the fold's training rows
// (MISSING_STATE when not finite).
CodedFeature code_fold_rows(const Column& column, std::span<const Fold> folds, uint64_t n_bins,
                            bool with_train_codes);

// Where a node row sits among the folds: its fold in the high 32 bits, its position in that
// fold's validation list in the low 32 bits.
inline uint64_t fold_slot(size_t fold, size_t position) {
  return (static_cast<uint64_t>(fold) << 32) | position;
}

// The present states of a numeric feature at a node and the codes of its fold rows, all derived
// from the node's sorted values: the same results as present_states and code_fold_rows, without
// sorting or selecting. slot_of_row[r] is fold_slot of node row r.
void code_sorted_feature(const SortedFeature& sorted, std::span<const Fold> folds,
                         std::span<const uint64_t> slot_of_row, uint64_t n_bins,
                         bool with_train_codes, CodedFeature& out);

// Bucket of each code among the ascending states: the first state that sends it left (ordered:
// the first state >= code; unordered: the state equal to the code), or states.size() when none
// does. Missing codes never go left.
void bucket_codes(std::span<const StateCode> codes, std::span<const StateCode> states, bool ordered,
                  std::vector<uint32_t>& out);

}  // namespace ornik
