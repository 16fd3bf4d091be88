#include "params.hpp"

#include <algorithm>
#include <span>
#include <string>
#include <variant>

namespace ornik::py {

namespace {

using Field =
    std::variant<uint64_t RawArgs::*, std::optional<uint64_t> RawArgs::*, double RawArgs::*,
                 bool RawArgs::*, Text RawArgs::*, std::vector<size_t> RawArgs::*>;

struct ParamDef {
  const char* name;
  Field field;  // the member's type selects the conversion
  unsigned classes;
  // A str parameter that may only be given by keyword, with this default; null: required.
  const char* keyword_default = nullptr;
};

constexpr unsigned ALL = REGRESSOR | CLASSIFIER | OBJECTIVE;

// Every constructor parameter, in the signature order shared by all three classes.
const ParamDef PARAMS[] = {
    {"n_classes", &RawArgs::n_classes, CLASSIFIER | OBJECTIVE},
    {"criterion", &RawArgs::criterion, REGRESSOR | CLASSIFIER},
    {"objective", &RawArgs::objective, OBJECTIVE},
    {"average", &RawArgs::average, OBJECTIVE},
    {"pos_label", &RawArgs::pos_label, OBJECTIVE},
    {"beta", &RawArgs::beta, OBJECTIVE},
    {"max_depth", &RawArgs::max_depth, ALL},
    {"min_samples_split", &RawArgs::min_samples_split, ALL},
    {"min_samples_leaf", &RawArgs::min_samples_leaf, ALL},
    {"min_impurity_decrease", &RawArgs::min_impurity_decrease, ALL},
    {"n_bins", &RawArgs::n_bins, ALL},
    {"cv_folds", &RawArgs::cv_folds, ALL},
    {"cv_seed", &RawArgs::cv_seed, ALL},
    {"cv_shuffle", &RawArgs::cv_shuffle, ALL},
    {"mode", &RawArgs::mode, ALL},
    {"split_style", &RawArgs::split_style, ALL},
    {"aggregator", &RawArgs::aggregator, ALL},
    {"agg_frac", &RawArgs::agg_frac, ALL},
    {"agg_eps", &RawArgs::agg_eps, ALL},
    {"agg_lambda", &RawArgs::agg_lambda, ALL},
    {"parallel", &RawArgs::parallel, ALL},
    {"n_threads", &RawArgs::n_threads, ALL},
    {"parallel_min_samples", &RawArgs::parallel_min_samples, ALL},
    {"categorical", &RawArgs::categorical, ALL},
    {"cv_score", &RawArgs::cv_score, REGRESSOR | CLASSIFIER, "impurity"},
    {"cv_stop", &RawArgs::cv_stop, ALL, "score"},
};

std::vector<const char*> names_of(unsigned mask, bool keyword_only) {
  std::vector<const char*> names;
  for (const ParamDef& p : PARAMS) {
    if ((p.classes & mask) != 0 && (p.keyword_default != nullptr) == keyword_only) {
      names.push_back(p.name);
    }
  }
  return names;
}

Text ascii_text(const char* ascii) {
  return Text(ascii, ascii + std::char_traits<char>::length(ascii));
}

void convert_into(RawArgs& out, uint64_t RawArgs::* f, PyObject* o) {
  out.*f = to_unsigned(o);
}
void convert_into(RawArgs& out, std::optional<uint64_t> RawArgs::* f, PyObject* o) {
  if (o == Py_None) {
    out.*f = std::nullopt;
  } else {
    out.*f = to_unsigned(o);
  }
}
void convert_into(RawArgs& out, double RawArgs::* f, PyObject* o) {
  out.*f = to_float(o);
}
void convert_into(RawArgs& out, bool RawArgs::* f, PyObject* o) {
  out.*f = to_bool(o);
}
void convert_into(RawArgs& out, Text RawArgs::* f, PyObject* o) {
  out.*f = to_text(o);
}
void convert_into(RawArgs& out, std::vector<size_t> RawArgs::* f, PyObject* o) {
  out.*f = to_positions(o);
}

[[noreturn]] void unknown(const char* what, const Text& value, const char* expected) {
  std::string msg = std::string("unknown ") + what + " " + quote(value);
  if (expected != nullptr) msg += std::string(" (expected ") + expected + ")";
  raise(PyExc_ValueError, msg);
}

Average build_average(const Text& s) {
  if (equals(s, "binary")) return Average::Binary;
  if (equals(s, "micro")) return Average::Micro;
  if (equals(s, "macro")) return Average::Macro;
  if (equals(s, "weighted")) return Average::Weighted;
  unknown("average", s, "binary/micro/macro/weighted");
}

}  // namespace

std::vector<const char*> parameter_names(unsigned mask) {
  return names_of(mask, false);
}

std::vector<const char*> keyword_names(unsigned mask) {
  return names_of(mask, true);
}

std::string parameter_list(unsigned mask) {
  std::string out;
  for (const char* name : parameter_names(mask)) out += std::string(out.empty() ? "" : ", ") + name;
  if (!keyword_names(mask).empty()) out += ", *";
  for (const ParamDef& p : PARAMS) {
    if ((p.classes & mask) != 0 && p.keyword_default != nullptr) {
      out += std::string(", ") + p.name + "='" + p.keyword_default + "'";
    }
  }
  return "(" + out + ")";
}

RawArgs parse_constructor(unsigned mask, const char* class_name, PyObject* args, PyObject* kwds) {
  const std::vector<PyObject*> bound =
      bind_arguments(args, kwds, class_name, parameter_names(mask), keyword_names(mask));
  RawArgs out;
  // Every keyword-only setting starts at its default, also in a class that does not take it.
  for (const ParamDef& p : PARAMS) {
    if (p.keyword_default != nullptr) {
      out.*std::get<Text RawArgs::*>(p.field) = ascii_text(p.keyword_default);
    }
  }
  size_t i = 0;
  // Required parameters first, then the keyword-only ones, each in table order.
  for (const bool keyword_only : {false, true}) {
    for (const ParamDef& p : PARAMS) {
      if ((p.classes & mask) == 0 || (p.keyword_default != nullptr) != keyword_only) continue;
      PyObject* value = bound[i++];
      if (value == nullptr) continue;
      convert_argument(p.name, [&] {
        std::visit([&](auto field) { convert_into(out, field, value); }, p.field);
      });
    }
  }
  return out;
}

namespace {

// The entry of a name table whose name is text, or null.
template <class Entry>
const Entry* find_named(std::span<const Entry> table, const Text& text) {
  for (const Entry& e : table) {
    if (equals(text, e.name)) return &e;
  }
  return nullptr;
}

// A criterion table's names for a message: "a", "b" or "c".
template <class Entry>
std::string quoted_names(std::span<const Entry> table) {
  std::string out;
  for (size_t i = 0; i < table.size(); ++i) {
    if (i > 0) out += i + 1 == table.size() ? " or " : ", ";
    out += quote(table[i].name);
  }
  return out;
}

}  // namespace

Regression build_regression(const RawArgs& a) {
  const auto table = regression_criteria();
  const auto* entry = find_named(table, a.criterion);
  if (entry == nullptr) unknown("regression criterion", a.criterion, quoted_names(table).c_str());
  Regression task;
  task.criterion = entry->make(0);
  return task;
}

Classification build_classification(const RawArgs& a) {
  const auto table = class_criteria();
  const auto* entry = find_named(table, a.criterion);
  if (entry == nullptr) {
    unknown("classification criterion", a.criterion, quoted_names(table).c_str());
  }
  Classification task;
  task.n_classes = a.n_classes;
  task.criterion = entry->make(a.n_classes);
  return task;
}

ObjectiveClassification build_objective(const RawArgs& a) {
  const Average average = build_average(a.average);
  const auto table = class_objectives();
  const auto* entry = find_named(table, a.objective);
  if (entry == nullptr) {
    std::string names;
    for (const ObjectiveEntry& e : table) {
      if (!names.empty()) names += '/';
      names += e.name;
    }
    unknown("objective", a.objective, names.c_str());
  }
  ObjectiveClassification task;
  task.n_classes = a.n_classes;
  task.gini = Gini(a.n_classes);
  task.objective = entry->make(ObjectiveSettings{average, a.pos_label, a.beta});
  return task;
}

TreeParams build_params(const RawArgs& a) {
  TreeParams p;
  if (equals(a.mode, "strict")) {
    p.mode = SplitMode::Strict;
  } else if (equals(a.mode, "fast")) {
    p.mode = SplitMode::Fast;
  } else {
    unknown("mode", a.mode, "\"strict\" or \"fast\"");
  }
  if (equals(a.split_style, "threshold")) {
    p.split_style = SplitStyle::Threshold;
  } else if (equals(a.split_style, "bin") || equals(a.split_style, "bin_membership")) {
    p.split_style = SplitStyle::BinMembership;
  } else {
    unknown("split_style", a.split_style, "\"threshold\" or \"bin\"");
  }
  if (equals(a.cv_score, "impurity")) {
    p.fold_score = FoldScore::Impurity;
  } else if (equals(a.cv_score, "loss")) {
    p.fold_score = FoldScore::Loss;
  } else {
    unknown("cv_score", a.cv_score, "\"impurity\" or \"loss\"");
  }
  if (equals(a.cv_stop, "score")) {
    p.stop_rule = StopRule::Score;
  } else if (equals(a.cv_stop, "selection")) {
    p.stop_rule = StopRule::Selection;
  } else {
    unknown("cv_stop", a.cv_stop, "\"score\" or \"selection\"");
  }
  p.max_depth = a.max_depth;
  p.cv_folds = a.cv_folds;
  p.cv_seed = a.cv_seed;
  p.cv_shuffle = a.cv_shuffle;
  p.min_samples_split = a.min_samples_split;
  p.min_samples_leaf = a.min_samples_leaf;
  p.min_impurity_decrease = a.min_impurity_decrease;
  p.n_bins = a.n_bins;
  p.n_threads = a.n_threads;
  p.parallel_min_samples = a.parallel_min_samples;
  p.parallel = a.parallel;
  return p;
}

std::unique_ptr<Aggregator> build_aggregator(const RawArgs& a) {
  const auto* entry = find_named(aggregators(), a.aggregator);
  if (entry == nullptr) unknown("aggregator", a.aggregator, nullptr);
  return entry->make(AggregatorSettings{a.agg_frac, a.agg_eps, a.agg_lambda});
}

std::vector<size_t> normalize_positions(std::vector<size_t> positions) {
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  return positions;
}

TreeParams import_params() {
  // The settings' defaults, at depth 8: an imported tree was not grown here.
  TreeParams p;
  p.max_depth = 8;
  return p;
}

}  // namespace ornik::py
