#include "tree_dict.hpp"

#include <string>

#include "convert.hpp"

namespace ornik::py {

namespace {

template <class F>
PyRef make_list(const std::vector<ExportedNode>& records, F&& item) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(records.size())));
  for (size_t i = 0; i < records.size(); ++i) {
    PyObject* value = item(records[i]);
    if (value == nullptr) throw PyErrorSet{};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);  // steals value
  }
  return list;
}

void set_item(PyObject* dict, const char* key, const PyRef& value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PyErrorSet{};
}

PyObject* float_list(const std::vector<double>& values) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* f = PyFloat_FromDouble(values[i]);
    if (f == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f);
  }
  return list.release();
}

}  // namespace

PyRef tree_to_dict(const std::vector<ExportedNode>& records, bool is_classifier,
                   uint64_t n_classes) {
  PyRef dict = checked(PyDict_New());
  set_item(dict.get(), "node_count", checked(PyLong_FromSize_t(records.size())));
  set_item(dict.get(), "is_leaf",
           make_list(records, [](const ExportedNode& r) { return PyBool_FromLong(r.is_leaf); }));
  set_item(dict.get(), "children_left", make_list(records, [](const ExportedNode& r) {
             return PyLong_FromLongLong(r.children_left);
           }));
  set_item(dict.get(), "children_right", make_list(records, [](const ExportedNode& r) {
             return PyLong_FromLongLong(r.children_right);
           }));
  set_item(dict.get(), "feature", make_list(records, [](const ExportedNode& r) {
             return PyLong_FromLongLong(r.feature);
           }));
  set_item(dict.get(), "is_categorical", make_list(records, [](const ExportedNode& r) {
             return PyBool_FromLong(r.is_categorical);
           }));
  set_item(dict.get(), "lower",
           make_list(records, [](const ExportedNode& r) { return PyFloat_FromDouble(r.lower); }));
  set_item(dict.get(), "upper",
           make_list(records, [](const ExportedNode& r) { return PyFloat_FromDouble(r.upper); }));
  set_item(dict.get(), "category", make_list(records, [](const ExportedNode& r) {
             return PyLong_FromLongLong(r.category);
           }));
  set_item(dict.get(), "n_samples", make_list(records, [](const ExportedNode& r) {
             return PyLong_FromUnsignedLongLong(r.n_samples);
           }));
  if (!is_classifier) {
    set_item(dict.get(), "value",
             make_list(records, [](const ExportedNode& r) { return PyFloat_FromDouble(r.value); }));
    return dict;
  }
  set_item(dict.get(), "predicted_class", make_list(records, [](const ExportedNode& r) {
             return PyLong_FromLongLong(r.predicted_class);
           }));
  set_item(dict.get(), "proba",
           make_list(records, [](const ExportedNode& r) { return float_list(r.proba); }));
  set_item(dict.get(), "n_classes", checked(PyLong_FromUnsignedLongLong(n_classes)));
  return dict;
}

namespace {

// Reads the list under `key`, converting every element with `convert`.
template <class T, class Convert>
std::vector<T> get_vec(PyObject* dict, const char* key, const char* element, Convert convert) {
  PyRef key_obj = checked(PyUnicode_FromString(key));
  PyObject* found = PyDict_GetItemWithError(dict, key_obj.get());
  if (found == nullptr) {
    if (PyErr_Occurred()) throw PyErrorSet{};
    raise(PyExc_ValueError, "tree state missing key " + quote(key));
  }
  PyRef value = PyRef::borrow(found);  // element conversions may run code that edits the dict
  std::vector<T> out;
  out.reserve(static_cast<size_t>(sequence_size_hint(value.get())));
  for_each_item(value.get(), std::string("a sequence of ") + element + " for " + quote(key),
                [&](PyObject* item) { out.push_back(convert(item)); });
  return out;
}

std::vector<double> to_float_list(PyObject* obj) {
  std::vector<double> out;
  out.reserve(static_cast<size_t>(sequence_size_hint(obj)));
  for_each_item(obj, "a sequence of float for a \"proba\" entry",
                [&](PyObject* item) { out.push_back(to_float(item)); });
  return out;
}

uint8_t to_flag(PyObject* obj) {
  return to_bool(obj) ? 1 : 0;
}

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

  static FlatTree from_dict(PyObject* dict) {
    FlatTree t;
    t.is_leaf = get_vec<uint8_t>(dict, "is_leaf", "bool", to_flag);
    t.children_left = get_vec<int64_t>(dict, "children_left", "int", to_signed);
    t.children_right = get_vec<int64_t>(dict, "children_right", "int", to_signed);
    t.feature = get_vec<int64_t>(dict, "feature", "int", to_signed);
    t.is_categorical = get_vec<uint8_t>(dict, "is_categorical", "bool", to_flag);
    t.lower = get_vec<double>(dict, "lower", "float", to_float);
    t.upper = get_vec<double>(dict, "upper", "float", to_float);
    t.category = get_vec<int64_t>(dict, "category", "int", to_signed);
    t.n_samples = get_vec<uint64_t>(dict, "n_samples", "int", to_unsigned);
    if (t.is_leaf.empty()) raise(PyExc_ValueError, "tree state has no nodes");
    return t;
  }

  SplitRule rule_at(size_t id) const {
    const auto f = static_cast<size_t>(feature[id]);
    if (is_categorical[id] != 0) {
      return SplitRule::categorical(f, static_cast<uint32_t>(static_cast<uint64_t>(category[id])));
    }
    std::optional<double> lo, hi;
    if (lower[id] != -std::numeric_limits<double>::infinity()) lo = lower[id];
    if (upper[id] != std::numeric_limits<double>::infinity()) hi = upper[id];
    return SplitRule::numeric(f, lo, hi);
  }
};

template <class T>
void require_entry(const std::vector<T>& list, const char* key, size_t id) {
  if (id >= list.size()) {
    raise(PyExc_ValueError,
          "tree state key " + quote(key) + " has no entry for node " + std::to_string(id));
  }
}

// Rebuilds the nodes reachable from node 0 in preorder (left subtree first) with an explicit
// stack. leaf(id) checks and reads the payload of leaf id.
template <class Payload, class Leaf>
NodeList<Payload> rebuild(const FlatTree& flat, Leaf&& leaf) {
  enum : uint8_t { UNSEEN, OPEN, CLOSED };
  struct Visit {
    size_t id;
    size_t parent;      // dictionary id of the parent (unused for the root)
    size_t new_parent;  // position of the parent in the rebuilt list
    bool is_right;
    bool closes;  // leaving the subtree of id
  };
  const size_t n = flat.is_leaf.size();
  std::vector<uint8_t> state(n, UNSEEN);
  NodeList<Payload> nodes;
  std::vector<Visit> stack{{0, 0, 0, false, false}};

  auto child = [&](size_t id, const std::vector<int64_t>& ids, const char* side) {
    const int64_t c = ids[id];
    if (c < 0 || static_cast<uint64_t>(c) >= n) {
      raise(PyExc_ValueError, "node " + std::to_string(id) + " has " + side + " child " +
                                  std::to_string(c) + " out of range (the tree state has " +
                                  std::to_string(n) + " nodes)");
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
      raise(PyExc_ValueError, "tree state has a cycle: node " + std::to_string(v.parent) +
                                  " links back to node " + std::to_string(v.id));
    }
    if (state[v.id] == CLOSED) {
      raise(PyExc_ValueError, "tree state reaches node " + std::to_string(v.id) +
                                  " twice (again from node " + std::to_string(v.parent) + ")");
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
    nodes.push_back(std::move(node));
    state[v.id] = OPEN;
    stack.push_back({v.id, 0, 0, false, true});
    stack.push_back({right, v.id, pos, true, false});
    stack.push_back({left, v.id, pos, false, false});
  }
  return nodes;
}

}  // namespace

NodeList<double> regression_from_dict(PyObject* dict) {
  const FlatTree flat = FlatTree::from_dict(dict);
  const std::vector<double> value = get_vec<double>(dict, "value", "float", to_float);
  return rebuild<double>(flat, [&](size_t id) {
    require_entry(value, "value", id);
    return value[id];
  });
}

NodeList<ClassPrediction> classification_from_dict(PyObject* dict) {
  const FlatTree flat = FlatTree::from_dict(dict);
  const std::vector<int64_t> predicted =
      get_vec<int64_t>(dict, "predicted_class", "int", to_signed);
  const std::vector<std::vector<double>> proba =
      get_vec<std::vector<double>>(dict, "proba", "float sequences", to_float_list);
  return rebuild<ClassPrediction>(flat, [&](size_t id) {
    require_entry(predicted, "predicted_class", id);
    require_entry(proba, "proba", id);
    ClassPrediction p;
    p.class_ = predicted[id] < 0 ? 0 : static_cast<size_t>(predicted[id]);
    p.proba = proba[id];
    return p;
  });
}

}  // namespace ornik::py
