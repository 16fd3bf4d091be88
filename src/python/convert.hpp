// Conversions of Python arguments into C++ values, the quoting rule of user-facing messages, and
// the translation of C++ failures into Python exceptions.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "data.hpp"
#include "parallel.hpp"
#include "pyref.hpp"
#include "tree.hpp"

namespace ornik::py {

static_assert(sizeof(size_t) == sizeof(uint64_t), "positions are converted as 64-bit values");

// A str argument as code points (lone surrogates included, so any str converts).
using Text = std::u32string;

// Sets a Python exception and leaves through PyErrorSet.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Name of an object's type, for messages.
std::string type_name(PyObject* obj);

// The text in double quotes: " \ tab LF CR NUL as backslash escapes, other non-printable
// characters as \u{hex}; printable non-ASCII characters are kept.
std::string quote(const Text& text);
std::string quote(const char* ascii);

bool equals(const Text& text, const char* ascii);

// Element conversions; each raises the interpreter's TypeError / OverflowError on failure.
uint64_t to_unsigned(PyObject* obj);
int64_t to_signed(PyObject* obj);
double to_float(PyObject* obj);
bool to_bool(PyObject* obj);  // Python bool or NumPy bool scalar only
Text to_text(PyObject* obj);  // str only

// Calls f(item) for each item of a sequence; a str or a non-sequence raises TypeError naming
// `expected`.
template <class F>
void for_each_item(PyObject* seq, const std::string& expected, F&& f) {
  if (PyUnicode_Check(seq) || !PySequence_Check(seq)) {
    raise(PyExc_TypeError, "expected " + expected + ", got " + type_name(seq));
  }
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) throw PyErrorSet{};
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = checked(PySequence_GetItem(seq, i));
    f(item.get());
  }
}

// How many items to reserve room for: the claimed length, but never more than a bound, since a
// sequence may claim far more items than it yields (the vector grows past the bound as needed).
inline Py_ssize_t sequence_size_hint(PyObject* seq) {
  constexpr Py_ssize_t max_reserve = Py_ssize_t{1} << 20;
  const Py_ssize_t n = PySequence_Check(seq) && !PyUnicode_Check(seq) ? PySequence_Size(seq) : 0;
  if (n < 0) PyErr_Clear();
  return n < 0 ? 0 : std::min(n, max_reserve);
}

std::vector<size_t> to_positions(PyObject* obj);  // a non-str sequence of unsigned integers

// Binds positional and keyword arguments to `names` (all required) and to the keyword-only
// `optional` names by the interpreter's rules and wording; returns borrowed references in the
// order of `names`, then of `optional` (null for an optional argument not given).
std::vector<PyObject*> bind_arguments(PyObject* args, PyObject* kwds, const char* function,
                                      const std::vector<const char*>& names,
                                      const std::vector<const char*>& optional = {});

// Runs the conversion of argument `name`; a TypeError it raises is re-raised as
// "argument '{name}': {message}", anything else passes through.
[[noreturn]] void reraise_for_argument(const char* name);

template <class F>
auto convert_argument(const char* name, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const PyErrorSet&) {
    reraise_for_argument(name);
  }
}

// A read-only view of a 1-D float64 or C long array through its stride.
struct VectorView {
  const char* data = nullptr;
  size_t size = 0;
  npy_intp stride = 0;

  // Inline: a fit converts every target through these.
  double f64(size_t i) const { return at<double>(i); }
  long c_long(size_t i) const { return at<long>(i); }

 private:
  template <class T>
  T at(size_t i) const {
    T v;
    std::memcpy(&v, data + static_cast<npy_intp>(i) * stride, sizeof v);
    return v;
  }
};

// x: an ndarray (or subclass) with 2 dimensions and a dtype equivalent to float64.
MatrixView as_matrix(PyObject* obj);
// y: an ndarray with 1 dimension and a dtype equivalent to `typenum` (float64 or C long).
VectorView as_vector(PyObject* obj, int typenum);
// sample_weight: a 1-D float64 array of n_rows finite weights >= 0, not all 0, copied; a
// ValueError names the first bad weight and its position.
FillLaterRowVector<double> sample_weights(PyObject* obj, size_t n_rows);

// Runs f, turning every C++ failure into a pending Python exception; returns null then.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const PyErrorSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const ParallelError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
  }
  return nullptr;
}

}  // namespace ornik::py
