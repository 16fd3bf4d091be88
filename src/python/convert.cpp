#include "convert.hpp"

#include <cmath>
#include <cstring>

namespace ornik::py {

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PyErrorSet{};
}

std::string type_name(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(utf8, static_cast<size_t>(size));
    }
  }
  PyErr_Clear();
  return "object";
}

namespace {

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Printable in the interpreter's sense: not a control, format, surrogate, private-use,
// unassigned or separator character (the ASCII space excepted).
bool printable(char32_t c) {
  if (c < 0x80) return c >= 0x20 && c < 0x7F;
  if (c >= 0xD800 && c <= 0xDFFF) return false;
  PyRef ch(PyUnicode_FromOrdinal(static_cast<int>(c)));
  if (!ch) {
    PyErr_Clear();
    return false;
  }
  PyRef result(PyObject_CallMethod(ch.get(), "isprintable", nullptr));
  if (!result) {
    PyErr_Clear();
    return false;
  }
  return result.get() == Py_True;
}

}  // namespace

std::string quote(const Text& text) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char32_t c : text) {
    switch (c) {
      case U'"':
        out += "\\\"";
        continue;
      case U'\\':
        out += "\\\\";
        continue;
      case U'\t':
        out += "\\t";
        continue;
      case U'\n':
        out += "\\n";
        continue;
      case U'\r':
        out += "\\r";
        continue;
      case U'\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (printable(c)) {
      append_utf8(out, c);
      continue;
    }
    std::string digits;
    for (char32_t v = c; v != 0 || digits.empty(); v >>= 4)
      digits.insert(digits.begin(), hex[v & 0xF]);
    out += "\\u{" + digits + "}";
  }
  out += '"';
  return out;
}

std::string quote(const char* ascii) {
  Text t;
  for (const char* p = ascii; *p != '\0'; ++p)
    t += static_cast<char32_t>(static_cast<unsigned char>(*p));
  return quote(t);
}

bool equals(const Text& text, const char* ascii) {
  size_t i = 0;
  for (; ascii[i] != '\0'; ++i) {
    if (i >= text.size() ||
        text[i] != static_cast<char32_t>(static_cast<unsigned char>(ascii[i]))) {
      return false;
    }
  }
  return i == text.size();
}

uint64_t to_unsigned(PyObject* obj) {
  PyRef index = checked(PyNumber_Index(obj));
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
  return v;
}

int64_t to_signed(PyObject* obj) {
  const long long v = PyLong_AsLongLong(obj);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  return v;
}

double to_float(PyObject* obj) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
  return v;
}

bool to_bool(PyObject* obj) {
  if (PyBool_Check(obj)) return obj == Py_True;
  if (PyObject_TypeCheck(obj, &PyBoolArrType_Type)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) throw PyErrorSet{};
    return truth != 0;
  }
  raise(PyExc_TypeError, "expected bool, got " + type_name(obj));
}

Text to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise(PyExc_TypeError, "expected str, got " + type_name(obj));
  const Py_ssize_t n = PyUnicode_GetLength(obj);
  if (n < 0) throw PyErrorSet{};
  Py_UCS4* buffer = PyUnicode_AsUCS4Copy(obj);
  if (buffer == nullptr) throw PyErrorSet{};
  Text text;
  try {
    text.assign(buffer, buffer + n);
  } catch (...) {
    PyMem_Free(buffer);
    throw;
  }
  PyMem_Free(buffer);
  return text;
}

std::vector<size_t> to_positions(PyObject* obj) {
  std::vector<size_t> out;
  out.reserve(static_cast<size_t>(sequence_size_hint(obj)));
  for_each_item(obj, "a sequence of non-negative integers",
                [&](PyObject* item) { out.push_back(to_unsigned(item)); });
  return out;
}

// PyErr_Fetch is the only way to take an exception apart under the 3.10 limited API.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void reraise_for_argument(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrorSet{};
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  PyRef cause(value);
  Py_XDECREF(type);
  Py_XDECREF(trace);
  PyRef text(cause ? PyObject_Str(cause.get()) : nullptr);
  if (!text) throw PyErrorSet{};
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  // Keep the original failure visible as the cause.
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  if (value != nullptr && cause) PyException_SetCause(value, cause.release());
  PyErr_Restore(type, value, trace);
  throw PyErrorSet{};
}
#pragma GCC diagnostic pop

namespace {

bool has_dtype(PyArrayObject* arr, int typenum) {
  PyArray_Descr* want = PyArray_DescrFromType(typenum);
  if (want == nullptr) throw PyErrorSet{};
  PyRef hold(reinterpret_cast<PyObject*>(want));
  return PyArray_EquivTypes(PyArray_DESCR(arr), want) != 0;
}

std::string dtype_text(PyArray_Descr* descr) {
  PyRef s(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
  Py_ssize_t size = 0;
  const char* utf8 = s ? PyUnicode_AsUTF8AndSize(s.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(utf8, static_cast<size_t>(size));
}

[[noreturn]] void wrong_array(PyObject* obj, int ndim, int typenum) {
  PyArray_Descr* want = PyArray_DescrFromType(typenum);
  if (want == nullptr) throw PyErrorSet{};
  PyRef hold(reinterpret_cast<PyObject*>(want));
  std::string msg = "expected a " + std::to_string(ndim) + "-dimensional " + dtype_text(want) +
                    " NumPy array, got ";
  if (PyArray_Check(obj)) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    msg += "a " + std::to_string(PyArray_NDIM(arr)) + "-dimensional " + type_name(obj) +
           " of dtype " + dtype_text(PyArray_DESCR(arr));
  } else {
    msg += type_name(obj);
  }
  raise(PyExc_TypeError, msg);
}

}  // namespace

MatrixView as_matrix(PyObject* obj) {
  if (!PyArray_Check(obj)) wrong_array(obj, 2, NPY_FLOAT64);
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != 2 || !has_dtype(arr, NPY_FLOAT64)) wrong_array(obj, 2, NPY_FLOAT64);
  const npy_intp* dims = PyArray_DIMS(arr);
  const npy_intp* strides = PyArray_STRIDES(arr);
  return MatrixView{static_cast<const char*>(PyArray_DATA(arr)), static_cast<size_t>(dims[0]),
                    static_cast<size_t>(dims[1]), strides[0], strides[1]};
}

VectorView as_vector(PyObject* obj, int typenum) {
  if (!PyArray_Check(obj)) wrong_array(obj, 1, typenum);
  auto* arr = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(arr) != 1 || !has_dtype(arr, typenum)) wrong_array(obj, 1, typenum);
  return VectorView{static_cast<const char*>(PyArray_DATA(arr)),
                    static_cast<size_t>(PyArray_DIMS(arr)[0]), PyArray_STRIDES(arr)[0]};
}

FillLaterRowVector<double> sample_weights(PyObject* obj, size_t n_rows) {
  const VectorView w =
      convert_argument("sample_weight", [&] { return as_vector(obj, NPY_FLOAT64); });
  if (w.size != n_rows) {
    raise(PyExc_ValueError, "sample_weight has " + std::to_string(w.size) + " entries but x has " +
                                std::to_string(n_rows) + " samples");
  }
  FillLaterRowVector<double> out(n_rows);
  bool any_weight = false;
  for (size_t i = 0; i < n_rows; ++i) {
    out[i] = w.f64(i);
    if (!(std::isfinite(out[i]) && out[i] >= 0.0)) {
      const PyRef value = checked(PyFloat_FromDouble(out[i]));
      PyErr_Format(PyExc_ValueError, "sample_weight[%zu] = %R is not a finite weight >= 0", i,
                   value.get());
      throw PyErrorSet{};
    }
    any_weight = any_weight || out[i] > 0.0;
  }
  if (!any_weight) raise(PyExc_ValueError, "sample_weight is 0 for every sample");
  return out;
}

}  // namespace ornik::py

namespace ornik::py {

namespace {

bool is_parameter(PyObject* key, const std::vector<const char*>& names) {
  return std::any_of(names.begin(), names.end(), [&](const char* name) {
    return PyUnicode_CompareWithASCIIString(key, name) == 0;
  });
}

// The keyword argument `name`, or null when it is not given.
PyObject* keyword(PyObject* kwds, const char* name) {
  if (kwds == nullptr) return nullptr;
  const PyRef key = checked(PyUnicode_FromString(name));
  PyObject* value = PyDict_GetItemWithError(kwds, key.get());
  if (value == nullptr && PyErr_Occurred()) throw PyErrorSet{};
  return value;
}

}  // namespace

std::vector<PyObject*> bind_arguments(PyObject* args, PyObject* kwds, const char* function,
                                      const std::vector<const char*>& names,
                                      const std::vector<const char*>& optional) {
  const Py_ssize_t n_positional = PyTuple_Size(args);
  if (n_positional < 0) throw PyErrorSet{};
  const Py_ssize_t n_keywords = kwds != nullptr ? PyDict_Size(kwds) : 0;
  if (n_keywords < 0) throw PyErrorSet{};
  // A keyword that names no parameter is reported first, in the interpreter's own words.
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t n_optional = 0;
  while (n_keywords > 0 && PyDict_Next(kwds, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) continue;
    if (is_parameter(key, optional)) {
      ++n_optional;
    } else if (!is_parameter(key, names)) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      throw PyErrorSet{};
    }
  }
  // The keyword-only arguments take no part in the count of the others.
  const size_t given = static_cast<size_t>(n_positional + n_keywords - n_optional);
  if (given > names.size()) {
    raise(PyExc_TypeError,
          std::string(function) + "() takes at most " + std::to_string(names.size()) +
              (n_positional == 0 ? " keyword" : "") + " argument" + (names.size() == 1 ? "" : "s") +
              " (" + std::to_string(given) + " given)");
  }
  std::vector<PyObject*> bound(names.size(), nullptr);
  for (size_t i = 0; i < names.size(); ++i) {
    if (i < static_cast<size_t>(n_positional)) {
      bound[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    } else if (n_keywords > 0) {
      bound[i] = keyword(kwds, names[i]);
    }
    if (bound[i] == nullptr) {
      raise(PyExc_TypeError, std::string(function) + "() missing required argument '" + names[i] +
                                 "' (pos " + std::to_string(i + 1) + ")");
    }
  }
  for (const char* name : optional) bound.push_back(n_optional > 0 ? keyword(kwds, name) : nullptr);
  return bound;
}

}  // namespace ornik::py
