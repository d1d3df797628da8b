#include "linalg/group_sums.hpp"

#include <vector>

namespace tallyfit::linalg {

Matrix group_sums(MatrixView x, VectorView codes, VectorView factors, Index groups) {
    Matrix out(groups, x.cols);
    std::vector<Index> group_of(static_cast<std::size_t>(x.rows));
    for (Index i = 0; i < x.rows; ++i) {
        group_of[static_cast<std::size_t>(i)] = static_cast<Index>(codes[i]);
    }
    if (x.row_stride == 1) {
        // Column-major: one column at a time into a contiguous accumulator of the groups (a
        // few tens of kilobytes that stay in cache while the column streams past).
        std::vector<double> column(static_cast<std::size_t>(groups));
        for (Index j = 0; j < x.cols; ++j) {
            std::fill(column.begin(), column.end(), 0.0);
            const double *values = x.data + j * x.col_stride;
            for (Index i = 0; i < x.rows; ++i) {
                column[static_cast<std::size_t>(group_of[static_cast<std::size_t>(i)])] +=
                    factors[i] * values[i];
            }
            for (Index g = 0; g < groups; ++g) {
                out(g, j) = column[static_cast<std::size_t>(g)];
            }
        }
        return out;
    }
    for (Index i = 0; i < x.rows; ++i) {
        double *sums = out.data() + group_of[static_cast<std::size_t>(i)] * x.cols;
        const double factor = factors[i];
        for (Index j = 0; j < x.cols; ++j) {
            sums[j] += factor * x(i, j);
        }
    }
    return out;
}

} // namespace tallyfit::linalg
