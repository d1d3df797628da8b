// X^T W X and X^T W v in one read of X, the kernel of least squares and of the Gram products
// the package forms: row blocks summed by the fused narrow accumulator or by the BLAS's rank-k
// update, whichever this processor runs faster at X's width, shares of blocks spread over this
// process's threads (linalg/row_shares.hpp). X may be laid out row by row or column by column
// (as the design build makes it), or with any strides; it is never copied whole.
#pragma once

#include <optional>

#include "linalg/view.hpp"
#include "linalg/weighted_gram.hpp"

namespace tallyfit {

// h = X^T diag(w) X and t = X^T diag(w) v; without weights w is all 1, without v t is zero.
// v and the weights need one element per row of x (else InternalError), the weights must not
// be negative; a row of weight 0 adds nothing, whatever its values.
linalg::WeightedGram gram_pass(const linalg::MatrixView &x,
                               const std::optional<linalg::VectorView> &v,
                               const std::optional<linalg::VectorView> &weights);

} // namespace tallyfit
