// B-spline bases evaluated straight into the columns a model uses: the basis at each x times a
// combination matrix (R's ns projects its basis; bs keeps a subset of its columns), without
// forming the n x k basis first.
#pragma once

#include "linalg/array.hpp"
#include "linalg/view.hpp"

namespace tallyfit::linalg {

// Row i is B(x_i) C, with B(x) the k = knots.size - order B-spline basis functions of the given
// order (degree + 1) on the non-decreasing knots, and C the k x m combination. x is located
// within the boundary knots knots[order - 1] and knots[k] (values beyond them use the end
// intervals' polynomials); a NaN x gives a row of NaN. The caller checks the shapes.
Matrix spline_basis(VectorView x, VectorView knots, Index order, MatrixView combination);

} // namespace tallyfit::linalg
