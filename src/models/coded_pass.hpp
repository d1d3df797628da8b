// One IRLS pass of a generalized linear model whose design is a dense part and categorical
// columns held as codes: the design X = [D | C_1 | ... | C_m], where C_f is the 0/1 matrix of
// factor f's coded levels, is never formed. Its normal equations come from the codes: the
// counts of each level (C_f' W C_f is diagonal), the level sums of w D (C_f' W D), the weighted
// cross-tabulations of two factors (C_f' W C_g) and the level sums of w z, beside D' W D.
#pragma once

#include <optional>
#include <vector>

#include "linalg/view.hpp"
#include "models/glm_names.hpp"
#include "models/glm_pass.hpp"

namespace tallyfit {

// codes(i, f) is the level of row i in factor f as a whole number from 0 to levels[f] - 1, or
// -1 where the row has none of f's columns (the reference level, say).
struct CodedColumns {
    linalg::MatrixView codes; // rows x factors, any strides
    std::vector<linalg::Index> levels;
};

// glm_pass of X = [D | C_1 | ... | C_m]: beta has one value per column of D and then one per
// coded level, factor by factor, and the normal equations are in that order of columns. A code
// outside its range, or a shape that does not match, is an InternalError.
GlmPass coded_glm_pass(const linalg::MatrixView &dense, const CodedColumns &coded,
                       const linalg::VectorView &y, const linalg::VectorView &beta,
                       GlmFamily family, GlmLink link,
                       const std::optional<linalg::VectorView> &prior,
                       const std::optional<linalg::VectorView> &offset);

} // namespace tallyfit
