#include "tree_dict.hpp"

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "convert.hpp"
#include "tree_import.hpp"

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
  } else {
    set_item(dict.get(), "predicted_class", make_list(records, [](const ExportedNode& r) {
               return PyLong_FromLongLong(r.predicted_class);
             }));
    set_item(dict.get(), "proba",
             make_list(records, [](const ExportedNode& r) { return float_list(r.proba); }));
    set_item(dict.get(), "n_classes", checked(PyLong_FromUnsignedLongLong(n_classes)));
  }
  // The evidence of each split's choice comes after the keys that describe the tree.
  for (const EvidenceFloats& f : EVIDENCE_FLOATS) {
    set_item(dict.get(), f.key, make_list(records, [&](const ExportedNode& r) {
               return PyFloat_FromDouble(r.evidence.*f.field);
             }));
  }
  set_item(dict.get(), "n_scored_folds", make_list(records, [](const ExportedNode& r) {
             return PyLong_FromUnsignedLongLong(r.evidence.n_folds);
           }));
  return dict;
}

namespace {

// Reads the list under `key`, converting every element with `convert`; nothing when the key is
// absent.
template <class T, class Convert>
std::optional<std::vector<T>> get_optional_vec(PyObject* dict, const char* key, const char* element,
                                               Convert convert) {
  PyRef key_obj = checked(PyUnicode_FromString(key));
  PyObject* found = PyDict_GetItemWithError(dict, key_obj.get());
  if (found == nullptr) {
    if (PyErr_Occurred()) throw PyErrorSet{};
    return std::nullopt;
  }
  PyRef value = PyRef::borrow(found);  // element conversions may run code that edits the dict
  std::vector<T> out;
  out.reserve(static_cast<size_t>(sequence_size_hint(value.get())));
  for_each_item(value.get(), std::string("a sequence of ") + element + " for " + quote(key),
                [&](PyObject* item) { out.push_back(convert(item)); });
  return out;
}

// The list under `key`, which must be present.
template <class T, class Convert>
std::vector<T> get_vec(PyObject* dict, const char* key, const char* element, Convert convert) {
  std::optional<std::vector<T>> list = get_optional_vec<T>(dict, key, element, convert);
  if (!list) raise(PyExc_ValueError, "tree state missing key " + quote(key));
  return std::move(*list);
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

// The nine per-node lists, in reading order; an empty "is_leaf" is refused before any payload
// list is read.
FlatTree flat_from_dict(PyObject* dict) {
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

// The evidence lists that are present, read after the payload lists.
void read_evidence(PyObject* dict, FlatTree& t) {
  for (const EvidenceFloats& f : EVIDENCE_FLOATS) {
    t.*f.list = get_optional_vec<double>(dict, f.key, "float", to_float);
  }
  t.n_scored_folds = get_optional_vec<uint64_t>(dict, "n_scored_folds", "int", to_unsigned);
}

template <class Payload>
NodeList<Payload> nodes_or_raise(ImportResult<Payload> result) {
  if (const std::string* error = std::get_if<std::string>(&result)) {
    raise(PyExc_ValueError, *error);
  }
  return std::move(std::get<NodeList<Payload>>(result));
}

}  // namespace

NodeList<double> regression_from_dict(PyObject* dict) {
  FlatTree flat = flat_from_dict(dict);
  flat.value = get_vec<double>(dict, "value", "float", to_float);
  read_evidence(dict, flat);
  return nodes_or_raise(import_regression(flat));
}

NodeList<ClassPrediction> classification_from_dict(PyObject* dict) {
  FlatTree flat = flat_from_dict(dict);
  flat.predicted_class = get_vec<int64_t>(dict, "predicted_class", "int", to_signed);
  flat.proba = get_vec<std::vector<double>>(dict, "proba", "float sequences", to_float_list);
  read_evidence(dict, flat);
  return nodes_or_raise(import_classification(flat));
}

}  // namespace ornik::py
