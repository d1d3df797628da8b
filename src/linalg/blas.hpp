// The Fortran BLAS/LAPACK routines the kernels use, bound once per process on first use.
//
// By default nothing is linked: a loader registered by the binding layer finds the routines at
// run time (SciPy exports them), so importing the module costs nothing until a fit needs them.
// With TALLYFIT_SYSTEM_BLAS the linked symbols are used and no loader is needed.
#pragma once

#include <stdexcept>
#include <string>

#include "result.hpp"

namespace tallyfit::linalg {

// Fortran interface: every argument by pointer, 32-bit integers, column-major storage. The
// hidden string-length arguments of the character flags are not passed; the one-character
// flags never need them.
using FortranInt = int;

using DgemmRoutine = void (*)(const char *transa, const char *transb, const FortranInt *m,
                              const FortranInt *n, const FortranInt *k, const double *alpha,
                              const double *a, const FortranInt *lda, const double *b,
                              const FortranInt *ldb, const double *beta, double *c,
                              const FortranInt *ldc);
using DgemvRoutine = void (*)(const char *trans, const FortranInt *m, const FortranInt *n,
                              const double *alpha, const double *a, const FortranInt *lda,
                              const double *x, const FortranInt *incx, const double *beta,
                              double *y, const FortranInt *incy);
using DdotRoutine = double (*)(const FortranInt *n, const double *x, const FortranInt *incx,
                               const double *y, const FortranInt *incy);
using DsyrkRoutine = void (*)(const char *uplo, const char *trans, const FortranInt *n,
                              const FortranInt *k, const double *alpha, const double *a,
                              const FortranInt *lda, const double *beta, double *c,
                              const FortranInt *ldc);
using DgetrfRoutine = void (*)(const FortranInt *m, const FortranInt *n, double *a,
                               const FortranInt *lda, FortranInt *ipiv, FortranInt *info);
using DgetriRoutine = void (*)(const FortranInt *n, double *a, const FortranInt *lda,
                               const FortranInt *ipiv, double *work, const FortranInt *lwork,
                               FortranInt *info);

// OpenBLAS's openblas_set_num_threads_local (0.3.27 and later): the number of threads the
// calling thread's own BLAS calls use from now on; returns the number before.
using SetLocalThreadsRoutine = int (*)(int threads);

struct BlasRoutines {
    DgemmRoutine dgemm = nullptr;
    DgemvRoutine dgemv = nullptr;
    DdotRoutine ddot = nullptr;
    DsyrkRoutine dsyrk = nullptr;
    DgetrfRoutine dgetrf = nullptr;
    DgetriRoutine dgetri = nullptr;
    SetLocalThreadsRoutine set_local_threads = nullptr; // optional: not every BLAS has it
};

// No provider could be bound; the message says what to install.
class BlasUnavailable : public std::runtime_error {
  public:
    explicit BlasUnavailable(const std::string &message) : std::runtime_error(message) {}
};

// Finds the routines, or says (as the error) what is missing.
using BlasLoader = Result<BlasRoutines, std::string> (*)();

// Registers the loader that blas() calls until a binding succeeds.
void set_blas_loader(BlasLoader loader);

// The bound routines. The first call binds them; a failed binding throws BlasUnavailable and
// the next call tries again.
const BlasRoutines &blas();

// While alive, the BLAS calls of the thread that made it run on that thread alone, where the
// BLAS lets one thread choose for itself (engaged()); the thread's count before is restored.
// Row shares summed on our own threads use it: a BLAS routine splitting its work statically
// over the BLAS's threads inside each of ours would oversubscribe the cores and wait for the
// slowest of them.
class OneBlasThread {
  public:
    OneBlasThread();
    ~OneBlasThread();
    OneBlasThread(const OneBlasThread &) = delete;
    OneBlasThread &operator=(const OneBlasThread &) = delete;

  private:
    bool engaged_ = false;
    int previous_ = 0;
};

// From now on the calling thread's BLAS calls run on it alone, where the BLAS lets a thread
// choose (for threads that end with the pass that started them; no count is restored).
void keep_blas_calls_on_this_thread();

// Whether the bound BLAS lets a thread run its calls on that thread alone (binds the BLAS).
bool blas_threads_per_caller();

namespace detail {
// The routines of the linked library; defined only in builds with TALLYFIT_SYSTEM_BLAS.
BlasRoutines system_blas_routines();
} // namespace detail

} // namespace tallyfit::linalg
