// Python surface of the formula language.
#pragma once

#include <Python.h>

namespace tallyfit {

PyTypeObject *formula_class();
PyTypeObject *formula_term_class();
extern PyMethodDef parse_formula_function;
extern PyMethodDef is_numeric_function;

} // namespace tallyfit
