// The extension module: creates the three estimator classes.
#define ORNIK_DEFINE_ARRAY_API
#include "convert.hpp"
#include "estimator.hpp"
#include "pyinclude.hpp"

namespace ornik::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_ornik",
    "The native extension module `ornik._ornik`.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Sets a module attribute and lists its name in __all__ (created by the first addition).
void add_public(PyObject* module, const char* name, PyRef value) {
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
    PyErr_Clear();
    all = checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PyErrorSet{};
  }
  PyRef text = checked(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) throw PyErrorSet{};
  if (PyObject_SetAttrString(module, name, value.get()) < 0) throw PyErrorSet{};
}

}  // namespace

PyObject* create_module() {
  return guarded([]() -> PyObject* {
    if (PyArray_ImportNumPyAPI() < 0) throw PyErrorSet{};
    PyRef module = checked(PyModule_Create(&module_def));
    add_public(module.get(), "RawClassifier", make_classifier_type());
    add_public(module.get(), "RawObjectiveClassifier", make_objective_classifier_type());
    add_public(module.get(), "RawRegressor", make_regressor_type());
    add_public(module.get(), "__doc__",
               checked(PyUnicode_FromString(
                   "Native core of the ornik package; use `ornik.ORNIKClassifier` or "
                   "`ornik.ORNIKRegressor` instead.")));
    return module.release();
  });
}

}  // namespace ornik::py

PyMODINIT_FUNC PyInit__ornik(void) {
  return ornik::py::create_module();
}
