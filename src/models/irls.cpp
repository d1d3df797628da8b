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

// The probabilities are clamped for the logarithms only. fmax and fmin return the other operand
// for a NaN, so a NaN probability counts as 1e-9.
double log_likelihood(const linalg::VectorView &y, const linalg::Vector &mu) {
    double total = 0.0;
    for (linalg::Index i = 0; i < y.size; ++i) {
        const double p = std::fmin(std::fmax(mu[i], 1e-9), 0.999999999);
        total += y[i] * std::log(p) + (1.0 - y[i]) * std::log(1.0 - p);
    }
    return total;
}

double binomial_weight(double mu) { return (1.0 - mu) * mu; }

bool all_finite(const linalg::Vector &values) {
    return std::all_of(values.values().begin(), values.values().end(),
                       [](double v) { return std::isfinite(v); });
}

} // namespace

double logistic(double s) { return 1.0 / (std::exp(-s) + 1.0); }

Result<linalg::Vector, LogisticRegressionError>
fit_irls(const linalg::MatrixView &x, const linalg::VectorView &y,
         const std::optional<linalg::VectorView> &ridge, __int128 max_iterations,
         double convergence_delta) {
    linalg::Vector beta(x.cols);
    linalg::Vector mu = linalg::filled(y.size, 0.5);
    linalg::Vector w = linalg::filled(y.size, 0.25);
    double previous_log_likelihood = std::numeric_limits<double>::infinity();
    double change = std::numeric_limits<double>::infinity();
    __int128 iterations = 0;
    // X beta of the current coefficients; each iteration's X beta_new serves the next one, so
    // an iteration reads X twice: once for the Gram product, once for X beta_new.
    std::optional<linalg::Vector> eta;

    while (iterations < max_iterations && change > convergence_delta) {
        if (!eta) {
            eta = linalg::matvec(x, beta.view());
        }
        const linalg::Vector residual = linalg::subtract(y, mu.view());
        const linalg::Vector z =
            linalg::add(eta->view(), linalg::divide(residual.view(), w.view()).view());
        const linalg::WeightedGram gram = linalg::weighted_gram(x, w.view(), z.view(), ridge);
        const auto h_inverse = linalg::inverse(gram.h.view());
        if (!h_inverse) {
            return err(LogisticRegressionError::InversionFailure);
        }
        linalg::Vector beta_new = linalg::matvec(h_inverse.value().view(), gram.t.view());
        eta = linalg::matvec(x, beta_new.view());
        mu = linalg::map(eta->view(), logistic);
        const double current_log_likelihood = log_likelihood(y, mu);
        beta = std::move(beta_new);
        w = linalg::map(mu.view(), binomial_weight);
        ++iterations;
        change = std::fabs(current_log_likelihood - previous_log_likelihood);
        previous_log_likelihood = current_log_likelihood;
    }
    if (change > convergence_delta) {
        return err(LogisticRegressionError::ConvergenceFailure);
    }
    // A NaN change ends the loop as if converged; coefficients that went non-finite on the way
    // are no fit.
    if (!all_finite(beta)) {
        return err(LogisticRegressionError::ConvergenceFailure);
    }
    return beta;
}

} // namespace tallyfit
