#include "models/step_accumulator.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "linalg/array.hpp"
#include "linalg/blas.hpp"

namespace tallyfit {

namespace {

using linalg::Index;

// Per width, the accumulator this processor was found to run faster.
enum Choice : signed char { not_measured = 0, through_blas = 1, fused = 2 };
std::array<std::atomic<signed char>, linalg::narrow_gram_width_limit + 1> choices{};

constexpr Index trial_rows = 8192;
constexpr int trial_rounds = 5;

template <class Accumulator> double seconds(const linalg::MatrixView &x, const double *values) {
    const auto start = std::chrono::steady_clock::now();
    Accumulator accumulator(x.cols, x.rows);
    accumulator.add(x, values, values);
    const auto gram = std::move(accumulator).finish(std::nullopt);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return gram.t.size() == x.cols ? took.count() : std::numeric_limits<double>::infinity();
}

// Whether the fused accumulator took less time than the BLAS's over the best of a few rounds
// taken in turn (so that a burst of other work slows both), each on one thread as the passes
// run them.
bool fused_was_faster(const linalg::MatrixView &x, const double *values) {
    const linalg::OneBlasThread one_thread;
    double fused_best = std::numeric_limits<double>::infinity();
    double blas_best = std::numeric_limits<double>::infinity();
    for (int round = 0; round < trial_rounds; ++round) {
        fused_best = std::min(fused_best, seconds<linalg::NarrowGramAccumulator>(x, values));
        blas_best = std::min(blas_best, seconds<linalg::GramAccumulator>(x, values));
    }
    return fused_best < blas_best;
}

} // namespace

bool fused_runs_faster(Index width) {
    if (width > linalg::narrow_gram_width_limit) {
        return false;
    }
    // TALLYFIT_ACCUMULATOR=fused or =blas takes one for every width (to test or time each).
    static const signed char forced = [] {
        const char *value = std::getenv("TALLYFIT_ACCUMULATOR");
        const std::string_view name = value == nullptr ? "" : value;
        return name == "fused" ? fused : name == "blas" ? through_blas : not_measured;
    }();
    if (forced != not_measured) {
        return forced == fused;
    }
    auto &choice = choices[static_cast<std::size_t>(width)];
    const signed char known = choice.load(std::memory_order_relaxed);
    if (known != not_measured) {
        return known == fused;
    }
    // Measured once per width on a block of made-up rows: which is faster depends on the
    // processor's vector units (the fused loops ran at half the BLAS's time on one AVX-512
    // machine and at a tenth of its speed on an AVX2 one), not on the data.
    linalg::Vector x(trial_rows * width);
    linalg::Vector values(trial_rows);
    for (Index i = 0; i < x.size(); ++i) {
        x[i] = static_cast<double>((i * 2654435761u) % 1024u) / 1024.0 - 0.5;
    }
    for (Index i = 0; i < trial_rows; ++i) {
        values[i] = 0.5 + static_cast<double>(i % 7) / 7.0;
    }
    const linalg::MatrixView view{x.data(), trial_rows, width, 1, trial_rows};
    const bool faster = fused_was_faster(view, values.data());
    choice.store(faster ? fused : through_blas, std::memory_order_relaxed);
    return faster;
}

} // namespace tallyfit
