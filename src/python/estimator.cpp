#include "estimator.hpp"

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "binning.hpp"
#include "columns.hpp"
#include "convert.hpp"
#include "estimator_state.hpp"
#include "interpreter_lock.hpp"
#include "params.hpp"
#include "result_buffer.hpp"
#include "tree_builder.hpp"
#include "tree_dict.hpp"

namespace ornik::py {

namespace {

// ---- The three classes: what differs between them. ----

struct RegressorKind {
  using Task = Regression;
  static constexpr unsigned mask = REGRESSOR;
  static constexpr bool classifier = false;
  static constexpr int target_type = NPY_FLOAT64;
  static constexpr const char* name = "RawRegressor";
  static constexpr const char* doc = "Native regression tree.";
  static constexpr const char* from_tree_params = "(tree, categorical)";
  static constexpr const char* from_tree_doc =
      "Rebuild a fitted regressor from an `export_tree` dump (used to unpickle).";

  static Task make_task(const RawArgs& a) { return build_regression(a); }
  static Task import_task(uint64_t) {
    Task t;
    t.criterion = std::make_unique<Mse>();
    return t;
  }
  static NodeList<double> import_nodes(PyObject* dict) { return regression_from_dict(dict); }
};

struct ClassifierKind {
  using Task = Classification;
  static constexpr unsigned mask = CLASSIFIER;
  static constexpr bool classifier = true;
  static constexpr int target_type = NPY_LONG;
  static constexpr const char* name = "RawClassifier";
  static constexpr const char* doc =
      "Native classification tree. Targets are already label-encoded to `0..n`\n"
      "by the Python layer; class recovery happens there via `classes_`.";
  static constexpr const char* from_tree_params = "(tree, n_classes, categorical)";
  static constexpr const char* from_tree_doc =
      "Rebuild a fitted classifier from an `export_tree` dump (used to unpickle).";

  static Task make_task(const RawArgs& a) { return build_classification(a); }
  static Task import_task(uint64_t n_classes) {
    Task t;
    t.criterion = std::make_unique<Gini>(n_classes);
    t.n_classes = n_classes;
    return t;
  }
  static NodeList<ClassPrediction> import_nodes(PyObject* dict) {
    return classification_from_dict(dict);
  }
};

struct ObjectiveKind {
  using Task = ObjectiveClassification;
  static constexpr unsigned mask = OBJECTIVE;
  static constexpr bool classifier = true;
  static constexpr int target_type = NPY_LONG;
  static constexpr const char* name = "RawObjectiveClassifier";
  static constexpr const char* doc =
      "Native classification tree that selects splits by a metric objective\n"
      "(precision/recall/F1/F\xCE\xB2/accuracy) instead of impurity.";
  static constexpr const char* from_tree_params = "(tree, n_classes, categorical)";
  static constexpr const char* from_tree_doc =
      "Rebuild a fitted objective classifier from an `export_tree` dump. The\n"
      "objective plays no part in prediction, so a placeholder task is used.";

  static Task make_task(const RawArgs& a) { return build_objective(a); }
  static Task import_task(uint64_t n_classes) {
    Task t;
    t.objective = std::make_unique<Accuracy>();
    t.n_classes = n_classes;
    t.gini = Gini(n_classes);
    return t;
  }
  static NodeList<ClassPrediction> import_nodes(PyObject* dict) {
    return classification_from_dict(dict);
  }
};

// ---- Instance layout and lifetime. ----

template <class Kind>
struct Object {
  PyObject ob_base;
  Estimator<typename Kind::Task>* est;
};

template <class Kind>
PyTypeObject* class_type = nullptr;  // set once at module creation, kept alive for good

template <class Kind>
Estimator<typename Kind::Task>& state(PyObject* self) {
  return *reinterpret_cast<Object<Kind>*>(self)->est;
}

template <class Kind>
PyObject* wrap(PyTypeObject* type, std::unique_ptr<Estimator<typename Kind::Task>> est) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) throw PyErrorSet{};
  reinterpret_cast<Object<Kind>*>(self)->est = est.release();
  return self;
}

template <class Kind>
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Object<Kind>*>(self)->est;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

template <class Kind>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    const RawArgs a = parse_constructor(Kind::mask, Kind::name, args, kwds);
    auto est = std::make_unique<Estimator<typename Kind::Task>>();
    est->task = Kind::make_task(a);
    est->params = build_params(a);
    est->aggregator = build_aggregator(a);
    est->categorical = normalize_positions(a.categorical);
    est->n_classes = a.n_classes;
    return wrap<Kind>(type, std::move(est));
  });
}

// ---- Fitting. ----

template <class Kind>
FillLaterRowVector<typename Kind::Task::Target> build_targets(const VectorView& y) {
  FillLaterRowVector<typename Kind::Task::Target> targets(y.size);
  for (size_t i = 0; i < y.size; ++i) {
    if constexpr (Kind::classifier) {
      const long v = y.c_long(i);
      targets[i] = v < 0 ? 0 : static_cast<ClassLabel>(v);
    } else {
      targets[i] = y.f64(i);
    }
  }
  return targets;
}

// Fits run with the interpreter lock released; it is taken back between nodes to run signal
// handlers (Ctrl-C abandons the fit and keeps the old tree) and to report progress.
template <class Kind>
PyObject* fit(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    const std::vector<PyObject*> bound =
        bind_arguments(args, kwds, "fit", {"x", "y"}, {"sample_weight", "progress"});
    const MatrixView x = convert_argument("x", [&] { return as_matrix(bound[0]); });
    const VectorView y =
        convert_argument("y", [&] { return as_vector(bound[1], Kind::target_type); });
    PyObject* progress = bound[3] == Py_None ? nullptr : bound[3];
    if (progress != nullptr && PyCallable_Check(progress) == 0) {
      raise(PyExc_TypeError,
            "argument 'progress': expected a callable or None, got " + type_name(progress));
    }
    auto& est = state<Kind>(self);

    if (x.cols == 0) raise(PyExc_ValueError, "need at least one feature column");
    if (y.size != x.rows) {
      raise(PyExc_ValueError, "targets length " + std::to_string(y.size) + " does not match " +
                                  std::to_string(x.rows) + " samples");
    }
    if (x.rows == 0) raise(PyExc_ValueError, "need at least one sample");
    if (const auto refusal = fit_refusal(est.task, est.params, x.rows)) {
      raise(PyExc_ValueError, *refusal);
    }
    const TreeParams& p = est.params;
    // None and an absent argument alike leave every sample weighing one.
    FillLaterRowVector<double> weights = bound[2] == nullptr || bound[2] == Py_None
                                             ? FillLaterRowVector<double>{}
                                             : sample_weights(bound[2], x.rows);

    {
      LockReleased released;
      const std::lock_guard<std::recursive_mutex> one_fit_at_a_time(est.fitting);
      auto targets = build_targets<Kind>(y);
      const NodeHook hook = between_nodes(released, progress, x.rows);
      NodeList<typename Kind::Task::Payload> nodes;
      if (p.mode != SplitMode::Fast) {
        const std::vector<Column> columns = build_columns(x, est.categorical);
        nodes =
            build_tree_strict(est.task, p, *est.aggregator, std::span<const Column>(columns),
                              std::span<const typename Kind::Task::Target>(targets), weights, hook);
      } else {
        // Columns are binned a few at a time (on worker threads when the parallel path is open),
        // so no float copy of x exists whole. The grower takes the targets and weights over.
        auto fitted = fit_tree_fast(
            est.task, p, *est.aggregator, x.rows, x.cols,
            [&](size_t j) { return build_column(x, j, est.categorical); }, std::move(targets),
            std::move(weights), hook);
        if (const std::string* error = std::get_if<std::string>(&fitted)) {
          released.relocked([&] { raise(PyExc_ValueError, *error); });
        }
        nodes = std::move(std::get<0>(fitted));
      }
      if (progress != nullptr)
        released.relocked([&] { report_progress(progress, x.rows, x.rows); });
      est.install(std::move(nodes));
    }
    Py_RETURN_NONE;
  });
}

// ---- Prediction. ----

template <class Kind>
auto fitted_tree(PyObject* self) {
  auto tree = state<Kind>(self).fitted();
  if (!tree) raise(PyExc_ValueError, "estimator is not fitted");
  return tree;
}

// The x of predict, predict_proba or apply, bound, converted, then checked against the fitted
// tree, in that order (a wrong argument is reported before an unfitted estimator); and the tree
// that routes it, held for the call.
template <class Kind>
struct RoutedInput {
  MatrixView x;
  std::shared_ptr<const Grown<typename Kind::Task::Payload>> tree;

  RoutedInput(PyObject* self, PyObject* args, PyObject* kwds, const char* function) {
    const std::vector<PyObject*> bound = bind_arguments(args, kwds, function, {"x"});
    x = convert_argument("x", [&] { return as_matrix(bound[0]); });
    tree = fitted_tree<Kind>(self);
    // Every split feature must be a column of x.
    const std::optional<size_t> feature = tree->max_feature;
    if (feature && *feature >= x.cols) {
      raise(PyExc_ValueError, "x has " + std::to_string(x.cols) +
                                  " columns but the tree uses feature " + std::to_string(*feature));
    }
  }

  // Routes every row with the interpreter lock released; fill(values, leaf) writes the values of
  // a row that reaches `leaf`: one, or a row of `columns` when given. The result array is made
  // once the lock is back.
  template <class T, class Fill>
  PyObject* result(PyObject* self, int typenum, std::optional<size_t> columns, Fill&& fill) const {
    const size_t width = columns.value_or(1);
    ResultBuffer<T> values(x.rows, columns);
    {
      const LockReleased released;
      route_rows(tree->nodes, x, state<Kind>(self).categorical,
                 [&](size_t i, size_t leaf) { fill(values.data() + i * width, leaf); });
    }
    return values.to_array(typenum).release();
  }
};

template <class Kind>
PyObject* predict(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    const RoutedInput<Kind> input(self, args, kwds, "predict");
    const auto& nodes = input.tree->nodes;
    using Out = std::conditional_t<Kind::classifier, long, double>;
    return input.template result<Out>(self, Kind::classifier ? NPY_LONG : NPY_FLOAT64, {},
                                      [&](Out* out, size_t leaf) {
                                        if constexpr (Kind::classifier) {
                                          *out = static_cast<long>(nodes[leaf].payload.class_);
                                        } else {
                                          *out = nodes[leaf].payload;
                                        }
                                      });
  });
}

template <class Kind>
PyObject* predict_proba(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    const RoutedInput<Kind> input(self, args, kwds, "predict_proba");
    const auto& nodes = input.tree->nodes;
    const size_t k = std::max<uint64_t>(state<Kind>(self).n_classes, 1);
    return input.template result<double>(self, NPY_FLOAT64, k, [&](double* out, size_t leaf) {
      const std::vector<double>& proba = nodes[leaf].payload.proba;
      std::copy_n(proba.begin(), std::min(proba.size(), k), out);
    });
  });
}

// Leaf ids in the node numbering of export_tree.
template <class Kind>
PyObject* apply(PyObject* self, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    const RoutedInput<Kind> input(self, args, kwds, "apply");
    return input.template result<npy_intp>(
        self, NPY_INTP, {}, [](npy_intp* out, size_t leaf) { *out = static_cast<npy_intp>(leaf); });
  });
}

// ---- Small queries, export and import. ----

template <class Kind>
PyObject* depth(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const auto tree = state<Kind>(self).fitted();
    return PyLong_FromSize_t(tree ? node_depth(tree->nodes) : 0);
  });
}

template <class Kind>
PyObject* n_leaves(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const auto tree = state<Kind>(self).fitted();
    return PyLong_FromSize_t(tree ? node_leaves(tree->nodes) : 0);
  });
}

template <class Kind>
PyObject* export_tree(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const std::vector<ExportedNode> records = walk_export(fitted_tree<Kind>(self)->nodes);
    return tree_to_dict(records, Kind::classifier, state<Kind>(self).n_classes).release();
  });
}

template <class Kind>
PyObject* from_tree(PyObject*, PyObject* args, PyObject* kwds) {
  return guarded([&]() -> PyObject* {
    std::vector<const char*> names{"tree", "categorical"};
    if constexpr (Kind::classifier) names.insert(names.begin() + 1, "n_classes");
    const std::vector<PyObject*> bound = bind_arguments(args, kwds, "from_tree", names);
    PyObject* dict = bound[0];
    convert_argument("tree", [&] {
      if (!PyDict_Check(dict)) raise(PyExc_TypeError, "expected dict, got " + type_name(dict));
    });
    uint64_t n_classes = 0;
    if constexpr (Kind::classifier) {
      n_classes = convert_argument("n_classes", [&] { return to_unsigned(bound[1]); });
    }
    PyObject* positions = bound[names.size() - 1];
    std::vector<size_t> categorical =
        convert_argument("categorical", [&] { return to_positions(positions); });

    auto est = std::make_unique<Estimator<typename Kind::Task>>();
    est->install(Kind::import_nodes(dict));
    est->params = import_params();
    est->task = Kind::import_task(n_classes);
    est->aggregator = std::make_unique<Mean>();
    est->categorical = normalize_positions(std::move(categorical));
    est->n_classes = n_classes;
    return wrap<Kind>(class_type<Kind>, std::move(est));
  });
}

// ---- Type creation. ----

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

template <class Kind>
PyMethodDef* method_table() {
  static const std::string from_tree_doc =
      std::string("from_tree") + Kind::from_tree_params + "\n--\n\n" + Kind::from_tree_doc;
  static std::vector<PyMethodDef> table = [] {
    std::vector<PyMethodDef> t{
        {"fit", as_cfunction(fit<Kind>), METH_VARARGS | METH_KEYWORDS,
         "fit($self, x, y, *, sample_weight=None, progress=None)\n--\n\n"},
        {"predict", as_cfunction(predict<Kind>), METH_VARARGS | METH_KEYWORDS,
         "predict($self, x)\n--\n\n"},
    };
    if constexpr (Kind::classifier) {
      t.push_back({"predict_proba", as_cfunction(predict_proba<Kind>), METH_VARARGS | METH_KEYWORDS,
                   "predict_proba($self, x)\n--\n\n"});
    }
    t.push_back({"apply", as_cfunction(apply<Kind>), METH_VARARGS | METH_KEYWORDS,
                 "apply($self, x)\n--\n\n"});
    t.push_back({"depth", as_cfunction(depth<Kind>), METH_NOARGS, "depth($self)\n--\n\n"});
    t.push_back({"n_leaves", as_cfunction(n_leaves<Kind>), METH_NOARGS, "n_leaves($self)\n--\n\n"});
    t.push_back({"export_tree", as_cfunction(export_tree<Kind>), METH_NOARGS,
                 "export_tree($self)\n--\n\n"});
    t.push_back({"from_tree", as_cfunction(from_tree<Kind>),
                 METH_VARARGS | METH_KEYWORDS | METH_STATIC, from_tree_doc.c_str()});
    t.push_back({nullptr, nullptr, 0, nullptr});
    return t;
  }();
  return table.data();
}

void set_attr(PyObject* obj, const char* name, const char* utf8) {
  PyRef value = checked(PyUnicode_FromString(utf8));
  if (PyObject_SetAttrString(obj, name, value.get()) < 0) throw PyErrorSet{};
}

template <class Kind>
PyRef make_type() {
  // The type is created under a different name so that the interpreter keeps the signature line
  // in tp_doc (it strips it when the doc starts with the type's own name); __text_signature__
  // reads it from there once the real name is set.
  static const std::string creation_name = std::string("ornik._ornik._") + Kind::name + "_";
  const std::string doc =
      std::string(Kind::name) + parameter_list(Kind::mask) + "\n--\n\n" + Kind::doc;
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(construct<Kind>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<Kind>)},
      {Py_tp_methods, method_table<Kind>()},
      {Py_tp_doc, const_cast<char*>(doc.c_str())},
      {0, nullptr},
  };
  PyType_Spec type_spec{creation_name.c_str(), static_cast<int>(sizeof(Object<Kind>)), 0,
                        Py_TPFLAGS_DEFAULT, slots};
  PyRef type = checked(PyType_FromSpec(&type_spec));
  set_attr(type.get(), "__doc__", Kind::doc);
  set_attr(type.get(), "__name__", Kind::name);
  set_attr(type.get(), "__qualname__", Kind::name);
  Py_INCREF(type.get());
  class_type<Kind> = reinterpret_cast<PyTypeObject*>(type.get());
  return type;
}

}  // namespace

PyRef make_regressor_type() {
  return make_type<RegressorKind>();
}
PyRef make_classifier_type() {
  return make_type<ClassifierKind>();
}
PyRef make_objective_classifier_type() {
  return make_type<ObjectiveKind>();
}

}  // namespace ornik::py
