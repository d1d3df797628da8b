// X v and X^T v over shares of X's rows on this process's threads (linalg/row_shares.hpp), for
// the package's products with a whole design: a core kept busy elsewhere slows them by its
// share only, where the BLAS's statically split threads would wait for it.
#pragma once

#include "linalg/array.hpp"
#include "linalg/view.hpp"

namespace tallyfit::linalg {

// X v; v needs one element per column of x (else a shape error).
Vector share_matvec(const MatrixView &x, const VectorView &v);

// X^T v; v needs one element per row of x (else a shape error). The shares' sums are added in
// row order: the result does not depend on the number of threads.
Vector share_transposed_matvec(const MatrixView &x, const VectorView &v);

} // namespace tallyfit::linalg
