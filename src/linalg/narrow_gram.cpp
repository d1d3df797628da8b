#include "linalg/narrow_gram.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "linalg/target_clones.hpp"

namespace tallyfit::linalg {

namespace {

// Every sum over rows is kept in this many interleaved partial sums, one vector register wide
// with AVX2 (and half of one with AVX-512); blocks are padded with zero rows to a multiple of
// it. Eight lanes, one AVX-512 register, ran ten times slower on an AVX2 processor, where GCC
// carries a vector wider than the registers through memory.
constexpr Index lanes = 4;

// The column copy of a block stays within this many bytes: inside the second-level cache, which
// the dot products read it from p / 2 times. A block within the first-level cache (24 KiB) had
// only a few dozen rows at 40 columns, and setting up each tile's sums took a fifth of the time:
// 256 KiB ran 1.5 times as fast at 39 columns and 2.2 times at 100 (AMD EPYC). The sums are the
// same whatever the block: each lane adds its rows in row order.
constexpr Index block_bytes = 256 * 1024;
constexpr Index min_block_rows = 64;

// How far ahead of the rows being copied their successors are asked for.
constexpr Index prefetch_bytes = 8 * 1024;

Index round_up(Index value, Index multiple) { return (value + multiple - 1) / multiple * multiple; }

// Rows per block for a width: as many as the byte budget allows, never more than the matrix
// has (rounded up to the lanes).
Index narrow_block_rows(Index max_rows, Index width) {
    const Index budget = std::max(min_block_rows, block_bytes / 8 / width / lanes * lanes);
    return std::min(budget, round_up(max_rows, lanes));
}

// One vector register of lanes (GCC's and Clang's vector extension; split into narrower
// registers where the instruction set has none this wide).
using LaneVector = double __attribute__((vector_size(lanes * sizeof(double))));

using QuarterVector = double __attribute__((vector_size(4 * sizeof(double))));

// Four rows of four columns, row-major at `rows` (rows `stride` apart), into the block's
// columns at `columns` (columns `block_rows` apart): two rounds of shuffles within 256-bit
// registers, which cost a fraction of the full-width ones on some processors.
[[gnu::always_inline]] inline void transpose_four(const double *rows, Index stride, double *columns,
                                                  Index block_rows) {
    constexpr std::size_t bytes = sizeof(QuarterVector);
    QuarterVector r0, r1, r2, r3;
    std::memcpy(&r0, rows, bytes);
    std::memcpy(&r1, rows + stride, bytes);
    std::memcpy(&r2, rows + 2 * stride, bytes);
    std::memcpy(&r3, rows + 3 * stride, bytes);
    const QuarterVector t0 = __builtin_shufflevector(r0, r1, 0, 4, 2, 6);
    const QuarterVector t1 = __builtin_shufflevector(r0, r1, 1, 5, 3, 7);
    const QuarterVector t2 = __builtin_shufflevector(r2, r3, 0, 4, 2, 6);
    const QuarterVector t3 = __builtin_shufflevector(r2, r3, 1, 5, 3, 7);
    const QuarterVector c0 = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    const QuarterVector c1 = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    const QuarterVector c2 = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    const QuarterVector c3 = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
    std::memcpy(columns, &c0, bytes);
    std::memcpy(columns + block_rows, &c1, bytes);
    std::memcpy(columns + 2 * block_rows, &c2, bytes);
    std::memcpy(columns + 3 * block_rows, &c3, bytes);
}

// Rows [first, first + count) of x into the block's columns, followed by zeros up to a whole
// number of lanes.
TALLYFIT_TARGET_CLONES void copy_columns(const MatrixView &x, Index first, Index count,
                                         Index block_rows, double *columns) {
    constexpr Index cache_line = 64 / sizeof(double);
    const Index padded = round_up(count, lanes);
    if (x.col_stride == 1 && x.row_stride != 1) {
        // Row by row in memory: four rows and four columns at a time through registers, the
        // columns after the last multiple of four one by one.
        constexpr Index group = 4;
        const Index whole_columns = x.cols / group * group;
        const Index prefetch_rows = std::max<Index>(16, prefetch_bytes / 8 / x.cols);
        Index r = 0;
        for (; r + group <= count; r += group) {
            const double *rows = x.data + (first + r) * x.row_stride;
            // The rows a few kilobytes ahead are asked for a few at a time, so that their lines
            // arrive while these are shuffled (the hardware's own prefetching is left behind by
            // this access pattern; whole blocks asked for at once did not help).
            if (first + r + prefetch_rows + group <= x.rows) {
                const double *later = rows + prefetch_rows * x.row_stride;
                for (Index i = 0; i < group; ++i) {
                    for (Index j = 0; j < x.cols; j += cache_line) {
                        __builtin_prefetch(later + i * x.row_stride + j);
                    }
                }
            }
            for (Index j = 0; j < whole_columns; j += group) {
                transpose_four(rows + j, x.row_stride, columns + j * block_rows + r, block_rows);
            }
            for (Index i = 0; i < group; ++i) {
                for (Index j = whole_columns; j < x.cols; ++j) {
                    columns[j * block_rows + r + i] = rows[i * x.row_stride + j];
                }
            }
        }
        for (; r < count; ++r) {
            const double *row = x.data + (first + r) * x.row_stride;
            for (Index j = 0; j < x.cols; ++j) {
                columns[j * block_rows + r] = row[j];
            }
        }
    } else {
        for (Index j = 0; j < x.cols; ++j) {
            double *column = columns + j * block_rows;
            const double *in = x.data + j * x.col_stride + first * x.row_stride;
            if (x.row_stride == 1) {
                std::copy_n(in, count, column);
                // The column's next block, for the same reason as above.
                for (Index r = count; r < std::min(2 * count, x.rows - first); r += cache_line) {
                    __builtin_prefetch(in + r);
                }
            } else {
                for (Index r = 0; r < count; ++r) {
                    column[r] = in[r * x.row_stride];
                }
            }
        }
    }
    for (Index j = 0; j < x.cols; ++j) {
        std::fill(columns + j * block_rows + count, columns + j * block_rows + padded, 0.0);
    }
}

[[gnu::always_inline]] inline void load_lanes(LaneVector &to, const double *from) {
    std::memcpy(&to, from, sizeof to);
}

[[gnu::always_inline]] inline void store_lanes(double *to, const LaneVector &from) {
    std::memcpy(to, &from, sizeof from);
}

// Lane sums held in registers while the rows go by, each loaded from and stored back to its
// place in the accumulator.
template <int count> struct LaneSums {
    explicit LaneSums(const std::array<double *, count> &places) : places(places) {
        for (int i = 0; i < count; ++i) {
            load_lanes(sums[i], places[i]);
        }
    }
    ~LaneSums() {
        for (int i = 0; i < count; ++i) {
            store_lanes(places[i], sums[i]);
        }
    }
    LaneSums(const LaneSums &) = delete;
    LaneSums &operator=(const LaneSums &) = delete;

    std::array<double *, count> places;
    std::array<LaneVector, count> sums;
};

// t += X^T v and the upper triangle of H += X^T W X, lane by lane, for a block's columns,
// which are scaled by sqrt(w) in place on the way. Two columns by two columns: four sums from
// four loads per row, against two loads for one sum column by column. The column pairs go from
// the last to the first: the pair's own tile takes X^T v from its two columns and scales them,
// and the tiles to its right find their columns scaled already.
TALLYFIT_TARGET_CLONES void add_moments_and_gram(Index columns_even, Index rows, double *columns,
                                                 Index block_rows, const double *residual,
                                                 const double *root_weight, double *t_lanes,
                                                 double *h_lanes) {
    const Index h_row = columns_even * lanes;
    for (Index j = columns_even - 2; j >= 0; j -= 2) {
        double *a0 = columns + j * block_rows;
        double *a1 = a0 + block_rows;
        {
            double *h_jj = h_lanes + j * h_row + j * lanes;
            LaneSums<5> own({t_lanes + j * lanes, t_lanes + (j + 1) * lanes, h_jj, h_jj + lanes,
                             h_jj + h_row + lanes});
            auto &[t0, t1, h00, h01, h11] = own.sums;
            for (Index r = 0; r < rows; r += lanes) {
                LaneVector x0, x1, v, scale;
                load_lanes(x0, a0 + r);
                load_lanes(x1, a1 + r);
                load_lanes(v, residual + r);
                load_lanes(scale, root_weight + r);
                t0 += x0 * v;
                t1 += x1 * v;
                x0 *= scale;
                x1 *= scale;
                store_lanes(a0 + r, x0);
                store_lanes(a1 + r, x1);
                h00 += x0 * x0;
                h01 += x0 * x1;
                h11 += x1 * x1;
            }
        }
        Index k = j + 2;
        // Two columns by four: eight sums in flight hide the multiply-add's latency, which
        // bounds two by two (four sums) at half the processor's rate; the same products in the
        // same order per sum.
        for (; k + 4 <= columns_even; k += 4) {
            const double *b0 = columns + k * block_rows;
            const double *b1 = b0 + block_rows;
            const double *b2 = b1 + block_rows;
            const double *b3 = b2 + block_rows;
            double *h_jk = h_lanes + j * h_row + k * lanes;
            LaneSums<8> tile({h_jk, h_jk + lanes, h_jk + 2 * lanes, h_jk + 3 * lanes, h_jk + h_row,
                              h_jk + h_row + lanes, h_jk + h_row + 2 * lanes,
                              h_jk + h_row + 3 * lanes});
            auto &[h00, h01, h02, h03, h10, h11, h12, h13] = tile.sums;
            for (Index r = 0; r < rows; r += lanes) {
                LaneVector x0, x1, z0, z1, z2, z3;
                load_lanes(x0, a0 + r);
                load_lanes(x1, a1 + r);
                load_lanes(z0, b0 + r);
                load_lanes(z1, b1 + r);
                load_lanes(z2, b2 + r);
                load_lanes(z3, b3 + r);
                h00 += x0 * z0;
                h01 += x0 * z1;
                h02 += x0 * z2;
                h03 += x0 * z3;
                h10 += x1 * z0;
                h11 += x1 * z1;
                h12 += x1 * z2;
                h13 += x1 * z3;
            }
        }
        for (; k < columns_even; k += 2) {
            const double *b0 = columns + k * block_rows;
            const double *b1 = b0 + block_rows;
            double *h_jk = h_lanes + j * h_row + k * lanes;
            LaneSums<4> tile({h_jk, h_jk + lanes, h_jk + h_row, h_jk + h_row + lanes});
            auto &[h00, h01, h10, h11] = tile.sums;
            for (Index r = 0; r < rows; r += lanes) {
                LaneVector x0, x1, z0, z1;
                load_lanes(x0, a0 + r);
                load_lanes(x1, a1 + r);
                load_lanes(z0, b0 + r);
                load_lanes(z1, b1 + r);
                h00 += x0 * z0;
                h01 += x0 * z1;
                h10 += x1 * z0;
                h11 += x1 * z1;
            }
        }
    }
}

double lane_total(const double *partial) {
    double total = 0.0;
    for (Index l = 0; l < lanes; ++l) {
        total += partial[l];
    }
    return total;
}

} // namespace

NarrowGramAccumulator::NarrowGramAccumulator(Index columns, Index max_rows)
    : width_(columns), columns_even_(round_up(std::max<Index>(columns, 1), 2)),
      block_rows_(narrow_block_rows(max_rows, std::max<Index>(columns, 1))),
      column_storage_(block_rows_ * columns_even_ + lanes), residual_(block_rows_),
      root_weight_(block_rows_), h_lanes_(columns_even_ * columns_even_ * lanes),
      t_lanes_(columns_even_ * lanes) {}

double *NarrowGramAccumulator::columns() {
    const auto address = reinterpret_cast<std::uintptr_t>(column_storage_.data());
    return column_storage_.data() + (-address / sizeof(double)) % lanes;
}

void NarrowGramAccumulator::add(const MatrixView &rows, const double *residual,
                                const double *root_weight) {
    for (Index first = 0; first < rows.rows; first += block_rows_) {
        const Index count = std::min(block_rows_, rows.rows - first);
        const Index padded = round_up(count, lanes);
        copy_columns(rows, first, count, block_rows_, columns());
        const double *v = residual + first;
        const double *scale = root_weight + first;
        if (padded != count) {
            // The zero rows after the last one get zero weights and right-hand sides.
            std::fill(std::copy_n(v, count, residual_.data()), residual_.data() + padded, 0.0);
            std::fill(std::copy_n(scale, count, root_weight_.data()), root_weight_.data() + padded,
                      0.0);
            v = residual_.data();
            scale = root_weight_.data();
        }
        add_moments_and_gram(columns_even_, padded, columns(), block_rows_, v, scale,
                             t_lanes_.data(), h_lanes_.data());
    }
}

WeightedGram NarrowGramAccumulator::finish(const std::optional<VectorView> &diagonal) && {
    return finish_weighted_gram(upper_sums(), diagonal);
}

void NarrowGramAccumulator::clear() {
    std::fill_n(h_lanes_.data(), h_lanes_.size(), 0.0);
    std::fill_n(t_lanes_.data(), t_lanes_.size(), 0.0);
}

WeightedGram NarrowGramAccumulator::upper_sums() const {
    WeightedGram gram{Matrix(width_, width_), Vector(width_)};
    for (Index j = 0; j < width_; ++j) {
        gram.t[j] = lane_total(t_lanes_.data() + j * lanes);
        for (Index k = j; k < width_; ++k) {
            gram.h(j, k) = lane_total(h_lanes_.data() + (j * columns_even_ + k) * lanes);
        }
    }
    return gram;
}

} // namespace tallyfit::linalg
