#include "models/glm_pass.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "internal_error.hpp"
#include "linalg/array.hpp"
#include "linalg/blas.hpp"
#include "linalg/product.hpp"
#include "linalg/target_clones.hpp"
#include "models/glm_rows.hpp"
#include "models/logistic_rows.hpp"
#include "models/shape_checks.hpp"
#include "models/share_pass.hpp"
#include "models/step_accumulator.hpp"

namespace tallyfit {

namespace {

using linalg::Index;
using namespace glm_rows;

using RowFunction = bool (*)(Index, const BlockIn &, BlockOut);

// A pair's row loop, and the one with the C library's exp and log that redoes a block whose
// deviance came out NaN from the fast one (nullptr: the fast one is that one already).
struct RowPolicy {
    RowFunction fast;
    RowFunction exact = nullptr;
};

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

// The block's values of v, in place when contiguous, else copied into buffer.
const double *contiguous(const linalg::VectorView &v, Index first, Index count,
                         linalg::Vector &buffer) {
    if (v.stride == 1) {
        return v.data + first;
    }
    for (Index r = 0; r < count; ++r) {
        buffer[r] = v[first + r];
    }
    return buffer.data();
}

// The buffers of one block of rows.
struct BlockRows {
    explicit BlockRows(Index rows)
        : eta(rows), y(rows), prior(rows, 1.0), offset(rows), deviance(rows), residual(rows),
          root_weight(rows) {}
    linalg::Vector eta;
    linalg::Vector y;      // copies of strided inputs; prior all 1 and offset all 0 without
    linalg::Vector prior;  // weights or offset
    linalg::Vector offset; //
    linalg::Vector deviance;
    linalg::Vector residual; // w z
    linalg::Vector root_weight;
};
inline constexpr Index block_vectors = 8; // the seven above and the extended column

// What every block of a pass reads.
struct PassInput {
    const linalg::MatrixView &x;
    const linalg::VectorView &y;
    const linalg::VectorView &beta;
    const std::optional<linalg::VectorView> &prior;
    const std::optional<linalg::VectorView> &offset;
    RowPolicy policy;
};

// The block of rows [first, first + count): its deviance into `deviance`, its share of the
// normal equations into the accumulator; true when some eta or mu is invalid.
template <class Accumulator>
bool add_block(const PassInput &input, Index first, Index count, bool own_product, BlockRows &block,
               Accumulator &accumulator, double &deviance) {
    const linalg::MatrixView &x = input.x;
    const linalg::MatrixView rows{x.data + first * x.row_stride, count, x.cols, x.row_stride,
                                  x.col_stride};
    double *eta = block.eta.data();
    if (x.cols == 0) {
        std::fill_n(eta, count, 0.0);
    } else if (own_product) {
        linalg::matvec_without_blas_into(rows, input.beta, eta);
    } else {
        linalg::matvec_into(rows, input.beta, eta);
    }
    const BlockIn in{
        eta, contiguous(input.y, first, count, block.y),
        input.prior ? contiguous(*input.prior, first, count, block.prior) : block.prior.data(),
        input.offset ? contiguous(*input.offset, first, count, block.offset) : block.offset.data()};
    if (input.offset) {
        for (Index r = 0; r < count; ++r) {
            eta[r] += in.offset[r];
        }
    }
    const BlockOut out{block.deviance.data(), block.residual.data(), block.root_weight.data()};
    bool invalid = input.policy.fast(count, in, out);
    double sum = row_loops::sum(count, out.deviance);
    if (std::isnan(sum) && input.policy.exact != nullptr) {
        // A log's argument outside the fast log's range, or a genuine NaN.
        invalid = input.policy.exact(count, in, out);
        sum = row_loops::sum(count, out.deviance);
    }
    deviance += sum;
    accumulator.add(rows, out.residual, out.root_weight);
    return invalid;
}

} // namespace

// One read of X, a block of rows at a time: eta, the row loop, and the block's share of the
// normal equations while its rows are still in the cache; shares of blocks on this process's
// threads (models/share_pass.hpp). eta is taken by the BLAS where it can run on each of our
// threads alone, else (for the fused accumulator, which calls no BLAS) column by column.
GlmPass glm_pass(const linalg::MatrixView &x, const linalg::VectorView &y,
                 const linalg::VectorView &beta, GlmFamily family, GlmLink link,
                 const std::optional<linalg::VectorView> &prior,
                 const std::optional<linalg::VectorView> &offset) {
    require_size("glm pass", y, x.rows, "y");
    require_size("glm pass", beta, x.cols, "beta");
    if (prior) {
        require_size("glm pass", *prior, x.rows, "the prior weights");
    }
    if (offset) {
        require_size("glm pass", *offset, x.rows, "the offset");
    }
    const PassInput input{x, y, beta, prior, offset, policy_for(family, link)};
    linalg::element_count(x.cols, x.cols);
    const Index block_rows = linalg::gram_block_rows(x, block_vectors);
    const bool fused = fused_runs_faster(x.cols);
    const bool own_product = fused && !linalg::blas_threads_per_caller();
    auto add = [&](BlockRows &block, Index first, Index count, StepAccumulator *accumulator,
                   double &deviance, bool &invalid) {
        invalid =
            add_block(input, first, count, own_product, block, *accumulator, deviance) || invalid;
    };
    SharePassSums sums = pass_over_shares<BlockRows>(x, block_rows, true, !own_product, add);
    GlmPass pass;
    pass.deviance = sums.sum;
    pass.gram = linalg::finish_weighted_gram(std::move(*sums.gram), std::nullopt);
    pass.valid = !sums.flagged;
    return pass;
}

} // namespace tallyfit
