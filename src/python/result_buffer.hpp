// A result computed with the interpreter lock released: its values live in a plain buffer until
// the lock is back and they become a NumPy array.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

#include "pyinclude.hpp"
#include "pyref.hpp"

namespace ornik::py {

// The values of a result: filled with the lock released, then copied into a new C-ordered array
// once it is back. The shape is checked and the buffer allocated first, with the lock held, so
// that a size out of reach is a MemoryError before any work.
template <class T>
class ResultBuffer {
 public:
  // Shape (rows,), or (rows, columns) when columns are given; zero-filled.
  ResultBuffer(size_t rows, std::optional<size_t> columns) {
    size_t bytes = sizeof(T);
    for (const std::optional<size_t> d : {std::optional<size_t>(rows), columns}) {
      if (!d) continue;
      if (*d > static_cast<size_t>(PY_SSIZE_T_MAX) ||
          (*d != 0 && bytes > static_cast<size_t>(PY_SSIZE_T_MAX) / *d)) {
        PyErr_NoMemory();
        throw PyErrorSet{};
      }
      bytes *= *d;
      dims_[nd_++] = static_cast<npy_intp>(*d);
    }
    count_ = bytes / sizeof(T);
    data_.reset(static_cast<T*>(std::calloc(count_, sizeof(T))));
    if (data_ == nullptr && count_ != 0) {
      PyErr_NoMemory();
      throw PyErrorSet{};
    }
  }

  T* data() { return data_.get(); }

  PyRef to_array(int typenum) {
    PyArray_Descr* descr = PyArray_DescrFromType(typenum);  // reference stolen below
    if (descr == nullptr) throw PyErrorSet{};
    PyRef array = checked(
        PyArray_NewFromDescr(&PyArray_Type, descr, nd_, dims_, nullptr, nullptr, 0, nullptr));
    std::copy_n(data_.get(), count_,
                static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))));
    return array;
  }

 private:
  struct Free {
    void operator()(T* p) const { std::free(p); }
  };
  std::unique_ptr<T, Free> data_;
  size_t count_ = 0;
  npy_intp dims_[2] = {0, 0};
  int nd_ = 0;
};

}  // namespace ornik::py
