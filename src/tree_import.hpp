// Import of a tree given as flat per-node lists indexed by node id (the dictionary form of an
// exported tree), rebuilt into a preorder node list. Nothing in the lists is trusted: the rebuild
// reads only entries that exist, follows only child ids in range and visits every node once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tree.hpp"

namespace ornik {

// The per-node lists. A leaf reads n_samples and its payload (value for a regression tree;
// predicted_class and proba for a classifier); a split reads children, feature, is_categorical,
// either category or lower/upper, and its evidence from the evidence lists that are present (a
// list that is absent leaves that field at its default). Entries a node does not use are never
// read.
struct FlatTree {
  std::vector<uint8_t> is_leaf;
  std::vector<int64_t> children_left;
  std::vector<int64_t> children_right;
  std::vector<int64_t> feature;
  std::vector<uint8_t> is_categorical;
  std::vector<double> lower;
  std::vector<double> upper;
  std::vector<int64_t> category;
  std::vector<uint64_t> n_samples;
  std::vector<double> value;
  std::vector<int64_t> predicted_class;
  std::vector<std::vector<double>> proba;
  std::optional<std::vector<double>> score;
  std::optional<std::vector<double>> stop_score;
  std::optional<std::vector<double>> fold_score_mean;
  std::optional<std::vector<double>> fold_score_std;
  std::optional<std::vector<uint64_t>> n_scored_folds;

  // The rule of split id: category = the low 32 bits of category[id]; a lower bound of -inf or an
  // upper bound of +inf is no bound. Needs the entries the rebuild checks for a split.
  SplitRule rule_at(size_t id) const;
};

// The evidence lists of floats: the key each is exported under and the field it fills. The
// count of scored folds is the list n_scored_folds.
struct EvidenceFloats {
  const char* key;
  std::optional<std::vector<double>> FlatTree::* list;
  double SplitEvidence::* field;
};
inline constexpr EvidenceFloats EVIDENCE_FLOATS[] = {
    {"score", &FlatTree::score, &SplitEvidence::score},
    {"stop_score", &FlatTree::stop_score, &SplitEvidence::stop_score},
    {"fold_score_mean", &FlatTree::fold_score_mean, &SplitEvidence::fold_mean},
    {"fold_score_std", &FlatTree::fold_score_std, &SplitEvidence::fold_std},
};

// The nodes reachable from node 0 in preorder (left subtree first), or the text of the first
// inconsistency: no nodes, a list too short for a node that needs it, a child id out of range
// or negative, a cycle, or a node reached twice.
template <class Payload>
using ImportResult = std::variant<NodeList<Payload>, std::string>;

ImportResult<double> import_regression(const FlatTree& flat);
// A negative predicted class is class 0; proba is copied whatever its length.
ImportResult<ClassPrediction> import_classification(const FlatTree& flat);

}  // namespace ornik
