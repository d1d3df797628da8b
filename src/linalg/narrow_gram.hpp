// The weighted normal equations of an IRLS step for a narrow X (see narrow_gram_width_limit),
// fused block by block. At a few dozen columns a rank-k update by the BLAS spends most of its
// time packing its operands. Here a block of rows is copied once, column by column, into a
// buffer that stays in the first-level cache, and X^T v and X^T W X are taken from that copy
// together: dot products of the columns scaled by sqrt(w), summed lane by lane across blocks.
#pragma once

#include <optional>

#include "linalg/array.hpp"
#include "linalg/view.hpp"
#include "linalg/weighted_gram.hpp"

namespace tallyfit::linalg {

// Widths up to this take the fused accumulator; wider ones the BLAS (GramAccumulator). At
// n = 1e6 on an AMD EPYC (Zen 4, OpenBLAS 0.3.30) the fused one took 0.55 of the BLAS's time at
// width 10 and 0.85 at 20, the same at 50 to 80, 1.1 at 96, 0.55 at 100 (a width the BLAS
// handles badly), and 1.3 to 1.5 times at 120 to 200.
inline constexpr Index narrow_gram_width_limit = 104;

class NarrowGramAccumulator {
  public:
    // For blocks of at most max_rows rows of `columns` columns.
    NarrowGramAccumulator(Index columns, Index max_rows);

    // H += rows^T diag(w) rows and t += rows^T v for rows of X (any strides), given v and
    // sqrt(w), one value per row each.
    void add(const MatrixView &rows, const double *residual, const double *root_weight);

    // H with its lower triangle filled in and the diagonal (one element per column) added.
    WeightedGram finish(const std::optional<VectorView> &diagonal) &&;

    // The sums so far: t and the upper triangle of H (its lower triangle zero).
    WeightedGram upper_sums() const;

    // Starts the sums again from zero, keeping the buffers.
    void clear();

  private:
    double *columns(); // the block's columns, on a cache line

    Index width_;
    Index padded_columns_; // the width padded with zero columns to whole groups (sums dropped)
    Index block_rows_;     // a multiple of the lanes
    Vector column_storage_;
    Vector residual_; // a last block's values with zeros after them
    Vector root_weight_;
    Vector h_lanes_; // per-lane partial sums, (j * padded_columns + k) * lanes
    Vector t_lanes_;
};

} // namespace tallyfit::linalg
