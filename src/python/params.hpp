// Constructor parameters of the three estimator classes: one table, the settings built from it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "convert.hpp"
#include "task.hpp"

namespace ornik::py {

// Which classes take a parameter.
enum ClassMask : unsigned { REGRESSOR = 1u, CLASSIFIER = 2u, OBJECTIVE = 4u };

// Constructor arguments after conversion; each class fills the fields of its own parameters.
struct RawArgs {
  uint64_t n_classes = 0;
  Text criterion;
  Text objective;
  Text average;
  uint64_t pos_label = 0;
  double beta = 0.0;
  std::optional<uint64_t> max_depth;
  uint64_t min_samples_split = 0;
  uint64_t min_samples_leaf = 0;
  double min_impurity_decrease = 0.0;
  uint64_t n_bins = 0;
  uint64_t cv_folds = 0;
  uint64_t cv_seed = 0;
  bool cv_shuffle = false;
  Text mode;
  Text split_style;
  Text aggregator;
  double agg_frac = 0.0;
  double agg_eps = 0.0;
  double agg_lambda = 0.0;
  bool parallel = false;
  uint64_t n_threads = 0;
  uint64_t parallel_min_samples = 0;
  std::vector<size_t> categorical;
  Text cv_score;  // keyword-only
  Text cv_stop;   // keyword-only
};

// Names of a class's required parameters, in signature order.
std::vector<const char*> parameter_names(unsigned mask);
// Names of a class's optional keyword-only parameters, in signature order.
std::vector<const char*> keyword_names(unsigned mask);
// "(name, ..., *, keyword='default', ...)" for the class's text signature.
std::string parameter_list(unsigned mask);

// Binds and converts the constructor arguments in signature order.
RawArgs parse_constructor(unsigned mask, const char* class_name, PyObject* args, PyObject* kwds);

// Kind contexts; each raises ValueError for an unknown string.
Regression build_regression(const RawArgs& a);
Classification build_classification(const RawArgs& a);
ObjectiveClassification build_objective(const RawArgs& a);

// Checks mode, then split_style, then cv_score and cv_stop, then copies the numbers.
TreeParams build_params(const RawArgs& a);
std::unique_ptr<Aggregator> build_aggregator(const RawArgs& a);

// Sorted ascending without repeats.
std::vector<size_t> normalize_positions(std::vector<size_t> positions);

// The fixed settings of an imported tree.
TreeParams import_params();

}  // namespace ornik::py
