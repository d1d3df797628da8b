// Passes over the rows of X on this process's own threads. The rows are cut into shares of
// whole blocks whose boundaries depend on X's shape alone, and a thread that is free takes the
// next share from an atomic counter: a core kept busy by other work simply takes fewer of them
// (threads statically split, as the BLAS's, all wait for the slowest core). Each share is summed
// on one thread and the callers add the shares' sums in row order, so that results depend
// neither on the number of threads nor on which thread took which share.
#pragma once

#include <algorithm>
#include <functional>

#include "linalg/view.hpp"

namespace tallyfit::linalg {

// A share holds about this many bytes of X: enough rows that the sums of one share cost
// little beside its rows, and small enough that a busy core holds back at most a few shares.
inline constexpr Index share_bytes = Index{4} << 20;

// Never more threads than this for one pass.
inline constexpr unsigned max_share_threads = 64;

struct RowShares {
    Index rows = 0;       // of X
    Index share_rows = 1; // a whole number of blocks

    Index count() const { return (rows + share_rows - 1) / share_rows; }
    Index first(Index share) const { return share * share_rows; }
    Index end(Index share) const { return std::min(rows, first(share) + share_rows); }
};

// The shares of X's rows for blocks of block_rows rows (at least one block a share).
RowShares row_shares(const MatrixView &x, Index block_rows);

// The threads a pass of `shares` shares runs on: TALLYFIT_THREADS when it holds a count from 1
// to max_share_threads (to time or test one; read at every pass), else the processor's cores;
// never more than the shares. A pass whose shares call the BLAS takes one thread where the BLAS
// cannot run a thread's calls on that thread alone (blas_threads_per_caller).
unsigned share_threads(Index shares, bool calls_blas);

// Calls work(share, thread) once for every share in [0, shares) on `threads` threads (the
// calling one is thread 0). Unless the whole pass is one share on the calling thread alone (and
// TALLYFIT_THREADS is unset), every thread's BLAS calls run on it alone (OneBlasThread), so that
// a share's sums come out the same whatever the threads. The first exception stops the other
// threads after their current share and is rethrown here.
void run_shares(Index shares, unsigned threads, const std::function<void(Index, unsigned)> &work);

} // namespace tallyfit::linalg
