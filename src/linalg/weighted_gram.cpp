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
    const Index count = rows.rows;
    double *scaled = scaled_rows_.data();
    // (sqrt(w) x_i) (v_i / sqrt(w)) = x_i v_i. Where sqrt(w) is a positive normal or subnormal
    // number the quotient stays finite; only an exact 0 needs the direct term.
    auto last_column = [&](Index r) {
        const double s = root_weight[r];
        if (s == 0.0) {
            for (Index j = 0; j < columns_; ++j) {
                zero_weight_terms_[j] += rows(r, j) * residual[r];
            }
            return 0.0;
        }
        return residual[r] / s;
    };
    if (rows.row_stride == 1) {
        // Column by column, as the design build lays X out: each column is read and written in
        // one sweep, and the BLAS takes the copy column-major.
        for (Index j = 0; j < columns_; ++j) {
            const double *in = rows.data + j * rows.col_stride;
            double *out = scaled + j * count;
            for (Index r = 0; r < count; ++r) {
                out[r] = in[r] * root_weight[r];
            }
        }
        double *out = scaled + columns_ * count;
        for (Index r = 0; r < count; ++r) {
            out[r] = last_column(r);
        }
        add_gram_upper(MatrixView{scaled, count, width, 1, count}, extended_);
        return;
    }
    for (Index r = 0; r < count; ++r) {
        const double *in = rows.data + r * rows.row_stride;
        double *out = scaled + r * width;
        const double s = root_weight[r];
        for (Index j = 0; j < columns_; ++j) {
            out[j] = in[j * rows.col_stride] * s;
        }
        out[columns_] = last_column(r);
    }
    add_gram_upper(MatrixView{scaled, count, width, width, 1}, extended_);
}

WeightedGram GramAccumulator::finish(const std::optional<VectorView> &diagonal) && {
    return finish_weighted_gram(upper_sums(), diagonal);
}

void GramAccumulator::clear() {
    std::fill_n(extended_.data(), extended_.rows() * extended_.cols(), 0.0);
    std::fill_n(zero_weight_terms_.data(), zero_weight_terms_.size(), 0.0);
}

WeightedGram GramAccumulator::upper_sums() const {
    WeightedGram gram{Matrix(columns_, columns_), Vector(columns_)};
    for (Index j = 0; j < columns_; ++j) {
        for (Index k = j; k < columns_; ++k) {
            gram.h(j, k) = extended_(j, k);
        }
        gram.t[j] = extended_(j, columns_) + zero_weight_terms_[j];
    }
    return gram;
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
