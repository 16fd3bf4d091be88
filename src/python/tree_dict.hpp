// The dictionary form of a fitted tree: per-node lists indexed by preorder node id.
#pragma once

#include <cstdint>
#include <vector>

#include "pyref.hpp"
#include "tree.hpp"

namespace ornik::py {

// The dictionary of export records; classifiers add "predicted_class", "proba" and "n_classes",
// the regressor "value"; then come the evidence lists "score", "stop_score", "fold_score_mean",
// "fold_score_std" and "n_scored_folds" (NaN and 0 at leaves).
PyRef tree_to_dict(const std::vector<ExportedNode>& records, bool is_classifier,
                   uint64_t n_classes);

// Rebuilds a preorder node list from a dictionary; an absent evidence list leaves its field at
// the default (NaN, or 0 scored folds). Raises ValueError for a missing key, an empty
// tree, or lists that do not describe a tree reachable from node 0 (short lists, child ids out of
// range, a node reached twice, a cycle); TypeError / OverflowError for badly typed entries.
NodeList<double> regression_from_dict(PyObject* dict);
NodeList<ClassPrediction> classification_from_dict(PyObject* dict);

}  // namespace ornik::py
