// The Strict and Fast node builders, one template each over the task kind.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "binning.hpp"
#include "sorted_feature.hpp"
#include "task.hpp"

namespace ornik {

// Called between nodes; may throw to abandon the build (for example on a pending interrupt).
using NodeHook = std::function<void()>;

// Grows a whole tree in Strict mode from the root sample list 0 .. n-1. weights holds one weight
// per row, or is empty when every sample weighs one: a weight scales its sample's part in every
// score and leaf value, while binning, folds and the sample-count settings count samples.
template <class Task>
NodeList<typename Task::Payload> build_tree_strict(const Task& task, const TreeParams& params,
                                                   const Aggregator& aggregator,
                                                   std::span<const Column> columns,
                                                   std::span<const typename Task::Target> targets,
                                                   std::span<const double> weights = {},
                                                   const NodeHook& between_nodes = {});

// Grows a whole tree in Fast mode over every row of the binned matrix; weights as above.
template <class Task>
NodeList<typename Task::Payload> build_tree_fast(const Task& task, const TreeParams& params,
                                                 const Aggregator& aggregator,
                                                 const BinnedData& binned,
                                                 std::span<const typename Task::Target> targets,
                                                 std::span<const double> weights = {},
                                                 const NodeHook& between_nodes = {});

// The rule of a Strict winner: its bin among the node's own quantile edges (threshold style:
// everything up to that bin, never the top bin) or its category. None when no rule fits.
std::optional<SplitRule> make_rule(const Column& column, size_t feature, StateCode state,
                                   std::span<const size_t> samples, uint64_t n_bins, bool ordered);

// Moves the positions whose code satisfies the rule (code <= state when ordered, code == state
// otherwise) to the front, keeping their order; returns how many there are. Row r's code is
// codes[r * stride].
size_t partition_in_place(std::span<uint32_t> positions, const uint16_t* codes, size_t stride,
                          uint64_t state, bool ordered);

}  // namespace ornik
