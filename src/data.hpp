// Training columns, the category conversion and small numeric helpers shared by every unit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace ornik {

// A missing categorical label.
inline constexpr uint32_t MISSING_CATEGORY = 0xFFFFFFFFu;

// Class index of a classification target.
using ClassLabel = uint64_t;

// One training feature: 64-bit floats (NaN and +-inf are missing) or 32-bit category labels.
struct Column {
  bool categorical = false;
  std::vector<double> numbers;
  std::vector<uint32_t> labels;

  static Column numeric(std::vector<double> values) {
    Column c;
    c.numbers = std::move(values);
    return c;
  }
  static Column categories(std::vector<uint32_t> values) {
    Column c;
    c.categorical = true;
    c.labels = std::move(values);
    return c;
  }
  size_t size() const { return categorical ? labels.size() : numbers.size(); }
};

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

// Category conversion shared by fit and predict: finite v >= 0 (-0.0 included) rounds half away
// from zero and saturates at MISSING_CATEGORY; anything else is missing.
inline uint32_t category_label(double v) {
  if (!std::isfinite(v) || !(v >= 0.0)) return MISSING_CATEGORY;
  const double r = std::round(v);
  if (r >= 4294967295.0) return MISSING_CATEGORY;
  return static_cast<uint32_t>(r);
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
