// A 4 x 4 block of doubles transposed in four vector registers: two rounds of shuffles within
// 256-bit registers, which cost a fraction of the full-width ones on some processors.
#pragma once

namespace tallyfit::linalg {

// Four doubles in one register (GCC's and Clang's vector extension; split into narrower
// registers where the instruction set has none this wide).
using QuarterVector = double __attribute__((vector_size(4 * sizeof(double))));

// a, b, c, d are the rows of the block on entry and its columns on return.
[[gnu::always_inline]] inline void transpose_in_registers(QuarterVector &a, QuarterVector &b,
                                                          QuarterVector &c, QuarterVector &d) {
    const QuarterVector t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6);
    const QuarterVector t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
    const QuarterVector t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6);
    const QuarterVector t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
    a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

} // namespace tallyfit::linalg
