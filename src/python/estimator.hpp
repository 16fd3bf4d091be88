// The three estimator classes of the module.
#pragma once

#include "pyref.hpp"

namespace ornik::py {

// Each call creates the class (a heap type); the module keeps it.
PyRef make_regressor_type();
PyRef make_classifier_type();
PyRef make_objective_classifier_type();

}  // namespace ornik::py
