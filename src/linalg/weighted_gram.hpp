// The weighted normal equations of one IRLS step, accumulated over row blocks of X:
//   H = X^T diag(w) X + diag(d)      t = X^T v
// Each block is copied with every row scaled by sqrt(w_i) and one more column,
// v_i / sqrt(w_i), so that one symmetric rank-k update into the upper triangle of the extended
// matrix gives the block's share of H and, in its last column, of t. Rows whose weight is 0 add
// x_i v_i to t directly. Nothing of the size of X is ever allocated.
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

struct WeightedGram {
    Matrix h; // p x p, symmetric
    Vector t; // p
};

class GramAccumulator {
  public:
    // For blocks of at most max_rows rows of `columns` columns.
    GramAccumulator(Index columns, Index max_rows);

    // H += rows^T diag(w) rows and t += rows^T v for rows of X (any strides), given v and
    // sqrt(w), one value per row each. Weights must not be negative; a NaN gives NaN entries.
    void add(const MatrixView &rows, const double *residual, const double *root_weight);

    // H with its lower triangle filled in and the diagonal (one element per column) added.
    WeightedGram finish(const std::optional<VectorView> &diagonal) &&;

    // The sums so far: t and the upper triangle of H (its lower triangle zero).
    WeightedGram upper_sums() const;

    // Starts the sums again from zero, keeping the buffers.
    void clear();

  private:
    Index columns_;
    Matrix extended_;          // (columns + 1)^2: H and, in the last column, t
    Vector scaled_rows_;       // a block's scaled rows, columns + 1 values each
    Vector zero_weight_terms_; // t's share from rows whose weight is 0
};

// H accumulated in its upper triangle (row-major) made whole: the lower triangle copied from
// it and the diagonal (one element per column) added.
WeightedGram finish_weighted_gram(WeightedGram gram, const std::optional<VectorView> &diagonal);

} // namespace tallyfit::linalg
