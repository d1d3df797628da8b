// One IRLS pass of a generalized linear model over the rows of X at the coefficients beta, for
// R's families and links, with prior weights and an offset: the deviance, the weighted normal
// equations X^T W X and X^T W z, and whether eta and mu are inside the link's and the family's
// ranges. One read of X, a block of rows at a time; nothing of the size of X is allocated.
#pragma once

#include <optional>

#include "linalg/view.hpp"
#include "linalg/weighted_gram.hpp"
#include "models/glm_names.hpp"

namespace tallyfit {

struct GlmPass {
    double deviance = 0.0;     // sum of dev.resids(y, mu, prior)
    linalg::WeightedGram gram; // h = X^T W X, t = X^T W z
    bool valid = true;         // R's valideta(eta) && validmu(mu) over all rows
};

// With eta = X beta + offset, mu = linkinv(eta), w = prior mu.eta(eta)^2 / V(mu) and
// z = eta - offset + (y - mu) / mu.eta(eta); rows of prior weight 0 (or mu.eta 0) add nothing
// to h and t. No prior weights: all 1; no offset: all 0. The family must accept the link, y,
// prior and offset have one element per row of x and beta one per column (else InternalError).
// The sums of passes over the row blocks of a matrix equal the pass over the whole matrix.
GlmPass glm_pass(const linalg::MatrixView &x, const linalg::VectorView &y,
                 const linalg::VectorView &beta, GlmFamily family, GlmLink link,
                 const std::optional<linalg::VectorView> &prior,
                 const std::optional<linalg::VectorView> &offset);

} // namespace tallyfit
