#include "models/irls.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/blas.hpp"
#include "linalg/inverse.hpp"
#include "linalg/narrow_gram.hpp"
#include "linalg/product.hpp"
#include "linalg/weighted_gram.hpp"
#include "models/logistic_rows.hpp"
#include "models/share_pass.hpp"
#include "models/step_accumulator.hpp"

namespace tallyfit {

namespace {

using linalg::Index;
using namespace row_loops;

// The buffers of one block of rows.
struct BlockRows {
    explicit BlockRows(Index rows)
        : eta(rows), y(rows), terms(rows), residual(rows), root_weight(rows) {}
    linalg::Vector eta;
    linalg::Vector y;           // the block's responses, copied when y is strided
    linalg::Vector terms;       // log-likelihood terms
    linalg::Vector residual;    // w eta + (y - mu), the right-hand side before X^T
    linalg::Vector root_weight; // sqrt(w)
};
inline constexpr Index block_vectors = 6; // the five above and the extended column

TALLYFIT_TARGET_CLONES bool likelihood_rows(Index count, const double *eta, const double *y,
                                            double *terms) {
    return logistic_rows<false>(count, eta, y, terms, nullptr, nullptr);
}

TALLYFIT_TARGET_CLONES bool likelihood_and_weight_rows(Index count, const double *eta,
                                                       const double *y, double *terms,
                                                       double *residual, double *root_weight) {
    return logistic_rows<true>(count, eta, y, terms, residual, root_weight);
}

bool all_finite(const linalg::Vector &values) {
    return std::all_of(values.values().begin(), values.values().end(),
                       [](double v) { return std::isfinite(v); });
}

bool all_zero(const linalg::VectorView &values) {
    for (Index j = 0; j < values.size; ++j) {
        if (values[j] != 0.0) {
            return false;
        }
    }
    return true;
}

// One read of X, a block of rows at a time: X beta (by the BLAS on the block in place where it
// can run on each of our threads alone, else column by column), the row loop, and the block's
// share of the normal equations while its rows are still in the cache; shares of blocks on
// this process's threads (models/share_pass.hpp). The log-likelihood comes out the same to the
// last bit for either kind of pass that computes it, as the convergence test compares the two:
// both cut the rows into the same shares and blocks and add them in the same order.
IrlsPass blocked_pass(const linalg::MatrixView &x, const linalg::VectorView &y,
                      const linalg::VectorView &beta,
                      const std::optional<linalg::VectorView> &ridge, IrlsPassKind kind) {
    const bool with_gram = kind != IrlsPassKind::LikelihoodOnly;
    const bool beta_is_zero = all_zero(beta);
    const Index block_rows = linalg::gram_block_rows(x, block_vectors);
    const bool fused = fused_runs_faster(x.cols);
    const bool own_product = !linalg::blas_threads_per_caller();
    auto add_block = [&](BlockRows &block, Index first, Index count, StepAccumulator *accumulator,
                         double &log_likelihood, bool &) {
        const linalg::MatrixView rows{x.data + first * x.row_stride, count, x.cols, x.row_stride,
                                      x.col_stride};
        if (beta_is_zero) {
            std::fill_n(block.eta.data(), count, 0.0);
        } else if (own_product) {
            linalg::matvec_without_blas_into(rows, beta, block.eta.data());
        } else {
            linalg::matvec_into(rows, beta, block.eta.data());
        }
        const double *y_rows = y.data + first * y.stride;
        if (y.stride != 1) {
            for (Index r = 0; r < count; ++r) {
                block.y[r] = y[first + r];
            }
            y_rows = block.y.data();
        }
        bool other_responses = false;
        switch (kind) {
        case IrlsPassKind::Start:
            start_rows(count, block.eta.data(), y_rows, block.residual.data(),
                       block.root_weight.data());
            break;
        case IrlsPassKind::LikelihoodOnly:
            other_responses = likelihood_rows(count, block.eta.data(), y_rows, block.terms.data());
            break;
        case IrlsPassKind::LikelihoodAndGram:
            other_responses =
                likelihood_and_weight_rows(count, block.eta.data(), y_rows, block.terms.data(),
                                           block.residual.data(), block.root_weight.data());
            break;
        }
        if (kind != IrlsPassKind::Start) {
            if (other_responses) {
                other_response_terms(count, block.eta.data(), y_rows, block.terms.data());
            }
            log_likelihood += sum(count, block.terms.data());
        }
        if (accumulator != nullptr) {
            accumulator->add(rows, block.residual.data(), block.root_weight.data());
        }
    };
    // Without the BLAS's own product and with the fused accumulator no block calls the BLAS.
    const bool calls_blas = !own_product || (with_gram && !fused);
    auto sums = pass_over_shares<BlockRows>(x, block_rows, with_gram, calls_blas, add_block);
    IrlsPass pass;
    pass.log_likelihood = sums.sum;
    if (with_gram) {
        pass.gram = linalg::finish_weighted_gram(std::move(*sums.gram), ridge);
    }
    return pass;
}

} // namespace

IrlsPass irls_pass(const linalg::MatrixView &x, const linalg::VectorView &y,
                   const linalg::VectorView &beta, const std::optional<linalg::VectorView> &ridge,
                   IrlsPassKind kind) {
    return blocked_pass(x, y, beta, ridge, kind);
}

double logistic(double s) { return 1.0 / (std::exp(-s) + 1.0); }

namespace {

// The change of the log-likelihood that Newton's quadratic model predicts for the step from
// beta to next: g^T d - d^T (H - L) d / 2 with d = next - beta, where H and t are the step's
// normal equations, L the ridge on H's diagonal and g = t - (H - L) beta the gradient at beta.
double predicted_change(const linalg::WeightedGram &gram,
                        const std::optional<linalg::VectorView> &ridge, const linalg::Vector &beta,
                        const linalg::Vector &next) {
    const Index p = beta.size();
    double change = 0.0;
    for (Index i = 0; i < p; ++i) {
        double h_beta = 0.0;
        double h_step = 0.0;
        for (Index j = 0; j < p; ++j) {
            const double h_ij = gram.h(i, j) - (ridge && i == j ? (*ridge)[i] : 0.0);
            h_beta += h_ij * beta[j];
            h_step += h_ij * (next[j] - beta[j]);
        }
        const double step = next[i] - beta[i];
        change += (gram.t[i] - h_beta) * step - 0.5 * step * h_step;
    }
    return change;
}

} // namespace

// Each iteration reads X once: the pass that evaluates the log-likelihood of the new
// coefficients also gathers the Gram product for the step after them, unless that step is not
// expected to be taken. No working vector of length n is kept.
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
        if (iterations > 0 && interrupted != nullptr && interrupted()) {
            return err(Error(ErrorCode::Interrupted));
        }
        if (!gram) {
            // The start, or after a step that was expected to be the last but was not.
            gram =
                irls_pass(x, y, beta.view(), ridge,
                          iterations == 0 ? IrlsPassKind::Start : IrlsPassKind::LikelihoodAndGram)
                    .gram;
        }
        ASSIGN_OR_RETURN(const linalg::Matrix h_inverse, linalg::inverse(gram->h.view()));
        linalg::Vector next = linalg::matvec(h_inverse.view(), gram->t.view());
        const bool may_continue = iterations + 1 < max_iterations;
        // Near the optimum Newton's quadratic model predicts the change of the log-likelihood
        // closely. A step predicted to change it by far less than the delta is most likely the
        // last one, so its pass computes the log-likelihood only (the first step never is: its
        // change is infinite).
        const bool likely_last =
            may_continue && iterations > 0 &&
            std::fabs(predicted_change(*gram, ridge, beta, next)) <= convergence_delta / 4;
        beta = std::move(next);
        IrlsPass pass = irls_pass(x, y, beta.view(), ridge,
                                  may_continue && !likely_last ? IrlsPassKind::LikelihoodAndGram
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
