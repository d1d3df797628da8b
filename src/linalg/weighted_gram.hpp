// The weighted normal equations of one IRLS step, streamed over row blocks of X:
//   H = X^T diag(w) X + diag(d)      t = X^T diag(w) z
// Each block is copied once, every row scaled by sqrt(w_i), into a buffer of a few hundred
// kilobytes; a symmetric rank-k update adds its contribution to one triangle of H, a
// matrix-vector product adds it to t. Nothing of the size of X is ever allocated.
#pragma once

#include <optional>

#include "linalg/array.hpp"
#include "linalg/view.hpp"

namespace tallyfit::linalg {

struct WeightedGram {
    Matrix h; // p x p, symmetric
    Vector t; // p
};

// Bytes of one block of scaled rows, sized to stay in the second-level cache: at n = 1e6, p = 50,
// blocks of 128 KiB to 1 MiB ran equally fast, 32 KiB and 4 MiB or more were slower, and one
// rank-n update over all of X (as if unweighted, no copy) was slower still.
inline constexpr Index gram_block_bytes = 256 * 1024;

// The weights must not be negative (a NaN weight gives NaN entries either way). x has n rows,
// w and z n elements, the diagonal (if any) one element per column of x.
WeightedGram weighted_gram(const MatrixView &x, const VectorView &w, const VectorView &z,
                           const std::optional<VectorView> &diagonal = std::nullopt,
                           Index block_bytes = gram_block_bytes);

} // namespace tallyfit::linalg
