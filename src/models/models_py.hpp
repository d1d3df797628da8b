// Python surface of the model cores and of PenaltySpecification.
#pragma once

#include <Python.h>

namespace tallyfit {

PyTypeObject *linear_regression_class();
PyTypeObject *logistic_regression_class();
PyTypeObject *penalized_logistic_regression_class();
PyTypeObject *penalty_class();

} // namespace tallyfit
