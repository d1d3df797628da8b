// BLAS/LAPACK from SciPy: its Cython modules export the Fortran routines as capsules.
#pragma once

namespace tallyfit::py {

// Registers the SciPy loader with the kernels; SciPy is imported only when a kernel first
// needs a routine, so importing the module alone never imports SciPy.
void install_scipy_blas_loader();

// Binds the kernels' BLAS/LAPACK now (a no-op once bound); a failure is left for the kernel that
// needs a routine to report.
void bind_blas_if_possible();

} // namespace tallyfit::py
