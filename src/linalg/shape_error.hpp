// The internal error of operands whose shapes do not fit, naming both shapes.
#pragma once

#include <string>

#include "internal_error.hpp"
#include "linalg/view.hpp"

namespace tallyfit::linalg {

inline std::string shape_text(const MatrixView &m) {
    return "(" + std::to_string(m.rows) + ", " + std::to_string(m.cols) + ")";
}

inline std::string shape_text(const VectorView &v) { return "(" + std::to_string(v.size) + ",)"; }

template <class A, class B>
[[noreturn]] void throw_shape_mismatch(const char *operation, const A &a, const B &b) {
    throw InternalError(std::string(operation) + ": shapes " + shape_text(a) + " and " +
                        shape_text(b) + " do not fit");
}

} // namespace tallyfit::linalg
