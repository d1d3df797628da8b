// Sums of scaled rows by group: the per-cluster scores of a clustered sandwich, without a
// scaled copy of the design or a sparse grouping matrix.
#pragma once

#include "linalg/array.hpp"
#include "linalg/view.hpp"

namespace tallyfit::linalg {

// Row g of the result is the sum over the rows i with codes[i] == g of factors[i] x_i, for
// groups rows; the caller checks that every code is a whole number in [0, groups) and that
// the lengths match.
Matrix group_sums(MatrixView x, VectorView codes, VectorView factors, Index groups);

} // namespace tallyfit::linalg
