// The per-row arithmetic of one IRLS pass of a generalized linear model: R's link functions
// (linkinv, mu.eta, valideta), variance functions, deviance residuals (dev.resids) and validmu,
// each written as R's C code and tallyfit/families.py compute them, clamps included, and the
// row loop that composes a link with a family. The loop is written without conditional
// branches, so that the compiler vectorizes it where the math allows (the file that includes
// this is built with floating-point traps and errno off, see CMakeLists.txt).
#pragma once

#include <cfloat>
#include <cmath>

#include "linalg/view.hpp"
#include "models/logistic_rows.hpp"

namespace tallyfit::glm_rows {

using linalg::Index;

inline constexpr double eps = DBL_EPSILON;
inline constexpr double pi = 3.14159265358979323846;

// exp and log from the C library: exact to the last bit or nearly, one call per row.
struct StdMath {
    static double exp(double x) { return std::exp(x); }
    static double log(double x) { return std::log(x); }
};

// The branch-free exp and log of the logistic loops, which vectorize. row_log holds for a
// positive normal argument only; any other gives NaN, which sends the block to StdMath again.
struct RowMath {
    static double exp(double x) { return row_loops::row_exp(x); }
    static double log(double x) {
        const double l = row_loops::row_log(x);
        // x in [DBL_MIN, DBL_MAX] (NaN is not) as two selects: GCC keeps an && a branch.
        const double bounded = x <= DBL_MAX ? x : 0.0;
        return bounded >= DBL_MIN ? l : NAN;
    }
};

// Whether x is neither infinite nor NaN, as a comparison that vectorizes. The range tests below
// are selects rather than &&: GCC keeps an && of comparisons a branch, and the row loop then
// stays scalar.
inline bool finite(double x) { return x - x == 0.0; }

// ---- links: mu = inverse(eta), dmu/deta = mu_eta(eta), valid(eta) per row (R's valideta) --

struct IdentityLink {
    template <class M> static double inverse(double eta) { return eta; }
    template <class M> static double mu_eta(double) { return 1.0; }
    static bool valid(double) { return true; }
};

struct LogLink {
    template <class M> static double inverse(double eta) {
        const double e = M::exp(eta);
        return e < eps ? eps : e; // NaN stays NaN, as with np.maximum
    }
    template <class M> static double mu_eta(double eta) { return inverse<M>(eta); }
    static bool valid(double) { return true; }
};

struct InverseLink {
    template <class M> static double inverse(double eta) { return 1.0 / eta; }
    template <class M> static double mu_eta(double eta) { return -1.0 / (eta * eta); }
    static bool valid(double eta) { return (finite(eta) ? eta : 0.0) != 0.0; }
};

// R's C logit: |eta| > 30 is clamped, to mu = eps / (1 + eps) or 1 / (1 + eps), and mu.eta = eps.
inline constexpr double logit_threshold = 30.0;

struct LogitLink {
    template <class M> static double inverse(double eta) {
        const double e = eta < -logit_threshold  ? eps
                         : eta > logit_threshold ? 1.0 / eps
                                                 : M::exp(eta);
        return e / (1.0 + e);
    }
    template <class M> static double mu_eta(double eta) {
        const bool outside = std::fabs(eta) > logit_threshold;
        const double e = M::exp(outside ? 0.0 : eta);
        return outside ? eps : e / ((1.0 + e) * (1.0 + e));
    }
    static bool valid(double) { return true; }
};

// -qnorm(eps): eta is clamped to +-this before pnorm.
inline constexpr double probit_threshold = 0x1.04074bdbf8865p+3;

// pnorm as SciPy's ndtr computes it (Cephes): through erf near 0, erfc in the tails.
inline double ndtr(double a) {
    constexpr double sqrt_half = 0.70710678118654752440;
    const double x = a * sqrt_half;
    const double z = std::fabs(x);
    if (z < sqrt_half) {
        return 0.5 + 0.5 * std::erf(x);
    }
    const double y = 0.5 * std::erfc(z);
    return x > 0.0 ? 1.0 - y : y;
}

struct ProbitLink {
    template <class M> static double inverse(double eta) {
        const double t = probit_threshold;
        return ndtr(eta < -t ? -t : (eta > t ? t : eta));
    }
    template <class M> static double mu_eta(double eta) {
        const double d = M::exp(-0.5 * eta * eta) / std::sqrt(2.0 * pi);
        return d < eps ? eps : d;
    }
    static bool valid(double) { return true; }
};

struct CloglogLink {
    template <class M> static double inverse(double eta) {
        const double mu = -std::expm1(-M::exp(eta));
        const double below = mu > 1.0 - eps ? 1.0 - eps : mu;
        return below < eps ? eps : below;
    }
    template <class M> static double mu_eta(double eta) {
        const double e = M::exp(eta > 700.0 ? 700.0 : eta);
        const double d = e * M::exp(-e);
        return d < eps ? eps : d;
    }
    static bool valid(double) { return true; }
};

// -qcauchy(eps) = 1 / tan(pi eps): eta is clamped to +-this before pcauchy.
inline constexpr double cauchit_threshold = 0x1.45f306dc9c883p+50;

struct CauchitLink {
    // R's pcauchy: through atan(1 / x) beyond |x| = 1.
    template <class M> static double inverse(double eta) {
        const double t = cauchit_threshold;
        const double x = eta < -t ? -t : (eta > t ? t : eta);
        if (std::fabs(x) > 1.0) {
            const double y = std::atan(1.0 / x) / pi;
            return x > 0.0 ? 0.5 - y + 0.5 : -y;
        }
        return 0.5 + std::atan(x) / pi;
    }
    template <class M> static double mu_eta(double eta) {
        const double d = 1.0 / (pi * (1.0 + eta * eta));
        return d < eps ? eps : d;
    }
    static bool valid(double) { return true; }
};

struct SqrtLink {
    template <class M> static double inverse(double eta) { return eta * eta; }
    template <class M> static double mu_eta(double eta) { return 2.0 * eta; }
    static bool valid(double eta) { return (finite(eta) ? eta : 0.0) > 0.0; }
};

struct InverseSquareLink {
    template <class M> static double inverse(double eta) { return 1.0 / std::sqrt(eta); }
    template <class M> static double mu_eta(double eta) {
        return -1.0 / (2.0 * std::pow(eta, 1.5));
    }
    static bool valid(double eta) { return (finite(eta) ? eta : 0.0) > 0.0; }
};

// ---- families: variance(mu), dev.resids(y, mu, wt), valid_mu(mu) per row (R's validmu) -----

struct Gaussian {
    static double variance(double) { return 1.0; }
    template <class M> static double deviance(double y, double mu, double wt) {
        const double r = y - mu;
        return wt * (r * r);
    }
    static bool valid_mu(double) { return true; }
};

struct Binomial {
    static double variance(double mu) { return mu * (1.0 - mu); }
    // R's C_binomial_dev_resids.
    template <class M> static double deviance(double y, double mu, double wt) {
        const double a = y != 0.0 ? y * M::log(y / mu) : 0.0;
        const double b = y != 1.0 ? (1.0 - y) * M::log((1.0 - y) / (1.0 - mu)) : 0.0;
        return 2.0 * wt * (a + b);
    }
    static bool valid_mu(double mu) {
        const double m = finite(mu) ? mu : 0.0;
        return (m < 1.0 ? m : 0.0) > 0.0;
    }
};

struct Poisson {
    static double variance(double mu) { return mu; }
    template <class M> static double deviance(double y, double mu, double wt) {
        const double r = y > 0.0 ? wt * (y * M::log(y / mu) - (y - mu)) : mu * wt;
        return 2.0 * r;
    }
    static bool valid_mu(double mu) { return (finite(mu) ? mu : 0.0) > 0.0; }
};

struct Gamma {
    static double variance(double mu) { return mu * mu; }
    // The log term is 0 for y = 0.
    template <class M> static double deviance(double y, double mu, double wt) {
        const double ratio = M::log(y == 0.0 ? 1.0 : y / mu);
        return -2.0 * wt * (ratio - (y - mu) / mu);
    }
    static bool valid_mu(double mu) { return (finite(mu) ? mu : 0.0) > 0.0; }
};

struct InverseGaussian {
    static double variance(double mu) { return mu * mu * mu; }
    template <class M> static double deviance(double y, double mu, double wt) {
        const double r = y - mu;
        return wt * (r * r) / (y * (mu * mu));
    }
    static bool valid_mu(double) { return true; }
};

// ---- the row loop --------------------------------------------------------------------------

// One block's rows, `count` of each; prior and offset always given (ones and zeros when the
// fit has none). eta is X beta + offset.
struct BlockIn {
    const double *eta;
    const double *y;
    const double *prior;
    const double *offset;
};

// Per row: the deviance residual, w z for the working response z = eta - offset + (y - mu) /
// mu.eta and w = prior mu.eta^2 / V(mu), and sqrt(w). Rows of zero prior weight or zero mu.eta
// (not R's `good` rows) get w = 0 and w z = 0.
struct BlockOut {
    double *deviance;
    double *residual;
    double *root_weight;
};

// The rows of `count` for link L, family F and math M; true when some eta is outside the
// link's range or some mu outside the family's (R's valideta and validmu fail).
// Always inlined: a loop compiled once per instruction set (TALLYFIT_TARGET_CLONES) that calls
// this instead runs the baseline's code, and the logit and Gamma loops were not inlined.
template <class L, class F, class M>
[[gnu::always_inline]] inline bool rows(Index count, const BlockIn &given, BlockOut out) {
    // A copy: the stores through `out` might otherwise change the pointers of `given`, which
    // would then be read again for every row, and the loop would not vectorize.
    const BlockIn in = given;
    double invalid = 0.0;
    for (Index i = 0; i < count; ++i) {
        const double eta = in.eta[i];
        const double y = in.y[i];
        const double prior = in.prior[i];
        const double mu = L::template inverse<M>(eta);
        const double mu_eta = L::template mu_eta<M>(eta);
        const double w = prior * (mu_eta * mu_eta / F::variance(mu));
        const double z = (eta - in.offset[i]) + (y - mu) / mu_eta;
        // prior > 0 && mu_eta != 0, written so that GCC vectorizes the loop (it keeps the &&,
        // or an &, of these two comparisons as a branch).
        const double usable = mu_eta != 0.0 ? prior : 0.0;
        const bool good = usable > 0.0;
        out.deviance[i] = F::template deviance<M>(y, mu, prior);
        out.residual[i] = good ? w * z : 0.0;
        out.root_weight[i] = good ? std::sqrt(w) : 0.0;
        invalid = L::valid(eta) ? invalid : 1.0;
        invalid = F::valid_mu(mu) ? invalid : 1.0;
    }
    return invalid != 0.0;
}

} // namespace tallyfit::glm_rows
