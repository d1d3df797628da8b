// A pass over the rows of X share by share (linalg/row_shares.hpp), for the passes of the fits:
// the blocks of each share add to a sum (a deviance, a log-likelihood), a flag and, when asked
// for, the normal equations, on one thread; the shares' totals are added in row order as soon as
// every share before them is in, so that at most a few shares' sums are held at once.
#pragma once

#include <algorithm>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "linalg/array.hpp"
#include "linalg/row_shares.hpp"
#include "linalg/view.hpp"
#include "linalg/weighted_gram.hpp"
#include "models/step_accumulator.hpp"

namespace tallyfit {

struct SharePassSums {
    double sum = 0.0;                         // of the blocks' sums
    bool flagged = false;                     // whether some block raised its flag
    std::optional<linalg::WeightedGram> gram; // t and the upper triangle of H (lower one zero)
};

// add_block(buffers, first, count, accumulator, sum, flagged) adds the block of rows
// [first, first + count) of x: to `sum`, to `flagged` and, with_gram, to the accumulator (else
// nullptr). Each thread has its own Buffers(block_rows) and Accumulator(x, block_rows), whose
// take_upper_sums() gives the sums of a share and starts again from zero. calls_blas says
// whether add_block calls the BLAS (see share_threads).
template <class Buffers, class Accumulator = StepAccumulator, class AddBlock>
SharePassSums pass_over_shares(const linalg::MatrixView &x, linalg::Index block_rows,
                               bool with_gram, bool calls_blas, const AddBlock &add_block) {
    using linalg::Index;
    const linalg::RowShares shares = linalg::row_shares(x, block_rows);
    const Index count = shares.count();
    const unsigned threads = linalg::share_threads(count, calls_blas);
    std::vector<std::optional<Buffers>> buffers(threads);
    std::vector<std::optional<Accumulator>> accumulators(threads);

    SharePassSums pass;
    if (with_gram) {
        pass.gram = linalg::WeightedGram{linalg::Matrix(x.cols, x.cols), linalg::Vector(x.cols)};
    }
    std::mutex adding;
    std::vector<std::optional<SharePassSums>> pending(static_cast<std::size_t>(count));
    Index next_to_add = 0;
    auto add_in_order = [&](Index share, SharePassSums sums) {
        const std::lock_guard<std::mutex> lock(adding);
        pending[static_cast<std::size_t>(share)] = std::move(sums);
        for (; next_to_add < count && pending[static_cast<std::size_t>(next_to_add)];
             ++next_to_add) {
            std::optional<SharePassSums> &done = pending[static_cast<std::size_t>(next_to_add)];
            pass.sum += done->sum;
            pass.flagged = pass.flagged || done->flagged;
            if (with_gram) {
                const Index size = x.cols * x.cols;
                for (Index i = 0; i < size; ++i) {
                    pass.gram->h.data()[i] += done->gram->h.data()[i];
                }
                for (Index j = 0; j < x.cols; ++j) {
                    pass.gram->t[j] += done->gram->t[j];
                }
            }
            done.reset();
        }
    };
    linalg::run_shares(count, threads, [&](Index share, unsigned thread) {
        std::optional<Buffers> &own = buffers[thread];
        if (!own) {
            own.emplace(block_rows);
        }
        Accumulator *accumulator = nullptr;
        if (with_gram) {
            std::optional<Accumulator> &own_accumulator = accumulators[thread];
            if (!own_accumulator) {
                own_accumulator.emplace(x, block_rows);
            }
            accumulator = &*own_accumulator;
        }
        SharePassSums sums;
        const Index end = shares.end(share);
        for (Index first = shares.first(share); first < end; first += block_rows) {
            add_block(*own, first, std::min(block_rows, end - first), accumulator, sums.sum,
                      sums.flagged);
        }
        if (accumulator != nullptr) {
            sums.gram = accumulator->take_upper_sums();
        }
        add_in_order(share, std::move(sums));
    });
    return pass;
}

} // namespace tallyfit
