#include "linalg/narrow_gram.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "linalg/target_clones.hpp"
#include "linalg/transpose_four.hpp"

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

// Four rows of four columns, row-major at `rows` (rows `stride` apart), into the block's
// columns at `columns` (columns `block_rows` apart).
[[gnu::always_inline]] inline void transpose_four(const double *rows, Index stride, double *columns,
                                                  Index block_rows) {
    constexpr std::size_t bytes = sizeof(QuarterVector);
    QuarterVector r0, r1, r2, r3;
    std::memcpy(&r0, rows, bytes);
    std::memcpy(&r1, rows + stride, bytes);
    std::memcpy(&r2, rows + 2 * stride, bytes);
    std::memcpy(&r3, rows + 3 * stride, bytes);
    transpose_in_registers(r0, r1, r2, r3);
    std::memcpy(columns, &r0, bytes);
    std::memcpy(columns + block_rows, &r1, bytes);
    std::memcpy(columns + 2 * block_rows, &r2, bytes);
    std::memcpy(columns + 3 * block_rows, &r3, bytes);
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

// Columns are taken this many at a time: the tile of a group and four columns to its right
// holds twelve sums, one per product, in registers beside the group's three columns and the one
// being read (sixteen vector registers with AVX2). Twelve independent sums keep both
// multiply-add units busy through their latency, and each column to the right is read once per
// three products; two columns by four (eight sums) ran at about half the processor's rate.
constexpr Index group = 3;

// The products of the group's three columns with the column at `b`, added to their sums.
[[gnu::always_inline]] inline void add_products(LaneVector &s0, LaneVector &s1, LaneVector &s2,
                                                const LaneVector &x0, const LaneVector &x1,
                                                const LaneVector &x2, const double *b) {
    LaneVector z;
    load_lanes(z, b);
    s0 += x0 * z;
    s1 += x1 * z;
    s2 += x2 * z;
}

// H's rows j .. j + group - 1 and the `width` columns from `first` of the block: the sums of
// a_i * b per lane, added row by row. The sums are named variables, not an array, so that the
// compiler keeps them in registers.
template <int width>
[[gnu::always_inline]] inline void add_tile(const double *a0, const double *a1, const double *a2,
                                            const double *first, Index block_rows, Index rows,
                                            double *h, Index h_row) {
    static_assert(width >= 1 && width <= 4);
    const double *b[4] = {first, first + block_rows, first + 2 * block_rows,
                          first + 3 * block_rows};
    // Each sum goes on from the accumulator's: every lane adds its rows in row order across
    // the blocks, whatever their size.
    LaneVector s[group][4] = {};
    for (int i = 0; i < group; ++i) {
        for (int k = 0; k < width; ++k) {
            load_lanes(s[i][k], h + i * h_row + k * lanes);
        }
    }
    LaneVector s00 = s[0][0], s01 = s[0][1], s02 = s[0][2], s03 = s[0][3];
    LaneVector s10 = s[1][0], s11 = s[1][1], s12 = s[1][2], s13 = s[1][3];
    LaneVector s20 = s[2][0], s21 = s[2][1], s22 = s[2][2], s23 = s[2][3];
    for (Index r = 0; r < rows; r += lanes) {
        LaneVector x0, x1, x2;
        load_lanes(x0, a0 + r);
        load_lanes(x1, a1 + r);
        load_lanes(x2, a2 + r);
        add_products(s00, s10, s20, x0, x1, x2, b[0] + r);
        if constexpr (width > 1) {
            add_products(s01, s11, s21, x0, x1, x2, b[1] + r);
        }
        if constexpr (width > 2) {
            add_products(s02, s12, s22, x0, x1, x2, b[2] + r);
        }
        if constexpr (width > 3) {
            add_products(s03, s13, s23, x0, x1, x2, b[3] + r);
        }
    }
    const LaneVector sums[group][4] = {
        {s00, s01, s02, s03}, {s10, s11, s12, s13}, {s20, s21, s22, s23}};
    for (int i = 0; i < group; ++i) {
        for (int k = 0; k < width; ++k) {
            store_lanes(h + i * h_row + k * lanes, sums[i][k]);
        }
    }
}

// t += X^T v and the upper triangle of H += X^T W X, lane by lane, for a block's columns,
// which are scaled by sqrt(w) in place on the way. The groups of columns go from the last to
// the first: a group's own tile takes X^T v from its columns and scales them, and the tiles to
// its right find their columns scaled already. Every sum adds its rows in row order, whatever
// the tiles.
TALLYFIT_TARGET_CLONES void add_moments_and_gram(Index padded_columns, Index rows, double *columns,
                                                 Index block_rows, const double *residual,
                                                 const double *root_weight, double *t_lanes,
                                                 double *h_lanes) {
    const Index h_row = padded_columns * lanes;
    for (Index j = padded_columns - group; j >= 0; j -= group) {
        double *a0 = columns + j * block_rows;
        double *a1 = a0 + block_rows;
        double *a2 = a1 + block_rows;
        {
            double *h_jj = h_lanes + j * h_row + j * lanes;
            LaneVector t0, t1, t2, h00, h01, h02, h11, h12, h22;
            load_lanes(t0, t_lanes + j * lanes);
            load_lanes(t1, t_lanes + (j + 1) * lanes);
            load_lanes(t2, t_lanes + (j + 2) * lanes);
            load_lanes(h00, h_jj);
            load_lanes(h01, h_jj + lanes);
            load_lanes(h02, h_jj + 2 * lanes);
            load_lanes(h11, h_jj + h_row + lanes);
            load_lanes(h12, h_jj + h_row + 2 * lanes);
            load_lanes(h22, h_jj + 2 * h_row + 2 * lanes);
            for (Index r = 0; r < rows; r += lanes) {
                LaneVector x0, x1, x2, v, scale;
                load_lanes(x0, a0 + r);
                load_lanes(x1, a1 + r);
                load_lanes(x2, a2 + r);
                load_lanes(v, residual + r);
                load_lanes(scale, root_weight + r);
                t0 += x0 * v;
                t1 += x1 * v;
                t2 += x2 * v;
                x0 *= scale;
                x1 *= scale;
                x2 *= scale;
                store_lanes(a0 + r, x0);
                store_lanes(a1 + r, x1);
                store_lanes(a2 + r, x2);
                h00 += x0 * x0;
                h01 += x0 * x1;
                h02 += x0 * x2;
                h11 += x1 * x1;
                h12 += x1 * x2;
                h22 += x2 * x2;
            }
            store_lanes(t_lanes + j * lanes, t0);
            store_lanes(t_lanes + (j + 1) * lanes, t1);
            store_lanes(t_lanes + (j + 2) * lanes, t2);
            store_lanes(h_jj, h00);
            store_lanes(h_jj + lanes, h01);
            store_lanes(h_jj + 2 * lanes, h02);
            store_lanes(h_jj + h_row + lanes, h11);
            store_lanes(h_jj + h_row + 2 * lanes, h12);
            store_lanes(h_jj + 2 * h_row + 2 * lanes, h22);
        }
        Index k = j + group;
        for (; k + 4 <= padded_columns; k += 4) {
            add_tile<4>(a0, a1, a2, columns + k * block_rows, block_rows, rows,
                        h_lanes + j * h_row + k * lanes, h_row);
        }
        double *h_rest = h_lanes + j * h_row + k * lanes;
        const double *rest = columns + k * block_rows;
        switch (padded_columns - k) {
        case 3:
            add_tile<3>(a0, a1, a2, rest, block_rows, rows, h_rest, h_row);
            break;
        case 2:
            add_tile<2>(a0, a1, a2, rest, block_rows, rows, h_rest, h_row);
            break;
        case 1:
            add_tile<1>(a0, a1, a2, rest, block_rows, rows, h_rest, h_row);
            break;
        default:
            break;
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
    : width_(columns), padded_columns_(round_up(std::max<Index>(columns, 1), group)),
      block_rows_(narrow_block_rows(max_rows, std::max<Index>(columns, 1))),
      column_storage_(block_rows_ * padded_columns_ + lanes), residual_(block_rows_),
      root_weight_(block_rows_), h_lanes_(padded_columns_ * padded_columns_ * lanes),
      t_lanes_(padded_columns_ * lanes) {}

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
        add_moments_and_gram(padded_columns_, padded, columns(), block_rows_, v, scale,
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
            gram.h(j, k) = lane_total(h_lanes_.data() + (j * padded_columns_ + k) * lanes);
        }
    }
    return gram;
}

} // namespace tallyfit::linalg
