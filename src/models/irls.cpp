#include "models/irls.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/elementwise.hpp"
#include "linalg/inverse.hpp"
#include "linalg/product.hpp"
#include "linalg/weighted_gram.hpp"

namespace tallyfit {

namespace {

using linalg::Index;

// (1 - mu) mu: the weight of a row (0.25 for the start value mu = 0.5).
double binomial_weight(double mu) { return (1.0 - mu) * mu; }

// One term of the log-likelihood. The probability is clamped for the logarithms only; fmax and
// fmin return the other operand for a NaN, so a NaN probability counts as 1e-9.
double log_likelihood_term(double y, double mu) {
    const double p = std::fmin(std::fmax(mu, 1e-9), 0.999999999);
    // For a 0/1 response one of the two products is an exact zero (the logarithms are finite
    // after the clamp), so one logarithm gives the same sum.
    if (y == 1.0) {
        return std::log(p);
    }
    if (y == 0.0) {
        return std::log(1.0 - p);
    }
    return y * std::log(p) + (1.0 - y) * std::log(1.0 - p);
}

bool all_finite(const linalg::Vector &values) {
    return std::all_of(values.values().begin(), values.values().end(),
                       [](double v) { return std::isfinite(v); });
}

} // namespace

IrlsPass irls_pass(const linalg::MatrixView &x, const linalg::VectorView &y,
                   const linalg::VectorView &beta, const std::optional<linalg::VectorView> &ridge,
                   IrlsPassKind kind) {
    const bool start = kind == IrlsPassKind::Start;
    const bool with_gram = kind != IrlsPassKind::LikelihoodOnly;
    const Index p = x.cols;
    const Index block_rows = linalg::gram_block_rows(x);
    linalg::Vector rows(block_rows * p);
    linalg::Vector eta(block_rows);
    linalg::Vector responses(block_rows);
    linalg::GramAccumulator accumulator(p);
    IrlsPass pass;
    for (Index first = 0; first < x.rows; first += block_rows) {
        const Index count = std::min(block_rows, x.rows - first);
        linalg::gather_rows(x, first, count, rows.data());
        const linalg::MatrixView block{rows.data(), count, p, p, 1};
        linalg::matvec_into(block, beta, eta.data());
        for (Index r = 0; r < count; ++r) {
            const double mu = start ? 0.5 : logistic(eta[r]);
            if (!start) {
                pass.log_likelihood += log_likelihood_term(y[first + r], mu);
            }
            if (with_gram) {
                const double w = binomial_weight(mu);
                const double z = eta[r] + (y[first + r] - mu) / w;
                const double scale = std::sqrt(w);
                double *row = rows.data() + r * p;
                for (Index j = 0; j < p; ++j) {
                    row[j] *= scale;
                }
                responses[r] = scale * z;
            }
        }
        if (with_gram) {
            accumulator.add_block(rows.data(), responses.data(), count);
        }
    }
    if (with_gram) {
        pass.gram = std::move(accumulator).finish(ridge);
    }
    return pass;
}

double logistic(double s) { return 1.0 / (std::exp(-s) + 1.0); }

// Each iteration reads X once: the pass that evaluates the log-likelihood of the new
// coefficients also gathers the Gram product for the step after them, which the loop tests
// then use or discard. No working vector of length n is kept.
Result<linalg::Vector, Error> fit_irls(const linalg::MatrixView &x, const linalg::VectorView &y,
                                       const std::optional<linalg::VectorView> &ridge,
                                       __int128 max_iterations, double convergence_delta,
                                       InterruptionCheck interrupted) {
    // A width whose p x p normal equations cannot exist fails before anything is allocated.
    linalg::element_count(x.cols, x.cols);
    linalg::Vector beta(x.cols);
    double previous_log_likelihood = std::numeric_limits<double>::infinity();
    double change = std::numeric_limits<double>::infinity();
    __int128 iterations = 0;
    std::optional<linalg::WeightedGram> gram;

    while (iterations < max_iterations && change > convergence_delta) {
        if (iterations == 0) {
            gram = irls_pass(x, y, beta.view(), ridge, IrlsPassKind::Start).gram;
        } else if (interrupted != nullptr && interrupted()) {
            return err(Error(ErrorCode::Interrupted));
        }
        ASSIGN_OR_RETURN(const linalg::Matrix h_inverse, linalg::inverse(gram->h.view()));
        beta = linalg::matvec(h_inverse.view(), gram->t.view());
        const bool may_continue = iterations + 1 < max_iterations;
        IrlsPass pass = irls_pass(x, y, beta.view(), ridge,
                                  may_continue ? IrlsPassKind::LikelihoodAndGram
                                               : IrlsPassKind::LikelihoodOnly);
        gram = std::move(pass.gram);
        ++iterations;
        change = std::fabs(pass.log_likelihood - previous_log_likelihood);
        previous_log_likelihood = pass.log_likelihood;
    }
    if (change > convergence_delta) {
        return err(Error(ErrorCode::ConvergenceFailure));
    }
    // A NaN change ends the loop as if converged; coefficients that went non-finite on the way
    // are no fit.
    if (!all_finite(beta)) {
        return err(Error(ErrorCode::ConvergenceFailure));
    }
    return beta;
}

} // namespace tallyfit
