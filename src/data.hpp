// Training columns, the category conversion and small numeric helpers shared by every unit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace ornik {

// Memory for a large buffer, on whole 2 MiB pages where the system grants them on request
// (Linux's transparent huge pages): a pass in shuffled row order then misses the address cache far
// less, and a first touch maps 2 MiB at once instead of taking a fault for every 4 KiB, which on a
// virtual machine costs more than zeroing the page. A freed one is kept for a later request of
// the same size (up to a bound, see data.cpp), so that repeated fits reuse their pages. Smaller
// requests take the ordinary heap. The pair must be called with the same size.
void* allocate_large(size_t bytes);
void free_large(void* p, size_t bytes) noexcept;
// The bytes of freed large buffers kept for reuse.
size_t kept_large_bytes();

// An allocator for buffers that hold a row-indexed part of the training data (see
// allocate_large).
template <class T>
struct RowBufferAllocator {
  using value_type = T;
  RowBufferAllocator() = default;
  template <class U>
  RowBufferAllocator(const RowBufferAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocate_large(n * sizeof(T)));
  }
  void deallocate(T* p, size_t n) noexcept { free_large(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const RowBufferAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using RowVector = std::vector<T, RowBufferAllocator<T>>;

// An allocator (over Base) that leaves new elements of trivial types uninitialised, for buffers
// whose every element is written before it is read: growing one costs no zeroing pass, and its
// pages are first touched by the threads that fill them.
template <class T, class Base = std::allocator<T>>
struct FillLaterAllocator : Base {
  template <class U>
  struct rebind {
    using other =
        FillLaterAllocator<U, typename std::allocator_traits<Base>::template rebind_alloc<U>>;
  };
  FillLaterAllocator() = default;
  template <class U, class B>
  FillLaterAllocator(const FillLaterAllocator<U, B>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using FillLaterVector = std::vector<T, FillLaterAllocator<T>>;
template <class T>
using FillLaterRowVector = std::vector<T, FillLaterAllocator<T, RowBufferAllocator<T>>>;

// A missing categorical label.
inline constexpr uint32_t MISSING_CATEGORY = 0xFFFFFFFFu;

// Class index of a classification target.
using ClassLabel = uint64_t;

// A read-only float64 matrix reached through byte strides, so any memory layout is read in place.
struct MatrixView {
  const char* data = nullptr;
  size_t rows = 0;
  size_t cols = 0;
  ptrdiff_t row_stride = 0;
  ptrdiff_t col_stride = 0;

  double at(size_t i, size_t j) const {
    double v;
    std::memcpy(
        &v, data + static_cast<ptrdiff_t>(i) * row_stride + static_cast<ptrdiff_t>(j) * col_stride,
        sizeof v);
    return v;
  }
};

// The float64 values of one column, value r at base + r * stride bytes.
struct StridedValues {
  const char* base = nullptr;
  ptrdiff_t stride = 0;

  const char* address(size_t r) const { return base + static_cast<ptrdiff_t>(r) * stride; }
  double operator[](size_t r) const {
    double v;
    std::memcpy(&v, address(r), sizeof v);
    return v;
  }
};

// One training feature: 64-bit floats (NaN and +-inf are missing) or 32-bit category labels.
// Numbers are either owned or read in place from a matrix that outlives the column; labels are
// either owned or read in place as numbers, each to be converted by category_label.
struct Column {
  bool categorical = false;
  std::vector<double> numbers;  // owned numbers; empty when they are read in place
  std::vector<uint32_t> labels;
  StridedValues in_place;  // base is null unless the numbers are read in place
  size_t in_place_rows = 0;

  static Column numeric(std::vector<double> values) {
    Column c;
    c.numbers = std::move(values);
    return c;
  }
  // Column j of x, read where it lies.
  static Column numeric_view(const MatrixView& x, size_t j) {
    Column c;
    c.in_place = {x.data + static_cast<ptrdiff_t>(j) * x.col_stride, x.row_stride};
    c.in_place_rows = x.rows;
    return c;
  }
  static Column categories(std::vector<uint32_t> values) {
    Column c;
    c.categorical = true;
    c.labels = std::move(values);
    return c;
  }
  // Column j of x as labels, its numbers read where they lie and not yet converted.
  static Column categories_view(const MatrixView& x, size_t j) {
    Column c = numeric_view(x, j);
    c.categorical = true;
    return c;
  }
  size_t size() const {
    return in_place.base ? in_place_rows : categorical ? labels.size() : numbers.size();
  }
  // The numbers, wherever they lie; worked out on each call so that copies stay valid.
  StridedValues values() const {
    if (in_place.base) return in_place;
    return {reinterpret_cast<const char*>(numbers.data()), sizeof(double)};
  }
};

// Category conversion shared by fit and predict: finite v >= 0 (-0.0 included) rounds half away
// from zero and saturates at MISSING_CATEGORY; anything else is missing.
inline uint32_t category_label(double v) {
  if (!std::isfinite(v) || !(v >= 0.0)) return MISSING_CATEGORY;
  // Exactly std::round, without its library call: v rounds to 4294967295 or more from here on,
  // and below it the whole part converts exactly and v minus it is exact.
  if (v >= 4294967294.5) return MISSING_CATEGORY;
  const uint64_t whole = static_cast<uint64_t>(v);
  return static_cast<uint32_t>(whole + (v - static_cast<double>(whole) >= 0.5 ? 1 : 0));
}

// Key whose signed integer order is the IEEE-754 total order of doubles (-0.0 before +0.0,
// negative NaNs first, positive NaNs last).
inline int64_t total_order_key(double v) {
  int64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits ^ static_cast<int64_t>(static_cast<uint64_t>(bits >> 63) >> 1);
}

inline double from_total_order_key(int64_t key) {
  const int64_t bits = key ^ static_cast<int64_t>(static_cast<uint64_t>(key >> 63) >> 1);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

inline bool total_order_less(double a, double b) {
  return total_order_key(a) < total_order_key(b);
}

// Sorts ascending by the IEEE-754 total order. Elements equal under that order are bitwise
// identical, so the result is the one a stable sort gives.
void sort_total_order(std::span<double> values);

}  // namespace ornik
