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

template <class Gram = linalg::WeightedGram> struct SharePassSums {
    double sum = 0.0;         // of the blocks' sums
    bool flagged = false;     // whether some block raised its flag
    std::optional<Gram> gram; // t and the upper triangle of H (lower one zero)
};

inline void add_sums(linalg::WeightedGram &total, const linalg::WeightedGram &part) {
    const linalg::Index size = total.h.rows() * total.h.cols();
    for (linalg::Index i = 0; i < size; ++i) {
        total.h.data()[i] += part.h.data()[i];
    }
    for (linalg::Index j = 0; j < total.t.size(); ++j) {
        total.t[j] += part.t[j];
    }
}

// add_block(buffers, first, count, accumulator, sum, flagged) adds the block of rows
// [first, first + count) of x: to `sum`, to `flagged` and, with_gram, to the accumulator (else
// nullptr). Each thread has its own Buffers(block_rows) and Accumulator(x, block_rows), whose
// take_upper_sums() gives the sums of a share and starts again from zero; add_sums(total, part)
// adds a share's to the total. calls_blas says whether add_block calls the BLAS (see
// share_threads).
// An accumulator made in place by a factory (optional::emplace constructs it from this, the
// factory's result elided into it: an accumulator need not be movable).
template <class Accumulator, class Make> struct Made {
    const Make &make;
    operator Accumulator() const { return make(); }
};

// make_accumulator() makes a thread's accumulator.
template <class Buffers, class Accumulator, class AddBlock, class MakeAccumulator>
auto pass_over_shares(const linalg::MatrixView &x, linalg::Index block_rows, bool with_gram,
                      bool calls_blas, const AddBlock &add_block,
                      const MakeAccumulator &make_accumulator) {
    using linalg::Index;
    using Gram = decltype(std::declval<Accumulator &>().take_upper_sums());
    const linalg::RowShares shares = linalg::row_shares(x, block_rows);
    const Index count = shares.count();
    const unsigned threads = linalg::share_threads(count, calls_blas);
    std::vector<std::optional<Buffers>> buffers(threads);
    std::vector<std::optional<Accumulator>> accumulators(threads);

    SharePassSums<Gram> pass;
    std::mutex adding;
    std::vector<std::optional<SharePassSums<Gram>>> pending(static_cast<std::size_t>(count));
    Index next_to_add = 0;
    auto add_in_order = [&](Index share, SharePassSums<Gram> sums) {
        const std::lock_guard<std::mutex> lock(adding);
        pending[static_cast<std::size_t>(share)] = std::move(sums);
        for (; next_to_add < count && pending[static_cast<std::size_t>(next_to_add)];
             ++next_to_add) {
            std::optional<SharePassSums<Gram>> &done =
                pending[static_cast<std::size_t>(next_to_add)];
            pass.sum += done->sum;
            pass.flagged = pass.flagged || done->flagged;
            if (with_gram && pass.gram) {
                add_sums(*pass.gram, *done->gram);
            } else if (with_gram) {
                pass.gram = std::move(done->gram);
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
                own_accumulator.emplace(Made<Accumulator, MakeAccumulator>{make_accumulator});
            }
            accumulator = &*own_accumulator;
        }
        SharePassSums<Gram> sums;
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
    if (with_gram && !pass.gram) { // no rows: the sums of none
        pass.gram = make_accumulator().take_upper_sums();
    }
    return pass;
}

template <class Buffers, class Accumulator = StepAccumulator, class AddBlock>
auto pass_over_shares(const linalg::MatrixView &x, linalg::Index block_rows, bool with_gram,
                      bool calls_blas, const AddBlock &add_block) {
    return pass_over_shares<Buffers, Accumulator>(x, block_rows, with_gram, calls_blas, add_block,
                                                  [&] { return Accumulator(x, block_rows); });
}

} // namespace tallyfit
