// Elementwise arithmetic with broadcasting, maps, sums and simple constructors.
//
// Broadcasting aligns shapes from the last dimension (a vector acts as a single row); in each
// dimension the sizes must be equal or one of them 1, which is stretched. Shapes that do not
// broadcast are an internal error naming both shapes. Division follows IEEE arithmetic.
#pragma once

#include "linalg/array.hpp"
#include "linalg/view.hpp"

namespace tallyfit::linalg {

enum class Arithmetic { Add, Subtract, Multiply, Divide };

Vector elementwise(Arithmetic op, const VectorView &a, const VectorView &b);
Matrix elementwise(Arithmetic op, const MatrixView &a, const MatrixView &b);
Matrix elementwise(Arithmetic op, const MatrixView &a, const VectorView &b);
Matrix elementwise(Arithmetic op, const VectorView &a, const MatrixView &b);

template <class A, class B> auto add(const A &a, const B &b) {
    return elementwise(Arithmetic::Add, a, b);
}
template <class A, class B> auto subtract(const A &a, const B &b) {
    return elementwise(Arithmetic::Subtract, a, b);
}
template <class A, class B> auto multiply(const A &a, const B &b) {
    return elementwise(Arithmetic::Multiply, a, b);
}
template <class A, class B> auto divide(const A &a, const B &b) {
    return elementwise(Arithmetic::Divide, a, b);
}

template <class F> Vector map(const VectorView &v, F &&f) {
    Vector result(v.size);
    for (Index i = 0; i < v.size; ++i) {
        result[i] = f(v[i]);
    }
    return result;
}

template <class F> Matrix map(const MatrixView &m, F &&f) {
    Matrix result(m.rows, m.cols);
    for (Index i = 0; i < m.rows; ++i) {
        for (Index j = 0; j < m.cols; ++j) {
            result(i, j) = f(m(i, j));
        }
    }
    return result;
}

double sum(const VectorView &v);
double sum(const MatrixView &m);

inline Vector filled(Index size, double value) { return Vector(size, value); }

// Square, with d on the diagonal and 0.0 elsewhere.
Matrix diagonal(const VectorView &d);

} // namespace tallyfit::linalg
