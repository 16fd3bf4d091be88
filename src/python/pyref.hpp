// Owning handle for one strong reference to a Python object.
#pragma once

#include "pyinclude.hpp"

namespace ornik::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  explicit PyRef(PyObject* owned) : p_(owned) {}
  static PyRef borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }
  PyRef(const PyRef& o) : p_(o.p_) { Py_XINCREF(p_); }
  PyRef(PyRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  PyObject* p_ = nullptr;
};

// Thrown after a Python exception has been set; the entry point returns null with it pending.
struct PyErrorSet {};

// A new reference from a call that returns null on error.
inline PyRef checked(PyObject* owned) {
  if (owned == nullptr) throw PyErrorSet{};
  return PyRef(owned);
}

}  // namespace ornik::py
