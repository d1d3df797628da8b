// Hot loops compiled once per instruction set: GCC builds AVX-512 and AVX2-with-FMA versions
// besides the x86-64 baseline and picks the one the processor has when the module loads, so
// that the loops run two to four times as many values per instruction where they can.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define TALLYFIT_TARGET_CLONES                                                                     \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define TALLYFIT_TARGET_CLONES
#endif
