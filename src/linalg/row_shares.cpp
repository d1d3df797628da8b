#include "linalg/row_shares.hpp"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

#include "linalg/blas.hpp"

namespace tallyfit::linalg {

namespace {

// TALLYFIT_THREADS as a thread count; nullopt when unset or not a count in range (the default
// then applies: the variable only ever narrows or widens a pass, never fails one).
std::optional<unsigned> requested_threads() {
    const char *value = std::getenv("TALLYFIT_THREADS");
    if (value == nullptr) {
        return std::nullopt;
    }
    unsigned count = 0;
    const char *end = value + std::strlen(value);
    const auto [stop, error] = std::from_chars(value, end, count);
    if (error != std::errc() || stop != end || count < 1 || count > max_share_threads) {
        return std::nullopt;
    }
    return count;
}

} // namespace

RowShares row_shares(const MatrixView &x, Index block_rows) {
    const Index columns = std::max<Index>(x.cols, 1);
    const Index wanted =
        std::max<Index>(1, share_bytes / static_cast<Index>(sizeof(double)) / columns / block_rows);
    return RowShares{x.rows, wanted * block_rows};
}

unsigned share_threads(Index shares, bool calls_blas) {
    if (shares <= 1 || (calls_blas && !blas_threads_per_caller())) {
        return 1;
    }
    const unsigned threads =
        requested_threads().value_or(std::max(1u, std::thread::hardware_concurrency()));
    return static_cast<unsigned>(
        std::min<Index>({static_cast<Index>(threads), shares, Index{max_share_threads}}));
}

void run_shares(Index shares, unsigned threads, const std::function<void(Index, unsigned)> &work) {
    if (threads <= 1 && shares <= 1 && !requested_threads()) {
        // One share on the calling thread: the BLAS keeps its own threads for it.
        for (Index share = 0; share < shares; ++share) {
            work(share, 0);
        }
        return;
    }
    threads = std::max(1u, threads);
    // The calling thread keeps its BLAS to itself for the whole pass and restores its count
    // after every thread has joined; the other threads only set theirs, and end with the pass.
    // (In some OpenBLAS builds the per-thread count is the process's: restoring it from each
    // thread in turn would leave the count of whichever thread restored last.)
    const OneBlasThread calling_thread;
    std::vector<std::exception_ptr> errors(threads);
    std::atomic<Index> next{0};
    auto take_shares = [&](unsigned thread) {
        try {
            if (thread != 0) {
                keep_blas_calls_on_this_thread();
            }
            for (Index share = next.fetch_add(1); share < shares; share = next.fetch_add(1)) {
                work(share, thread);
            }
        } catch (...) {
            errors[thread] = std::current_exception();
            next.store(shares); // the other threads stop after their current share
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    for (unsigned t = 1; t < threads; ++t) {
        pool.emplace_back(take_shares, t);
    }
    take_shares(0);
    for (auto &thread : pool) {
        thread.join();
    }
    for (const auto &error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
}

} // namespace tallyfit::linalg
