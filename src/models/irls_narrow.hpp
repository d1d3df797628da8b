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
// irls_pass). At n = 1e6 on an AMD EPYC (Zen 4) it took 0.75 of the BLAS pass's time at width
// 10, about as much at 50, half at 100 and 1.5 times at 200.
inline constexpr linalg::Index narrow_width_limit = 128;

// The IrlsPassKind::Start pass (`start`) or the LikelihoodAndGram one, as irls_pass has them.
IrlsPass narrow_irls_pass(const linalg::MatrixView &x, const linalg::VectorView &y,
                          const linalg::VectorView &beta,
                          const std::optional<linalg::VectorView> &ridge, bool start);

} // namespace tallyfit
