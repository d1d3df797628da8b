// The IRLS pass for narrow X, fused block by block. At a few dozen columns a rank-k update by
// the BLAS spends most of its time packing its operands, and the matrix-vector products and the
// row loop each read the block again. Here a block of rows is copied once, column by column,
// into a buffer that stays in the first-level cache, and everything the pass computes is taken
// from that copy: X beta, the row loop, X^T v, and X^T W X as dot products of the scaled
// columns, summed lane by lane across the blocks.
#pragma once

#include <optional>

#include "linalg/view.hpp"
#include "models/irls.hpp"

namespace tallyfit {

// Widths up to this take the fused pass for the Gram product; wider ones the BLAS (see
// irls_pass). At n = 1e6 on an AMD EPYC (Zen 4, OpenBLAS 0.3.30) the fused pass took 0.55 of
// the BLAS pass's time at width 10 and 0.85 at 20, the same at 50 to 80, 1.1 at 96, 0.55 at 100
// (a width the BLAS handles badly), and 1.3 to 1.5 times at 120 to 200.
inline constexpr linalg::Index narrow_width_limit = 104;

// irls_pass for widths up to the limit. Its two kinds with a log-likelihood compute it the
// same way to the last bit, as the convergence test compares the two.
IrlsPass narrow_irls_pass(const linalg::MatrixView &x, const linalg::VectorView &y,
                          const linalg::VectorView &beta,
                          const std::optional<linalg::VectorView> &ridge, IrlsPassKind kind);

} // namespace tallyfit
