#include "models/glm_pass.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "internal_error.hpp"
#include "linalg/array.hpp"
#include "linalg/blas.hpp"
#include "linalg/product.hpp"
#include "linalg/target_clones.hpp"
#include "models/glm_block.hpp"
#include "models/glm_rows.hpp"
#include "models/logistic_rows.hpp"
#include "models/shape_checks.hpp"
#include "models/share_pass.hpp"
#include "models/step_accumulator.hpp"

namespace tallyfit {

namespace {

using linalg::Index;
using namespace glm_rows;
using glm_block::RowPolicy;

template <class L, class F> bool exact_rows(Index count, const BlockIn &in, BlockOut out) {
    return rows<L, F, StdMath>(count, in, out);
}

template <class L, class F> RowPolicy generic() { return {&exact_rows<L, F>}; }

// The pairs the fits use most, vectorized with the logistic loops' exp and log.
TALLYFIT_TARGET_CLONES bool gaussian_identity_rows(Index count, const BlockIn &in, BlockOut out) {
    return rows<IdentityLink, Gaussian, StdMath>(count, in, out); // no exp or log to replace
}

TALLYFIT_TARGET_CLONES bool binomial_logit_rows(Index count, const BlockIn &in, BlockOut out) {
    return rows<LogitLink, Binomial, RowMath>(count, in, out);
}

TALLYFIT_TARGET_CLONES bool poisson_log_rows(Index count, const BlockIn &in, BlockOut out) {
    return rows<LogLink, Poisson, RowMath>(count, in, out);
}

TALLYFIT_TARGET_CLONES bool gamma_inverse_rows(Index count, const BlockIn &in, BlockOut out) {
    return rows<InverseLink, Gamma, RowMath>(count, in, out);
}

TALLYFIT_TARGET_CLONES bool gamma_log_rows(Index count, const BlockIn &in, BlockOut out) {
    return rows<LogLink, Gamma, RowMath>(count, in, out);
}

std::optional<RowPolicy> gaussian_policy(GlmLink link) {
    switch (link) {
    case GlmLink::Identity:
        return RowPolicy{&gaussian_identity_rows};
    case GlmLink::Log:
        return generic<LogLink, Gaussian>();
    case GlmLink::Inverse:
        return generic<InverseLink, Gaussian>();
    default:
        return std::nullopt;
    }
}

std::optional<RowPolicy> binomial_policy(GlmLink link) {
    switch (link) {
    case GlmLink::Logit:
        return RowPolicy{&binomial_logit_rows, &exact_rows<LogitLink, Binomial>};
    case GlmLink::Probit:
        return generic<ProbitLink, Binomial>();
    case GlmLink::Cloglog:
        return generic<CloglogLink, Binomial>();
    case GlmLink::Cauchit:
        return generic<CauchitLink, Binomial>();
    case GlmLink::Log:
        return generic<LogLink, Binomial>();
    default:
        return std::nullopt;
    }
}

std::optional<RowPolicy> poisson_policy(GlmLink link) {
    switch (link) {
    case GlmLink::Log:
        return RowPolicy{&poisson_log_rows, &exact_rows<LogLink, Poisson>};
    case GlmLink::Identity:
        return generic<IdentityLink, Poisson>();
    case GlmLink::Sqrt:
        return generic<SqrtLink, Poisson>();
    default:
        return std::nullopt;
    }
}

std::optional<RowPolicy> gamma_policy(GlmLink link) {
    switch (link) {
    case GlmLink::Inverse:
        return RowPolicy{&gamma_inverse_rows, &exact_rows<InverseLink, Gamma>};
    case GlmLink::Log:
        return RowPolicy{&gamma_log_rows, &exact_rows<LogLink, Gamma>};
    case GlmLink::Identity:
        return generic<IdentityLink, Gamma>();
    default:
        return std::nullopt;
    }
}

std::optional<RowPolicy> inverse_gaussian_policy(GlmLink link) {
    switch (link) {
    case GlmLink::InverseSquare:
        return generic<InverseSquareLink, InverseGaussian>();
    case GlmLink::Inverse:
        return generic<InverseLink, InverseGaussian>();
    case GlmLink::Identity:
        return generic<IdentityLink, InverseGaussian>();
    case GlmLink::Log:
        return generic<LogLink, InverseGaussian>();
    default:
        return std::nullopt;
    }
}

} // namespace

namespace glm_block {

RowPolicy policy_for(GlmFamily family, GlmLink link) {
    std::optional<RowPolicy> policy;
    switch (family) {
    case GlmFamily::Gaussian:
        policy = gaussian_policy(link);
        break;
    case GlmFamily::Binomial:
        policy = binomial_policy(link);
        break;
    case GlmFamily::Poisson:
        policy = poisson_policy(link);
        break;
    case GlmFamily::Gamma:
        policy = gamma_policy(link);
        break;
    case GlmFamily::InverseGaussian:
        policy = inverse_gaussian_policy(link);
        break;
    }
    if (!policy) {
        throw InternalError("glm pass: the " + std::string(glm_family_name(family)) +
                            " family does not take the " + std::string(glm_link_name(link)) +
                            " link");
    }
    return *policy;
}

} // namespace glm_block

// One read of X, a block of rows at a time: eta, the row loop, and the block's share of the
// normal equations while its rows are still in the cache; shares of blocks on this process's
// threads (models/share_pass.hpp). eta is taken by the BLAS where it can run on each of our
// threads alone, else (for the fused accumulator, which calls no BLAS) column by column.
GlmPass glm_pass(const linalg::MatrixView &x, const linalg::VectorView &y,
                 const linalg::VectorView &beta, GlmFamily family, GlmLink link,
                 const std::optional<linalg::VectorView> &prior,
                 const std::optional<linalg::VectorView> &offset) {
    require_pass_rows("glm pass", x.rows, y, prior, offset);
    require_size("glm pass", beta, x.cols, "beta");
    const glm_block::PassInput input{x,     y,      beta,
                                     prior, offset, glm_block::policy_for(family, link)};
    linalg::element_count(x.cols, x.cols);
    const Index block_rows = linalg::gram_block_rows(x, glm_block::block_vectors);
    const bool fused = fused_runs_faster(x.cols);
    const bool own_product = fused && !linalg::blas_threads_per_caller();
    auto add = [&](glm_block::BlockRows &block, Index first, Index count,
                   StepAccumulator *accumulator, double &deviance, bool &invalid) {
        auto no_codes = [](double *) {};
        auto accumulate = [&](const linalg::MatrixView &rows, const glm_rows::BlockOut &out) {
            accumulator->add(rows, out.residual, out.root_weight);
        };
        invalid = glm_block::add_block(input, first, count, own_product, block, no_codes,
                                       accumulate, deviance) ||
                  invalid;
    };
    auto sums = pass_over_shares<glm_block::BlockRows>(x, block_rows, true, !own_product, add);
    GlmPass pass;
    pass.deviance = sums.sum;
    pass.gram = linalg::finish_weighted_gram(std::move(*sums.gram), std::nullopt);
    pass.valid = !sums.flagged;
    return pass;
}

} // namespace tallyfit
