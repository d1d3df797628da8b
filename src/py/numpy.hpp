// NumPy interop: float64 arrays read in place as strided views, and new 1-D result arrays.
#pragma once

#include <Python.h>

#include "linalg/view.hpp"
#include "py/convert.hpp"

namespace tallyfit::linalg {
class Vector;
class Matrix;
} // namespace tallyfit::linalg

namespace tallyfit::py {

// Binds NumPy's C API (a no-op once bound), importing NumPy if it is not imported yet. Once
// NumPy is imported, the binding runs no Python code.
void ensure_numpy();

// True for a NumPy boolean scalar; never imports NumPy just to answer no.
bool is_numpy_bool(PyObject *object);

// A float64 array with exactly two dimensions, viewed without a copy.
template <> struct From<linalg::MatrixView> {
    static linalg::MatrixView convert(PyObject *object);
};

// A float64 array with exactly one dimension, viewed without a copy.
template <> struct From<linalg::VectorView> {
    static linalg::VectorView convert(PyObject *object);
};

// A new, owning, C-contiguous 1-D float64 array.
Ref new_float64_array(linalg::VectorView values);

template <> struct To<linalg::Vector> { static Ref convert(const linalg::Vector &values); };

// A new, owning, C-contiguous 2-D float64 array.
template <> struct To<linalg::Matrix> { static Ref convert(const linalg::Matrix &values); };

} // namespace tallyfit::py
