// Iteratively reweighted least squares for the logistic models: Newton's method on the
// log-likelihood, with an optional ridge term on the diagonal of the Hessian.
#pragma once

#include <optional>

#include "error.hpp"
#include "linalg/array.hpp"
#include "linalg/view.hpp"
#include "linalg/weighted_gram.hpp"
#include "result.hpp"

namespace tallyfit {

// sigma(s) = 1 / (exp(-s) + 1).
double logistic(double s);

// What one pass over X computes at the coefficients beta.
enum class IrlsPassKind {
    Start,             // the iteration's start: mu fixed at 0.5, Gram product only
    LikelihoodOnly,    // mu = sigma(X beta) and the log-likelihood
    LikelihoodAndGram, // both, the Gram product with the weights of that mu
};

// The log-likelihood at beta (not for Start) and, unless LikelihoodOnly, the weighted normal
// equations of the Newton step from beta, the ridge (if any) added to the diagonal:
// H = X^T W X and t = X^T (w eta + (y - mu)), which is X^T W z for the working response
// z = eta + (y - mu) / w and stays finite where a probability rounded to 0 or 1 made w zero.
// The sums of passes over the row blocks of a matrix equal the pass over the whole matrix.
// One read of X: a block of rows at a time, as many as the rank-k update needs.
struct IrlsPass {
    double log_likelihood = 0.0;
    std::optional<linalg::WeightedGram> gram;
};

IrlsPass irls_pass(const linalg::MatrixView &x, const linalg::VectorView &y,
                   const linalg::VectorView &beta, const std::optional<linalg::VectorView> &ridge,
                   IrlsPassKind kind);

// Asked between two iterations whether to stop (a signal arrived, say); true abandons the fit.
using InterruptionCheck = bool (*)();

// The coefficients, one per column of x. Iterates while fewer than max_iterations steps were
// made and the last change of the log-likelihood exceeds convergence_delta (so a NaN change
// stops it). Fails when the Hessian does not invert, when the change is still above the delta
// at the end, or when a coefficient ends up non-finite; Interrupted when `interrupted` (if
// given) says so between two iterations. x must have one row per element of y and ridge (if
// any) one element per column.
Result<linalg::Vector, Error> fit_irls(const linalg::MatrixView &x, const linalg::VectorView &y,
                                       const std::optional<linalg::VectorView> &ridge,
                                       __int128 max_iterations, double convergence_delta,
                                       InterruptionCheck interrupted = nullptr);

} // namespace tallyfit
