// The weighted normal equations of one IRLS step, accumulated over row blocks of X:
//   H = X^T diag(w) X + diag(d)      t = X^T diag(w) z
// The caller gathers a block of rows into a buffer of a few hundred kilobytes (gather_rows),
// scales every row by sqrt(w_i) and its response by the same factor, and adds the block: a
// symmetric rank-k update into one triangle of H and a matrix-vector product into t. Nothing of
// the size of X is ever allocated.
#pragma once

#include <optional>

#include "linalg/array.hpp"
#include "linalg/view.hpp"

namespace tallyfit::linalg {

// Bytes of one block of rows, sized to stay in the second-level cache: at n = 1e6, p = 50,
// blocks of 128 KiB to 1 MiB ran equally fast, 32 KiB and 4 MiB or more were slower, and one
// rank-n update over all of X (as if unweighted, no copy) was slower still.
inline constexpr Index gram_block_bytes = 256 * 1024;

// Rows per block for x, at least 1.
Index gram_block_rows(const MatrixView &x, Index block_bytes = gram_block_bytes);

// Copies rows [first, first + count) of x, any strides, into a contiguous row-major buffer.
void gather_rows(const MatrixView &x, Index first, Index count, double *out);

struct WeightedGram {
    Matrix h; // p x p, symmetric
    Vector t; // p
};

class GramAccumulator {
  public:
    explicit GramAccumulator(Index columns);

    // `count` rows already scaled by sqrt(w_i) (row-major, one row per `columns` values) and
    // their responses scaled alike. Weights must not be negative; a NaN gives NaN entries.
    void add_block(const double *scaled_rows, const double *scaled_responses, Index count);

    // H with its lower triangle filled in and the diagonal (one element per column) added.
    WeightedGram finish(const std::optional<VectorView> &diagonal) &&;

  private:
    WeightedGram gram_;
};

} // namespace tallyfit::linalg
