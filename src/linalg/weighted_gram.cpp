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

GramAccumulator::GramAccumulator(Index columns, Index max_rows)
    : columns_(columns), extended_(columns + 1, columns + 1),
      scaled_rows_(max_rows * (columns + 1)), zero_weight_terms_(columns) {
    if (!fits_blas_int(columns + 1)) {
        throw InternalError("weighted Gram product: too many columns");
    }
}

void GramAccumulator::add(const MatrixView &rows, const double *residual,
                          const double *root_weight) {
    const Index width = columns_ + 1;
    for (Index r = 0; r < rows.rows; ++r) {
        const double *in = rows.data + r * rows.row_stride;
        double *out = scaled_rows_.data() + r * width;
        const double s = root_weight[r];
        if (rows.col_stride == 1) {
            for (Index j = 0; j < columns_; ++j) {
                out[j] = in[j] * s;
            }
        } else {
            for (Index j = 0; j < columns_; ++j) {
                out[j] = in[j * rows.col_stride] * s;
            }
        }
        // (sqrt(w) x_i) (v_i / sqrt(w)) = x_i v_i. Where sqrt(w) is a positive normal or
        // subnormal number the quotient stays finite; only an exact 0 needs the direct term.
        out[columns_] = s == 0.0 ? 0.0 : residual[r] / s;
        if (s == 0.0) {
            for (Index j = 0; j < columns_; ++j) {
                zero_weight_terms_[j] += in[j * rows.col_stride] * residual[r];
            }
        }
    }
    add_gram_upper(MatrixView{scaled_rows_.data(), rows.rows, width, width, 1}, extended_);
}

WeightedGram GramAccumulator::finish(const std::optional<VectorView> &diagonal) && {
    WeightedGram gram{Matrix(columns_, columns_), Vector(columns_)};
    for (Index j = 0; j < columns_; ++j) {
        for (Index k = j; k < columns_; ++k) {
            gram.h(j, k) = extended_(j, k);
        }
        gram.t[j] = extended_(j, columns_) + zero_weight_terms_[j];
    }
    return finish_weighted_gram(std::move(gram), diagonal);
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
