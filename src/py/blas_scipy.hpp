// BLAS/LAPACK from SciPy: its Cython modules export the Fortran routines as capsules.
#pragma once

namespace tallyfit::py {

// Registers the SciPy loader with the kernels; SciPy is imported only when a kernel first
// needs a routine, so importing the module alone never imports SciPy.
void install_scipy_blas_loader();

} // namespace tallyfit::py
