// The per-row arithmetic of the logistic passes: the probabilities, the log-likelihood terms,
// the weights and the right-hand side, in loops the compiler vectorizes. Included by the files
// that compile these loops for several instruction sets (TALLYFIT_TARGET_CLONES); those files are
// built with floating-point traps and errno off (see CMakeLists.txt).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "linalg/target_clones.hpp"
#include "linalg/view.hpp"

namespace tallyfit::row_loops {

using linalg::Index;
using Bits = std::uint64_t;

// exp and log for the row loops, written without branches or tables so that the compiler
// vectorizes the loops that call them (the C library's are opaque calls, one row at a time).
// Both are within about one unit in the last place of the correctly rounded result.

// e^x, with NaN, overflow to +inf and underflow through the subnormals to 0 as exp has them.
// x = n ln 2 + r with |r| <= ln 2 / 2; e^r by its Taylor polynomial of degree 13 (remainder
// below 1e-17); 2^n applied in two halves so that neither factor leaves the normal range.
inline double row_exp(double x) {
    constexpr double round_shift = 0x1.8p52; // adding it rounds to an integer held in the bits
    constexpr double log2e = 0x1.71547652b82fep0;
    constexpr double ln2_hi = 0x1.62e42fee00000p-1; // n ln2_hi is exact for |n| < 2^11
    constexpr double ln2_lo = 0x1.a39ef35793c76p-33;
    // Comparisons keep a NaN; beyond these bounds the result is +inf or 0 anyway.
    x = x < -746.0 ? -746.0 : (x > 710.0 ? 710.0 : x);
    const double shifted = x * log2e + round_shift;
    const double n = shifted - round_shift;
    const double r = (x - n * ln2_hi) - n * ln2_lo;
    double e = 1.0 / 6227020800.0; // 1/13!
    e = e * r + 1.0 / 479001600.0;
    e = e * r + 1.0 / 39916800.0;
    e = e * r + 1.0 / 3628800.0;
    e = e * r + 1.0 / 362880.0;
    e = e * r + 1.0 / 40320.0;
    e = e * r + 1.0 / 5040.0;
    e = e * r + 1.0 / 720.0;
    e = e * r + 1.0 / 120.0;
    e = e * r + 1.0 / 24.0;
    e = e * r + 1.0 / 6.0;
    e = e * r + 0.5;
    e = e * r + 1.0;
    e = e * r + 1.0;
    // n in [-1076, 1025] from the bits, split as n1 + n2 with both in [-538, 513]. Unsigned
    // arithmetic: a NaN gives garbage here, not undefined behaviour, and its polynomial wins.
    const Bits n_bits = std::bit_cast<Bits>(shifted) - std::bit_cast<Bits>(round_shift);
    const Bits n1 = ((n_bits + 2048) >> 1) - 1024;
    const Bits n2 = n_bits - n1;
    return e * std::bit_cast<double>((n1 + 1023) << 52) * std::bit_cast<double>((n2 + 1023) << 52);
}

// ln x for x in [1e-9, 1] (the clamped probabilities): positive and normal, so no special
// cases. x = 2^k (1 + f) with 1 + f in [sqrt(2)/2, sqrt(2)); ln(1 + f) = 2 atanh(s) with
// s = f / (2 + f) and a minimax polynomial in s^2 (as in FreeBSD's and musl's log).
inline double row_log(double x) {
    constexpr Bits one = 0x3ff0000000000000;
    constexpr Bits sqrt_half = 0x3fe6a09e00000000; // sqrt(2)/2, rounded down
    constexpr double ln2_hi = 6.93147180369123816490e-01;
    constexpr double ln2_lo = 1.90821492927058770002e-10;
    constexpr double lg1 = 6.666666666666735130e-01, lg2 = 3.999999999940941908e-01,
                     lg3 = 2.857142874366239149e-01, lg4 = 2.222219843214978396e-01,
                     lg5 = 1.818357216161805012e-01, lg6 = 1.531383769920937332e-01,
                     lg7 = 1.479819860511658591e-01;
    const Bits shifted = std::bit_cast<Bits>(x) + (one - sqrt_half);
    // The biased exponent k + 1023 as a double, through the bits of 2^52 + k + 1023.
    const double k =
        std::bit_cast<double>((shifted >> 52) | 0x4330000000000000) - (0x1p52 + 1023.0);
    const double f = std::bit_cast<double>((shifted & 0x000fffffffffffff) + sqrt_half) - 1.0;
    const double half_f_squared = 0.5 * f * f;
    const double s = f / (2.0 + f);
    const double z = s * s;
    const double w = z * z;
    const double t1 = w * (lg2 + w * (lg4 + w * lg6));
    const double t2 = z * (lg1 + w * (lg3 + w * (lg5 + w * lg7)));
    const double r = t2 + t1;
    return s * (half_f_squared + r) + k * ln2_lo - half_f_squared + f + k * ln2_hi;
}

// sigma(s) = 1 / (exp(-s) + 1).
inline double sigma(double s) { return 1.0 / (row_exp(-s) + 1.0); }

// The probability as the log-likelihood clamps it, to [1e-9, 0.999999999]; a NaN counts as 1e-9
// (as with fmax and fmin, written as comparisons so that the loops vectorize).
inline double clamped(double mu) {
    const double p = mu > 1e-9 ? mu : 1e-9;
    return p < 0.999999999 ? p : 0.999999999;
}

// mu = sigma(eta) for `count` rows and the log-likelihood terms; with weights also w = (1 - mu)
// mu, the right-hand side w eta + (y - mu) (equal to w z for the working response
// z = eta + (y - mu) / w, and finite where w is 0) and sqrt(w). Written without conditional
// branches, so that the compiler vectorizes the loop (with floating-point traps and errno off
// for this file, see CMakeLists.txt). A 0/1 response needs only the logarithm of
// its own class (the other product is an exact zero); the terms of other responses are left to
// the caller, and whether there are any returned.
template <bool with_weights>
inline bool logistic_rows(Index count, const double *eta, const double *y, double *terms,
                          double *residual, double *root_weight) {
    double other_responses = 0.0;
    for (Index i = 0; i < count; ++i) {
        const double mu = sigma(eta[i]);
        const double p = clamped(mu);
        // p for y = 1, 1 - p for y = 0, exactly.
        terms[i] = row_log(y[i] * p + (1.0 - y[i]) * (1.0 - p));
        other_responses = y[i] * (1.0 - y[i]) != 0.0 ? 1.0 : other_responses;
        if constexpr (with_weights) {
            const double w = (1.0 - mu) * mu;
            residual[i] = w * eta[i] + (y[i] - mu);
            root_weight[i] = std::sqrt(w);
        }
    }
    return other_responses != 0.0;
}

inline void other_response_terms(Index count, const double *eta, const double *y, double *terms) {
    for (Index i = 0; i < count; ++i) {
        if (y[i] != 0.0 && y[i] != 1.0) {
            const double p = clamped(sigma(eta[i]));
            terms[i] = y[i] * std::log(p) + (1.0 - y[i]) * std::log(1.0 - p);
        }
    }
}

// The start: mu = 0.5 and w = 0.25 for every row.
inline void start_rows(Index count, const double *eta, const double *y, double *residual,
                       double *root_weight) {
    for (Index i = 0; i < count; ++i) {
        residual[i] = 0.25 * eta[i] + (y[i] - 0.5);
        root_weight[i] = 0.5;
    }
}

// Sum in eight interleaved partial sums, which the compiler keeps in vector registers.
inline double sum(Index count, const double *values) {
    constexpr Index lanes = 8;
    double partial[lanes] = {};
    Index i = 0;
    for (; i + lanes <= count; i += lanes) {
        for (Index k = 0; k < lanes; ++k) {
            partial[k] += values[i + k];
        }
    }
    double total = 0.0;
    for (; i < count; ++i) {
        total += values[i];
    }
    for (double value : partial) {
        total += value;
    }
    return total;
}

} // namespace tallyfit::row_loops
