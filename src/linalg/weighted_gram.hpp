// The weighted normal equations of one IRLS step, accumulated over row blocks of X:
//   H = X^T diag(w) X + diag(d)      t = X^T v
// The caller takes X a block of rows at a time, adds X_b^T v_b for the block's right-hand side
// (add_moments, on X in place) and copies the block with every row scaled by sqrt(w_i)
// (gather_scaled_rows) for a symmetric rank-k update into one triangle of H (add_scaled_rows).
// Nothing of the size of X is ever allocated.
#pragma once

#include <optional>

#include "linalg/array.hpp"
#include "linalg/view.hpp"

namespace tallyfit::linalg {

// A block holds at least this many rows: the inner dimension of the rank-k update, which the
// BLAS needs large to run at full speed whatever the width (blocks of a fixed 256 KiB held only
// 163 rows at width 200, and the fit lost a third of its speed). At n = 1e6 on one thread,
// blocks of 1024 to 4096 rows ran within the noise of each other at widths 10 and 200.
inline constexpr Index gram_block_min_rows = 2048;

// Bytes of a block's copy of its rows, where more rows than the minimum fit: narrow blocks of a
// few hundred kilobytes save calls without leaving the second-level cache.
inline constexpr Index gram_block_bytes = 256 * 1024;

// A block's buffers (its scaled copy and `vectors_per_row` values per row besides) never take
// more than this share of X's bytes, so that they stay a small fraction of a short X too.
inline constexpr Index gram_block_max_fraction = 32;

// Rows per block for x, at least 1.
Index gram_block_rows(const MatrixView &x, Index vectors_per_row);

// Copies rows [first, first + count) of x, any strides, into a contiguous row-major buffer,
// multiplying row first + r by scale[r].
void gather_scaled_rows(const MatrixView &x, Index first, Index count, const double *scale,
                        double *out);

struct WeightedGram {
    Matrix h; // p x p, symmetric
    Vector t; // p
};

class GramAccumulator {
  public:
    explicit GramAccumulator(Index columns);

    // `count` rows already scaled by sqrt(w_i), row-major, one row per `columns` values. Weights
    // must not be negative; a NaN gives NaN entries.
    void add_scaled_rows(const double *scaled_rows, Index count);

    // t += rows^T v for a block of rows of X (any strides) and its right-hand side.
    void add_moments(const MatrixView &rows, const VectorView &v);

    // H with its lower triangle filled in and the diagonal (one element per column) added.
    WeightedGram finish(const std::optional<VectorView> &diagonal) &&;

  private:
    WeightedGram gram_;
    Vector block_moments_;
};

// H accumulated in its upper triangle (row-major) made whole: the lower triangle copied from
// it and the diagonal (one element per column) added.
WeightedGram finish_weighted_gram(WeightedGram gram, const std::optional<VectorView> &diagonal);

} // namespace tallyfit::linalg
