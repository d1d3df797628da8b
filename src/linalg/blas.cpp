#include "linalg/blas.hpp"

#include <atomic>
#include <mutex>

namespace tallyfit::linalg {

namespace {

std::atomic<BlasLoader> registered_loader{nullptr};

BlasRoutines bound_routines;
std::atomic<bool> routines_bound{false};
std::mutex binding_mutex;

bool complete(const BlasRoutines &routines) {
    return routines.dgemm && routines.dgemv && routines.ddot && routines.dsyrk && routines.dgetrf &&
           routines.dgetri;
}

Result<BlasRoutines, std::string> find_routines() {
#ifdef TALLYFIT_SYSTEM_BLAS
    return detail::system_blas_routines();
#else
    BlasLoader loader = registered_loader.load();
    if (loader == nullptr) {
        return err(std::string("no BLAS/LAPACK provider is registered"));
    }
    return loader();
#endif
}

BlasRoutines load_routines() {
    Result<BlasRoutines, std::string> found = find_routines();
    if (!found) {
        throw BlasUnavailable(found.error());
    }
    if (!complete(found.value())) {
        throw BlasUnavailable("the BLAS/LAPACK provider lacks a routine");
    }
    return found.value();
}

} // namespace

void set_blas_loader(BlasLoader loader) { registered_loader.store(loader); }

const BlasRoutines &blas() {
    if (routines_bound.load(std::memory_order_acquire)) {
        return bound_routines;
    }
    // The loader runs outside the lock: it may import Python modules, which can let other
    // threads run, and one of them may get here too. Every loader call yields the same
    // routines, so the first to finish stores them.
    BlasRoutines loaded = load_routines();
    std::lock_guard<std::mutex> lock(binding_mutex);
    if (!routines_bound.load(std::memory_order_relaxed)) {
        bound_routines = loaded;
        routines_bound.store(true, std::memory_order_release);
    }
    return bound_routines;
}

OneBlasThread::OneBlasThread() {
    SetLocalThreadsRoutine set = nullptr;
    try {
        set = blas().set_local_threads;
    } catch (const BlasUnavailable &) {
        return; // whoever calls a routine reports it
    }
    if (set != nullptr) {
        previous_ = set(1);
        engaged_ = true;
    }
}

OneBlasThread::~OneBlasThread() {
    if (engaged_) {
        // 0 (none set) restores the process-wide count
        blas().set_local_threads(previous_);
    }
}

void keep_blas_calls_on_this_thread() {
    const BlasRoutines &routines = blas(); // bound already: the calling thread made a OneBlasThread
    if (routines.set_local_threads != nullptr) {
        routines.set_local_threads(1);
    }
}

bool blas_threads_per_caller() { return blas().set_local_threads != nullptr; }

} // namespace tallyfit::linalg
