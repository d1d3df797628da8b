#include "linalg/weighted_gram.hpp"

#include <algorithm>
#include <climits>

#include "internal_error.hpp"
#include "linalg/blas_layout.hpp"
#include "linalg/cblas.hpp"
#include "linalg/shape_error.hpp"

namespace tallyfit::linalg {

Index gram_block_rows(const MatrixView &x, Index block_bytes) {
    // Divided in two steps: the bytes of a very wide row would overflow.
    const Index elements_per_block = block_bytes / static_cast<Index>(sizeof(double));
    return std::clamp<Index>(elements_per_block / std::max<Index>(x.cols, 1), 1,
                             std::clamp<Index>(x.rows, 1, INT_MAX));
}

void gather_rows(const MatrixView &x, Index first, Index count, double *out) {
    for (Index r = 0; r < count; ++r) {
        const double *in = x.data + (first + r) * x.row_stride;
        double *row = out + r * x.cols;
        if (x.col_stride == 1) {
            std::copy(in, in + x.cols, row);
        } else {
            for (Index j = 0; j < x.cols; ++j) {
                row[j] = in[j * x.col_stride];
            }
        }
    }
}

GramAccumulator::GramAccumulator(Index columns) : gram_{Matrix(columns, columns), Vector(columns)} {
    if (!fits_blas_int(columns)) {
        throw InternalError("weighted Gram product: too many columns");
    }
}

void GramAccumulator::add_block(const double *scaled_rows, const double *scaled_responses,
                                Index count) {
    const auto columns = static_cast<FortranInt>(gram_.h.cols());
    if (columns == 0 || count == 0) {
        return;
    }
    const auto k = static_cast<FortranInt>(count);
    cblas::dsyrk(cblas::Layout::RowMajor, cblas::Uplo::Upper, cblas::Transpose::Trans, columns, k,
                 1.0, scaled_rows, columns, 1.0, gram_.h.data(), columns);
    cblas::dgemv(cblas::Layout::RowMajor, cblas::Transpose::Trans, k, columns, 1.0, scaled_rows,
                 columns, scaled_responses, 1, 1.0, gram_.t.data(), 1);
}

WeightedGram GramAccumulator::finish(const std::optional<VectorView> &diagonal) && {
    Matrix &h = gram_.h;
    if (diagonal && diagonal->size != h.cols()) {
        throw_shape_mismatch("weighted Gram product (diagonal)", h.view(), *diagonal);
    }
    // H was accumulated in its upper triangle (row-major); copy it to the lower one.
    for (Index i = 0; i < h.rows(); ++i) {
        for (Index j = 0; j < i; ++j) {
            h(i, j) = h(j, i);
        }
        if (diagonal) {
            h(i, i) += (*diagonal)[i];
        }
    }
    return std::move(gram_);
}

} // namespace tallyfit::linalg
