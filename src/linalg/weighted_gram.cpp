#include "linalg/weighted_gram.hpp"

#include <algorithm>
#include <climits>

#include "internal_error.hpp"
#include "linalg/blas_layout.hpp"
#include "linalg/product.hpp"
#include "linalg/shape_error.hpp"

namespace tallyfit::linalg {

Index gram_block_rows(const MatrixView &x, Index vectors_per_row) {
    const Index columns = std::max<Index>(x.cols, 1);
    // Divided in two steps: the bytes of a very wide row would overflow.
    const Index elements_per_block = gram_block_bytes / static_cast<Index>(sizeof(double));
    const Index wanted = std::max(gram_block_min_rows, elements_per_block / columns);
    const Index bounded =
        std::min(wanted, x.rows / gram_block_max_fraction / (columns + vectors_per_row) * columns);
    return std::clamp<Index>(bounded, 1, std::clamp<Index>(x.rows, 1, INT_MAX));
}

void gather_scaled_rows(const MatrixView &x, Index first, Index count, const double *scale,
                        double *out) {
    for (Index r = 0; r < count; ++r) {
        const double *in = x.data + (first + r) * x.row_stride;
        double *row = out + r * x.cols;
        const double s = scale[r];
        if (x.col_stride == 1) {
            for (Index j = 0; j < x.cols; ++j) {
                row[j] = in[j] * s;
            }
        } else {
            for (Index j = 0; j < x.cols; ++j) {
                row[j] = in[j * x.col_stride] * s;
            }
        }
    }
}

GramAccumulator::GramAccumulator(Index columns)
    : gram_{Matrix(columns, columns), Vector(columns)}, block_moments_(columns) {
    if (!fits_blas_int(columns)) {
        throw InternalError("weighted Gram product: too many columns");
    }
}

void GramAccumulator::add_scaled_rows(const double *scaled_rows, Index count) {
    const Index columns = gram_.h.cols();
    add_gram_upper(MatrixView{scaled_rows, count, columns, columns, 1}, gram_.h);
}

void GramAccumulator::add_moments(const MatrixView &rows, const VectorView &v) {
    matvec_into(rows.transposed(), v, block_moments_.data());
    for (Index j = 0; j < gram_.t.size(); ++j) {
        gram_.t[j] += block_moments_[j];
    }
}

WeightedGram GramAccumulator::finish(const std::optional<VectorView> &diagonal) && {
    return finish_weighted_gram(std::move(gram_), diagonal);
}

WeightedGram finish_weighted_gram(WeightedGram gram, const std::optional<VectorView> &diagonal) {
    Matrix &h = gram.h;
    if (diagonal && diagonal->size != h.cols()) {
        throw_shape_mismatch("weighted Gram product (diagonal)", h.view(), *diagonal);
    }
    mirror_upper(h);
    if (diagonal) {
        for (Index i = 0; i < h.rows(); ++i) {
            h(i, i) += (*diagonal)[i];
        }
    }
    return gram;
}

} // namespace tallyfit::linalg
