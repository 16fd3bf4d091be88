// Byte form of a flat tree for fuzzing the tree import, and the checks run on every input.
//
// Layout (little-endian; a read past the end yields zeros, so every byte string decodes):
//   u8  flags        bit 0: classifier lists ("predicted_class", "proba") instead of "value"
//   u16 node count   n, at most MAX_NODES
//   then each list in reading order (an evidence list after a byte, odd when it is present), as
//   u8  length code  0: n entries; 1..127: n minus the code (at least 0); 128..255: n + code - 127
//       entries      bool: u8 (non-zero is true); signed: zigzag varint; unsigned: varint;
//                    float: 8 raw bytes; proba entry: varint count (at most MAX_PROBA), then floats
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tree_import.hpp"

namespace ornik::fuzz {

inline constexpr size_t MAX_NODES = 4096;
inline constexpr size_t MAX_PROBA = 64;

struct EncodedTree {
  FlatTree flat;
  bool classifier = false;
};

// One walk over the byte form serves both directions: reading fills each value from the bytes;
// writing appends its bytes, and every value comes back as it was.
class Io {
 public:
  Io(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  explicit Io(std::vector<uint8_t>* out) : out_(out) {}

  uint8_t byte(uint8_t b) {
    if (out_ != nullptr) return out_->push_back(b), b;
    return pos_ < size_ ? data_[pos_++] : 0;
  }
  uint64_t varint(uint64_t v) {
    uint64_t got = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      const uint64_t rest = v >> shift;
      const uint8_t b = byte(static_cast<uint8_t>((rest & 0x7F) | (rest >= 0x80 ? 0x80 : 0)));
      got |= static_cast<uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) break;
    }
    return got;
  }
  void item(uint8_t& v) { v = byte(v) != 0 ? 1 : 0; }
  void item(uint64_t& v) { v = varint(v); }
  void item(int64_t& v) {
    const uint64_t u = varint((static_cast<uint64_t>(v) << 1) ^ (v < 0 ? ~uint64_t{0} : 0));
    v = static_cast<int64_t>((u >> 1) ^ (~(u & 1) + 1));
  }
  void item(double& v) {
    uint64_t bits = 0, was;
    std::memcpy(&was, &v, sizeof was);
    for (int i = 0; i < 8; ++i)
      bits |= uint64_t{byte(static_cast<uint8_t>(was >> (8 * i)))} << (8 * i);
    std::memcpy(&v, &bits, sizeof v);
  }
  void item(std::vector<double>& p) {
    p.resize(static_cast<size_t>(varint(p.size()) % (MAX_PROBA + 1)));
    for (double& v : p) item(v);
  }
  template <class T>
  void list(std::vector<T>& list) {
    const size_t m = list.size();
    const uint8_t code = byte(static_cast<uint8_t>(m < n_ ? n_ - m : (m == n_ ? 0 : m - n_ + 127)));
    list.resize(code >= 128 ? n_ + code - 127 : n_ - std::min<size_t>(code, n_));
    for (T& v : list) item(v);
  }
  template <class T>
  void optional(std::optional<std::vector<T>>& list) {
    if ((byte(list.has_value() ? 1 : 0) & 1) != 0) this->list(list ? *list : list.emplace());
  }
  // The header, then the lists in reading order.
  void walk(EncodedTree& t) {
    FlatTree& f = t.flat;
    t.classifier = (byte(t.classifier ? 1 : 0) & 1) != 0;
    const size_t count = f.is_leaf.size();  // is_leaf defines n
    const size_t lo = byte(static_cast<uint8_t>(count & 0xFF));
    n_ = (lo | size_t{byte(static_cast<uint8_t>(count >> 8))} << 8) % (MAX_NODES + 1);
    list(f.is_leaf);
    list(f.children_left);
    list(f.children_right);
    list(f.feature);
    list(f.is_categorical);
    list(f.lower);
    list(f.upper);
    list(f.category);
    list(f.n_samples);
    if (!t.classifier) {
      list(f.value);
    } else {
      list(f.predicted_class);
      list(f.proba);
    }
    for (const EvidenceFloats& e : EVIDENCE_FLOATS) optional(f.*e.list);
    optional(f.n_scored_folds);
  }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0, pos_ = 0, n_ = 0;
  std::vector<uint8_t>* out_ = nullptr;
};

inline EncodedTree decode(const uint8_t* data, size_t size) {
  EncodedTree t;
  Io(data, size).walk(t);
  return t;
}

// Bytes that decode to t (lists of n - 127 to n + 128 entries, proba entries of up to MAX_PROBA).
inline std::vector<uint8_t> encode(EncodedTree t) {
  std::vector<uint8_t> out;
  Io(&out).walk(t);
  return out;
}

// The flat lists of export records, as the dictionary of an exported tree holds them.
inline FlatTree flat_from_records(const std::vector<ExportedNode>& records, bool classifier) {
  FlatTree f;
  for (const EvidenceFloats& e : EVIDENCE_FLOATS) (f.*e.list).emplace();
  f.n_scored_folds.emplace();
  for (const ExportedNode& r : records) {
    for (const EvidenceFloats& e : EVIDENCE_FLOATS) (f.*e.list)->push_back(r.evidence.*e.field);
    f.n_scored_folds->push_back(r.evidence.n_folds);
    f.is_leaf.push_back(r.is_leaf ? 1 : 0);
    f.children_left.push_back(r.children_left);
    f.children_right.push_back(r.children_right);
    f.feature.push_back(r.feature);
    f.is_categorical.push_back(r.is_categorical ? 1 : 0);
    f.lower.push_back(r.lower);
    f.upper.push_back(r.upper);
    f.category.push_back(r.category);
    f.n_samples.push_back(r.n_samples);
    if (classifier) {
      f.predicted_class.push_back(r.predicted_class);
      f.proba.push_back(r.proba);
    } else {
      f.value.push_back(r.value);
    }
  }
  return f;
}

namespace detail {

inline bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Records compared through their byte form: every list and float, bit for bit.
inline bool same_records(const std::vector<ExportedNode>& a, const std::vector<ExportedNode>& b,
                         bool classifier) {
  return encode({flat_from_records(a, classifier), classifier}) ==
         encode({flat_from_records(b, classifier), classifier});
}

inline ImportResult<double> import_as(const FlatTree& f, const NodeList<double>*) {
  return import_regression(f);
}
inline ImportResult<ClassPrediction> import_as(const FlatTree& f,
                                               const NodeList<ClassPrediction>*) {
  return import_classification(f);
}

// Rows of `width` values, stored row after row, that reach both sides of the tree's own splits:
// as numbers, missing values, zeros, every bound and the value just below it; as labels, the
// values of labels 0, 1, the missing label and every category.
inline std::vector<double> probe_rows(const FlatTree& f, size_t width, bool as_labels) {
  std::vector<double> numbers{NAN, 0.0, -0.0, INFINITY, -INFINITY};
  std::vector<double> labels{0.0, 1.0, static_cast<double>(MISSING_CATEGORY)};
  for (const std::vector<double>* bounds : {&f.lower, &f.upper}) {
    for (const double b : *bounds) numbers.insert(numbers.end(), {b, std::nextafter(b, -INFINITY)});
  }
  for (const int64_t c : f.category) labels.push_back(static_cast<uint32_t>(c));
  const std::vector<double>& pool = as_labels ? labels : numbers;
  std::vector<double> rows;
  for (size_t r = 0; r < numbers.size() && r < 32; ++r) {
    for (size_t j = 0; j < width; ++j) rows.push_back(pool[(r + 3 * j) % pool.size()]);
  }
  return rows;
}

// The leaf a row reaches walking the lists themselves by child id.
inline size_t flat_leaf(const FlatTree& f, const double* row, bool as_labels) {
  size_t id = 0;
  while (f.is_leaf[id] == 0) {
    const SplitRule rule = f.rule_at(id);
    const double v = row[rule.feature];
    const bool left =
        as_labels ? rule.label_goes_left(category_label(v)) : rule.number_goes_left(v);
    id = static_cast<size_t>(left ? f.children_left[id] : f.children_right[id]);
  }
  return id;
}

inline bool same_leaf(const FlatTree& f, size_t id, const Node<double>& leaf) {
  return same_bits(f.value[id], leaf.payload);
}
inline bool same_leaf(const FlatTree& f, size_t id, const Node<ClassPrediction>& leaf) {
  const size_t cls = f.predicted_class[id] < 0 ? 0 : static_cast<size_t>(f.predicted_class[id]);
  const std::vector<double>&a = f.proba[id], &b = leaf.payload.proba;
  return leaf.payload.class_ == cls &&
         std::equal(a.begin(), a.end(), b.begin(), b.end(), same_bits);
}

// A refusal must have a message; an accepted tree must be in preorder, export, re-import and
// predict like the lists describe.
template <class Payload>
std::string check_import(const FlatTree& f, const ImportResult<Payload>& result, bool classifier) {
  if (const std::string* error = std::get_if<std::string>(&result)) {
    return error->empty() ? "empty message" : "";
  }
  const NodeList<Payload>& nodes = std::get<NodeList<Payload>>(result);
  if (nodes.empty() || nodes.size() > f.is_leaf.size()) return "node count";
  size_t leaves = 0;
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].is_leaf) {
      ++leaves;
    } else if (i + 1 >= nodes.size() || nodes[i].right <= i + 1 || nodes[i].right >= nodes.size()) {
      return "preorder links";
    }
  }
  if (leaves != node_leaves(nodes) || nodes.size() != 2 * leaves - 1) return "leaf count";
  if (node_depth(nodes) >= nodes.size()) return "depth";

  // Export, import the export again: the same records.
  const std::vector<ExportedNode> records = walk_export(nodes);
  const auto again = import_as(flat_from_records(records, classifier), &nodes);
  if (const std::string* error = std::get_if<std::string>(&again)) {
    return "re-import refused: " + *error;
  }
  if (!same_records(records, walk_export(std::get<NodeList<Payload>>(again)), classifier)) {
    return "re-export differs";
  }

  // Prediction, as the binding allows it: only when every split feature is a column of the row.
  const std::optional<size_t> top = max_split_feature(nodes);
  const size_t width = top ? *top + 1 : 1;
  if (top && *top >= 256) return "";
  for (const bool as_labels : {false, true}) {
    const std::vector<double> rows = probe_rows(f, width, as_labels);
    std::vector<size_t> categorical;
    for (size_t j = 0; as_labels && j < width; ++j) categorical.push_back(j);
    const ptrdiff_t d = sizeof(double);
    const MatrixView x{reinterpret_cast<const char*>(rows.data()), rows.size() / width, width,
                       static_cast<ptrdiff_t>(width) * d, d};
    bool differs = false;
    route_rows(nodes, x, categorical, [&](size_t i, size_t leaf) {
      const size_t id = flat_leaf(f, rows.data() + i * width, as_labels);
      differs = differs || !nodes[leaf].is_leaf || nodes[leaf].n_samples != f.n_samples[id] ||
                !same_leaf(f, id, nodes[leaf]);
    });
    if (differs) return "prediction differs from the lists";
  }
  return "";
}

}  // namespace detail

// Imports the tree that the bytes decode to and checks what comes back: a refusal with a
// message, or a preorder tree that exports, re-imports and predicts like the lists describe.
// Returns the broken property, empty when all hold.
inline std::string check_input(const uint8_t* data, size_t size) {
  const EncodedTree t = decode(data, size);
  return t.classifier ? detail::check_import(t.flat, import_classification(t.flat), true)
                      : detail::check_import(t.flat, import_regression(t.flat), false);
}

}  // namespace ornik::fuzz
