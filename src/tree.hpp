// The fitted tree: split rules, nodes, leaf payloads, routing of rows to leaves and export
// records. It knows nothing of how it was grown.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "data.hpp"

namespace ornik {

struct SplitRule {
  enum class Kind : uint8_t { Numeric, Categorical };
  Kind kind = Kind::Numeric;
  bool has_lower = false;
  bool has_upper = false;
  uint32_t category = 0;
  size_t feature = 0;
  double lower = 0.0;
  double upper = 0.0;

  static SplitRule numeric(size_t feature, std::optional<double> lower,
                           std::optional<double> upper) {
    SplitRule r;
    r.feature = feature;
    r.has_lower = lower.has_value();
    r.has_upper = upper.has_value();
    r.lower = lower.value_or(0.0);
    r.upper = upper.value_or(0.0);
    return r;
  }
  static SplitRule categorical(size_t feature, uint32_t category) {
    SplitRule r;
    r.kind = Kind::Categorical;
    r.feature = feature;
    r.category = category;
    return r;
  }

  // A number goes left when it is finite and inside [lower, upper); never under a categorical rule.
  bool number_goes_left(double v) const {
    if (kind != Kind::Numeric || !std::isfinite(v)) return false;
    return (!has_lower || v >= lower) && (!has_upper || v < upper);
  }
  // A label goes left when it equals the rule's category; a missing label never does, not even
  // against a category of MISSING_CATEGORY read from an imported tree.
  bool label_goes_left(uint32_t label) const {
    return kind == Kind::Categorical && label == category && label != MISSING_CATEGORY;
  }
};

struct ClassPrediction {
  std::vector<double> proba;
  size_t class_ = 0;
};

// One node of a tree stored in preorder: a split's left child is the next node and its right
// child is node `right`. Splits carry no sample count (it is the sum over their leaves).
// What a split's choice rested on; leaves keep the defaults.
struct SplitEvidence {
  double score = std::numeric_limits<double>::quiet_NaN();       // the winner's aggregated score
  double stop_score = std::numeric_limits<double>::quiet_NaN();  // what the stop rule compared
  double fold_mean = std::numeric_limits<double>::quiet_NaN();   // of the winner's fold scores
  double fold_std = std::numeric_limits<double>::quiet_NaN();
  uint64_t n_folds = 0;  // folds that scored the winner
};

template <class Payload>
struct Node {
  bool is_leaf = true;
  SplitRule rule;
  size_t right = 0;
  uint64_t n_samples = 0;
  Payload payload{};
  SplitEvidence evidence;
};

template <class Payload>
using NodeList = std::vector<Node<Payload>>;

inline bool route_left_train(const SplitRule& rule, std::span<const Column> columns, size_t row) {
  const Column& c = columns[rule.feature];
  return c.categorical ? rule.label_goes_left(c.labels[row])
                       : rule.number_goes_left(c.values()[row]);
}

// Depth (a leaf is 0) and leaf count of a non-empty tree.
template <class Payload>
size_t node_depth(const NodeList<Payload>& nodes) {
  // Children have larger ids than their parent, so one backward pass sees children first.
  std::vector<size_t> depth(nodes.size(), 0);
  for (size_t i = nodes.size(); i-- > 0;) {
    if (!nodes[i].is_leaf) depth[i] = 1 + std::max(depth[i + 1], depth[nodes[i].right]);
  }
  return nodes.empty() ? 0 : depth[0];
}

template <class Payload>
size_t node_leaves(const NodeList<Payload>& nodes) {
  size_t leaves = 0;
  for (const auto& n : nodes) leaves += n.is_leaf ? 1 : 0;
  return leaves;
}

// Largest feature position any split uses, if the tree has a split.
template <class Payload>
std::optional<size_t> max_split_feature(const NodeList<Payload>& nodes) {
  std::optional<size_t> best;
  for (const auto& n : nodes) {
    if (!n.is_leaf && (!best || n.rule.feature > *best)) best = n.rule.feature;
  }
  return best;
}

// Calls emit(i, leaf) for every row i of x in order, where leaf is the id of the leaf the row
// reaches. A value at a position listed in `categorical` is read as its category label (the
// conversion that fit applies), any other as a number. Every split feature must be a column of x.
template <class Payload, class Emit>
void route_rows(const NodeList<Payload>& nodes, const MatrixView& x,
                std::span<const size_t> categorical, Emit&& emit) {
  std::vector<uint8_t> is_label(x.cols, 0);
  for (const size_t c : categorical) {
    if (c < is_label.size()) is_label[c] = 1;
  }
  // What the walk reads of each node, a cache line apiece: the rule, the byte offset of its
  // feature within a row of x and whether that feature holds labels.
  struct alignas(64) Step {
    SplitRule rule;
    ptrdiff_t offset = 0;
    size_t right = 0;
    bool is_leaf = true;
    bool reads_label = false;
  };
  const auto step_of = [&](size_t id) {
    const Node<Payload>& n = nodes[id];
    if (n.is_leaf) return Step{};
    const size_t f = n.rule.feature;
    return Step{n.rule, static_cast<ptrdiff_t>(f) * x.col_stride, n.right, false, is_label[f] != 0};
  };
  const auto route_all = [&](auto&& step_at) {
    for (size_t i = 0; i < x.rows; ++i) {
      const char* row = x.data + static_cast<ptrdiff_t>(i) * x.row_stride;
      size_t id = 0;
      for (;;) {
        const Step& s = step_at(id);
        if (s.is_leaf) break;
        double v;
        std::memcpy(&v, row + s.offset, sizeof v);
        const bool left =
            s.reads_label ? s.rule.label_goes_left(category_label(v)) : s.rule.number_goes_left(v);
        id = left ? id + 1 : s.right;
      }
      emit(i, id);
    }
  };
  // The table costs a pass over every node: a few rows against a large tree read the nodes
  // they visit directly instead.
  if (x.rows * 8 < nodes.size()) {
    Step current;
    route_all([&](size_t id) -> const Step& { return current = step_of(id); });
    return;
  }
  std::vector<Step> steps(nodes.size());
  for (size_t id = 0; id < nodes.size(); ++id) steps[id] = step_of(id);
  route_all([&](size_t id) -> const Step& { return steps[id]; });
}

struct ExportedNode {
  std::vector<double> proba;
  size_t id = 0;
  int64_t children_left = -1;
  int64_t children_right = -1;
  int64_t feature = -1;
  double lower = std::numeric_limits<double>::quiet_NaN();
  double upper = std::numeric_limits<double>::quiet_NaN();
  int64_t category = -1;
  uint64_t n_samples = 0;
  int64_t predicted_class = -1;
  double value = std::numeric_limits<double>::quiet_NaN();
  bool is_leaf = false;
  bool is_categorical = false;
  SplitEvidence evidence;  // a leaf's keeps the defaults
};

// Preorder records of a tree; record i describes node i.
std::vector<ExportedNode> walk_export(const NodeList<double>& nodes);
std::vector<ExportedNode> walk_export(const NodeList<ClassPrediction>& nodes);

}  // namespace ornik
