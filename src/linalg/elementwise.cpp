#include "linalg/elementwise.hpp"

#include <functional>
#include <optional>
#include <vector>

#include "linalg/shape_error.hpp"

namespace tallyfit::linalg {

namespace {

std::optional<Index> broadcast_size(Index a, Index b) {
    if (a == b || b == 1) {
        return a;
    }
    if (a == 1) {
        return b;
    }
    return std::nullopt;
}

// A vector takes part in broadcasting as a single row.
MatrixView as_matrix(const VectorView &v) { return {v.data, 1, v.size, 0, v.stride}; }
MatrixView as_matrix(const MatrixView &m) { return m; }

// A stretched axis is read with stride 0, so every position sees its single element.
MatrixView stretched(MatrixView m, Index rows, Index cols) {
    if (m.rows != rows) {
        m.rows = rows;
        m.row_stride = 0;
    }
    if (m.cols != cols) {
        m.cols = cols;
        m.col_stride = 0;
    }
    return m;
}

template <class Op> void combine(const MatrixView &a, const MatrixView &b, double *out, Op op) {
    for (Index i = 0; i < a.rows; ++i) {
        for (Index j = 0; j < a.cols; ++j) {
            *out++ = op(a(i, j), b(i, j));
        }
    }
}

void combine(Arithmetic op, const MatrixView &a, const MatrixView &b, double *out) {
    switch (op) {
    case Arithmetic::Add:
        return combine(a, b, out, std::plus<double>());
    case Arithmetic::Subtract:
        return combine(a, b, out, std::minus<double>());
    case Arithmetic::Multiply:
        return combine(a, b, out, std::multiplies<double>());
    case Arithmetic::Divide:
        return combine(a, b, out, std::divides<double>());
    }
}

struct Combined {
    Index rows;
    Index cols;
    std::vector<double> values; // row by row
};

// An internal error names the shapes as the caller gave them.
template <class A, class B> Combined broadcast(Arithmetic op, const A &given_a, const B &given_b) {
    const MatrixView a = as_matrix(given_a);
    const MatrixView b = as_matrix(given_b);
    const auto rows = broadcast_size(a.rows, b.rows);
    const auto cols = broadcast_size(a.cols, b.cols);
    if (!rows || !cols) {
        throw_shape_mismatch("elementwise operation", given_a, given_b);
    }
    Combined result{*rows, *cols, std::vector<double>(static_cast<std::size_t>(*rows * *cols))};
    combine(op, stretched(a, *rows, *cols), stretched(b, *rows, *cols), result.values.data());
    return result;
}

template <class A, class B> Matrix broadcast_matrix(Arithmetic op, const A &a, const B &b) {
    Combined result = broadcast(op, a, b);
    return Matrix(result.rows, result.cols, std::move(result.values));
}

} // namespace

Vector elementwise(Arithmetic op, const VectorView &a, const VectorView &b) {
    return Vector(broadcast(op, a, b).values);
}

Matrix elementwise(Arithmetic op, const MatrixView &a, const MatrixView &b) {
    return broadcast_matrix(op, a, b);
}

Matrix elementwise(Arithmetic op, const MatrixView &a, const VectorView &b) {
    return broadcast_matrix(op, a, b);
}

Matrix elementwise(Arithmetic op, const VectorView &a, const MatrixView &b) {
    return broadcast_matrix(op, a, b);
}

double sum(const VectorView &v) {
    double total = 0.0;
    for (Index i = 0; i < v.size; ++i) {
        total += v[i];
    }
    return total;
}

double sum(const MatrixView &m) {
    double total = 0.0;
    for (Index i = 0; i < m.rows; ++i) {
        total += sum(m.row(i));
    }
    return total;
}

Matrix diagonal(const VectorView &d) {
    Matrix result(d.size, d.size);
    for (Index i = 0; i < d.size; ++i) {
        result(i, i) = d[i];
    }
    return result;
}

} // namespace tallyfit::linalg
