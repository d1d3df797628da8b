#include "linalg/product.hpp"

#include <algorithm>

#include "linalg/blas_layout.hpp"
#include "linalg/cblas.hpp"
#include "linalg/shape_error.hpp"

namespace tallyfit::linalg {

namespace {

void portable_matmul(const MatrixView &a, const MatrixView &b, Matrix &c) {
    for (Index i = 0; i < a.rows; ++i) {
        double *c_row = c.data() + i * c.cols();
        for (Index l = 0; l < a.cols; ++l) {
            const double a_il = a(i, l);
            const double *b_row = b.data + l * b.row_stride;
            for (Index j = 0; j < b.cols; ++j) {
                c_row[j] += a_il * b_row[j * b.col_stride];
            }
        }
    }
}

// Reading the inner dimension backwards on both sides gives the same sum, so an inner
// dimension walked with negative strides on both operands (as in X^T X for a row-reversed X)
// can be turned forwards for BLAS.
void turn_inner_dimension_forwards(MatrixView &a, MatrixView &b) {
    if (a.col_stride < 0 && b.row_stride < 0) {
        a.data += (a.cols - 1) * a.col_stride;
        a.col_stride = -a.col_stride;
        b.data += (b.rows - 1) * b.row_stride;
        b.row_stride = -b.row_stride;
    }
}

bool is_small(const MatrixView &a, const MatrixView &b) {
    return a.rows <= small_product_limit && a.cols <= small_product_limit &&
           b.cols <= small_product_limit;
}

void portable_gram_upper(const MatrixView &a, Matrix &c) {
    for (Index r = 0; r < a.rows; ++r) {
        for (Index j = 0; j < a.cols; ++j) {
            const double a_rj = a(r, j);
            double *c_row = c.data() + j * c.cols();
            for (Index k = j; k < a.cols; ++k) {
                c_row[k] += a_rj * a(r, k);
            }
        }
    }
}

} // namespace

Matrix matmul(const MatrixView &a_view, const MatrixView &b_view) {
    if (a_view.cols != b_view.rows) {
        throw_shape_mismatch("matrix product", a_view, b_view);
    }
    Matrix c(a_view.rows, b_view.cols);
    if (c.rows() == 0 || c.cols() == 0 || a_view.cols == 0) {
        return c;
    }
    MatrixView a = a_view;
    MatrixView b = b_view;
    turn_inner_dimension_forwards(a, b);
    const auto blas_a = as_blas_matrix(a);
    const auto blas_b = as_blas_matrix(b);
    const bool sizes_fit = fits_blas_int(a.rows) && fits_blas_int(a.cols) && fits_blas_int(b.cols);
    if (is_small(a, b) || !blas_a || !blas_b || !sizes_fit) {
        portable_matmul(a, b, c);
        return c;
    }
    cblas::dgemm(cblas::Layout::RowMajor, blas_a->trans, blas_b->trans,
                 static_cast<FortranInt>(a.rows), static_cast<FortranInt>(b.cols),
                 static_cast<FortranInt>(a.cols), 1.0, blas_a->data, blas_a->leading_dimension,
                 blas_b->data, blas_b->leading_dimension, 0.0, c.data(),
                 static_cast<FortranInt>(c.cols()));
    return c;
}

void add_gram_upper(const MatrixView &a_view, Matrix &c) {
    if (c.rows() != a_view.cols || c.cols() != a_view.cols) {
        throw_shape_mismatch("Gram product", a_view, c.view());
    }
    if (a_view.rows == 0 || a_view.cols == 0) {
        return;
    }
    MatrixView a = a_view;
    MatrixView a_transposed = a.transposed();
    turn_inner_dimension_forwards(a_transposed, a);
    const auto blas_a = as_blas_matrix(a);
    if (is_small(a_transposed, a) || !blas_a || !fits_blas_int(a.rows) || !fits_blas_int(a.cols)) {
        portable_gram_upper(a, c);
        return;
    }
    // Row by row, A^T A is the transposed rank-k update; column by column the memory already
    // holds A^T row-major, so the update is not transposed.
    const auto columns = static_cast<FortranInt>(a.cols);
    const auto transpose = blas_a->trans == cblas::Transpose::NoTrans ? cblas::Transpose::Trans
                                                                      : cblas::Transpose::NoTrans;
    cblas::dsyrk(cblas::Layout::RowMajor, cblas::Uplo::Upper, transpose, columns,
                 static_cast<FortranInt>(a.rows), 1.0, blas_a->data, blas_a->leading_dimension, 1.0,
                 c.data(), columns);
}

void mirror_upper(Matrix &c) {
    for (Index i = 0; i < c.rows(); ++i) {
        for (Index j = 0; j < i; ++j) {
            c(i, j) = c(j, i);
        }
    }
}

Matrix gram(const MatrixView &a) {
    Matrix c(a.cols, a.cols);
    add_gram_upper(a, c);
    mirror_upper(c);
    return c;
}

void matvec_into(const MatrixView &a, const VectorView &x, double *y) {
    if (a.cols != x.size) {
        throw_shape_mismatch("matrix-vector product", a, x);
    }
    if (a.rows == 0) {
        return;
    }
    const auto blas_a = as_blas_matrix(a);
    if (a.cols > 0 && blas_a && blas_increment_ok(x) && fits_blas_int(a.rows) &&
        fits_blas_int(a.cols)) {
        // Column-by-column memory is handed over as column-major rather than transposed, so
        // that A stays A for either layout.
        const auto layout = blas_a->trans == cblas::Transpose::NoTrans ? cblas::Layout::RowMajor
                                                                       : cblas::Layout::ColMajor;
        cblas::dgemv(layout, cblas::Transpose::NoTrans, static_cast<FortranInt>(a.rows),
                     static_cast<FortranInt>(a.cols), 1.0, blas_a->data, blas_a->leading_dimension,
                     blas_vector_start(x), static_cast<FortranInt>(x.stride), 0.0, y, 1);
        return;
    }
    for (Index i = 0; i < a.rows; ++i) {
        y[i] = a.cols == 0 ? 0.0 : dot(a.row(i), x);
    }
}

void matvec_without_blas_into(const MatrixView &a, const VectorView &x, double *y) {
    if (a.cols != x.size) {
        throw_shape_mismatch("matrix-vector product", a, x);
    }
    std::fill_n(y, a.rows, 0.0);
    for (Index j = 0; j < a.cols; ++j) {
        const double b = x[j];
        const double *column = a.data + j * a.col_stride;
        if (a.row_stride == 1) {
            for (Index r = 0; r < a.rows; ++r) {
                y[r] += b * column[r];
            }
        } else {
            for (Index r = 0; r < a.rows; ++r) {
                y[r] += b * column[r * a.row_stride];
            }
        }
    }
}

Vector matvec(const MatrixView &a, const VectorView &x) {
    Vector y(a.rows);
    matvec_into(a, x, y.data());
    return y;
}

double dot(const VectorView &x, const VectorView &z) {
    if (x.size != z.size) {
        throw_shape_mismatch("dot product", x, z);
    }
    if (x.size == 0) {
        return 0.0;
    }
    if (blas_increment_ok(x) && blas_increment_ok(z) && fits_blas_int(x.size)) {
        return cblas::ddot(static_cast<FortranInt>(x.size), blas_vector_start(x),
                           static_cast<FortranInt>(x.stride), blas_vector_start(z),
                           static_cast<FortranInt>(z.stride));
    }
    double sum = 0.0;
    for (Index i = 0; i < x.size; ++i) {
        sum += x[i] * z[i];
    }
    return sum;
}

} // namespace tallyfit::linalg
