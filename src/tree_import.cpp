#include "tree_import.hpp"

#include <limits>
#include <optional>
#include <utility>

namespace ornik {

namespace {

// The first inconsistency found; caught at the entry points and returned as text.
struct ImportFailure {
  std::string message;
};

template <class T>
void require_entry(const std::vector<T>& list, const char* key, size_t id) {
  if (id >= list.size()) {
    throw ImportFailure{std::string("tree state key \"") + key + "\" has no entry for node " +
                        std::to_string(id)};
  }
}

// Entry id of an evidence list that is present, else `absent`.
template <class T>
T evidence_entry(const std::optional<std::vector<T>>& list, const char* key, size_t id, T absent) {
  if (!list) return absent;
  require_entry(*list, key, id);
  return (*list)[id];
}

SplitEvidence evidence_at(const FlatTree& flat, size_t id) {
  SplitEvidence e;
  for (const EvidenceFloats& f : EVIDENCE_FLOATS) {
    e.*f.field = evidence_entry(flat.*f.list, f.key, id, e.*f.field);
  }
  e.n_folds = evidence_entry(flat.n_scored_folds, "n_scored_folds", id, e.n_folds);
  return e;
}

// Rebuilds the nodes reachable from node 0 with an explicit stack, so a deep tree needs no deep
// recursion. leaf(id) checks and reads the payload of leaf id.
template <class Payload, class Leaf>
NodeList<Payload> rebuild(const FlatTree& flat, Leaf&& leaf) {
  enum : uint8_t { UNSEEN, OPEN, CLOSED };
  struct Visit {
    size_t id;
    size_t parent;      // id of the parent in the lists (unused for the root)
    size_t new_parent;  // position of the parent in the rebuilt list
    bool is_right;
    bool closes;  // leaving the subtree of id
  };
  const size_t n = flat.is_leaf.size();
  if (n == 0) throw ImportFailure{"tree state has no nodes"};
  std::vector<uint8_t> state(n, UNSEEN);
  NodeList<Payload> nodes;
  std::vector<Visit> stack{{0, 0, 0, false, false}};

  auto child = [&](size_t id, const std::vector<int64_t>& ids, const char* side) {
    const int64_t c = ids[id];
    if (c < 0 || static_cast<uint64_t>(c) >= n) {
      throw ImportFailure{"node " + std::to_string(id) + " has " + side + " child " +
                          std::to_string(c) + " out of range (the tree state has " +
                          std::to_string(n) + " nodes)"};
    }
    return static_cast<size_t>(c);
  };

  while (!stack.empty()) {
    const Visit v = stack.back();
    stack.pop_back();
    if (v.closes) {
      state[v.id] = CLOSED;
      continue;
    }
    if (state[v.id] == OPEN) {
      throw ImportFailure{"tree state has a cycle: node " + std::to_string(v.parent) +
                          " links back to node " + std::to_string(v.id)};
    }
    if (state[v.id] == CLOSED) {
      throw ImportFailure{"tree state reaches node " + std::to_string(v.id) +
                          " twice (again from node " + std::to_string(v.parent) + ")"};
    }
    const size_t pos = nodes.size();
    if (v.is_right) nodes[v.new_parent].right = pos;
    Node<Payload> node;
    if (flat.is_leaf[v.id] != 0) {
      require_entry(flat.n_samples, "n_samples", v.id);
      node.payload = leaf(v.id);
      node.n_samples = flat.n_samples[v.id];
      state[v.id] = CLOSED;
      nodes.push_back(std::move(node));
      continue;
    }
    require_entry(flat.children_left, "children_left", v.id);
    require_entry(flat.children_right, "children_right", v.id);
    require_entry(flat.feature, "feature", v.id);
    require_entry(flat.is_categorical, "is_categorical", v.id);
    if (flat.is_categorical[v.id] != 0) {
      require_entry(flat.category, "category", v.id);
    } else {
      require_entry(flat.lower, "lower", v.id);
      require_entry(flat.upper, "upper", v.id);
    }
    const size_t left = child(v.id, flat.children_left, "left");
    const size_t right = child(v.id, flat.children_right, "right");
    node.is_leaf = false;
    node.rule = flat.rule_at(v.id);
    node.evidence = evidence_at(flat, v.id);
    nodes.push_back(std::move(node));
    state[v.id] = OPEN;
    stack.push_back({v.id, 0, 0, false, true});
    stack.push_back({right, v.id, pos, true, false});
    stack.push_back({left, v.id, pos, false, false});
  }
  return nodes;
}

template <class Payload, class Leaf>
ImportResult<Payload> import_nodes(const FlatTree& flat, Leaf&& leaf) {
  try {
    return rebuild<Payload>(flat, std::forward<Leaf>(leaf));
  } catch (ImportFailure& failure) {
    return std::move(failure.message);
  }
}

}  // namespace

SplitRule FlatTree::rule_at(size_t id) const {
  const auto f = static_cast<size_t>(feature[id]);
  if (is_categorical[id] != 0) {
    return SplitRule::categorical(f, static_cast<uint32_t>(static_cast<uint64_t>(category[id])));
  }
  std::optional<double> lo, hi;
  if (lower[id] != -std::numeric_limits<double>::infinity()) lo = lower[id];
  if (upper[id] != std::numeric_limits<double>::infinity()) hi = upper[id];
  return SplitRule::numeric(f, lo, hi);
}

ImportResult<double> import_regression(const FlatTree& flat) {
  return import_nodes<double>(flat, [&](size_t id) {
    require_entry(flat.value, "value", id);
    return flat.value[id];
  });
}

ImportResult<ClassPrediction> import_classification(const FlatTree& flat) {
  return import_nodes<ClassPrediction>(flat, [&](size_t id) {
    require_entry(flat.predicted_class, "predicted_class", id);
    require_entry(flat.proba, "proba", id);
    ClassPrediction p;
    const int64_t c = flat.predicted_class[id];
    p.class_ = c < 0 ? 0 : static_cast<size_t>(c);
    p.proba = flat.proba[id];
    return p;
  });
}

}  // namespace ornik
