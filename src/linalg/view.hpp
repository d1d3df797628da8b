// Read-only strided windows on float64 memory owned by someone else. Strides are in elements
// and may be zero, negative or larger than the other dimension; element (i, j) of a matrix view
// lies at data[i * row_stride + j * col_stride], so logical order is kept for any stride sign.
#pragma once

#include <cstddef>

namespace tallyfit::linalg {

using Index = std::ptrdiff_t;

struct VectorView {
    const double *data = nullptr;
    Index size = 0;
    Index stride = 1;

    double operator[](Index i) const { return data[i * stride]; }
};

struct MatrixView {
    const double *data = nullptr;
    Index rows = 0;
    Index cols = 0;
    Index row_stride = 0;
    Index col_stride = 1;

    double operator()(Index i, Index j) const { return data[i * row_stride + j * col_stride]; }
    MatrixView transposed() const { return {data, cols, rows, col_stride, row_stride}; }
    VectorView row(Index i) const { return {data + i * row_stride, cols, col_stride}; }
};

} // namespace tallyfit::linalg
