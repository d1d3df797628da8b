#include "models/coded_pass.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "internal_error.hpp"
#include "linalg/array.hpp"
#include "linalg/blas.hpp"
#include "linalg/target_clones.hpp"
#include "linalg/transpose_four.hpp"
#include "linalg/weighted_gram.hpp"
#include "models/glm_block.hpp"
#include "models/shape_checks.hpp"
#include "models/share_pass.hpp"
#include "models/step_accumulator.hpp"

namespace tallyfit {

namespace {

using linalg::Index;

using LaneVector = linalg::QuarterVector;
constexpr Index lanes = 4;

Index round_up(Index value, Index multiple) { return (value + multiple - 1) / multiple * multiple; }

// Where each factor's sums sit. A factor of k levels keeps k + 1 slots per sum: the last one
// takes the rows without a coded level, so that the loops need no branch.
struct CodedLayout {
    explicit CodedLayout(Index dense, const std::vector<Index> &factor_levels)
        : dense_columns(dense), levels(factor_levels), columns(dense),
          row_width(round_up(dense + 2, lanes)) {
        const Index factors = static_cast<Index>(levels.size());
        for (Index f = 0; f < factors; ++f) {
            first_column.push_back(columns);
            columns += levels[f];
            level_offset.push_back(level_size);
            level_size += slots(f) * row_width;
            for (Index g = f + 1; g < factors; ++g) {
                pair_offset.push_back(pair_size);
                pair_size += slots(f) * slots(g);
            }
        }
        linalg::element_count(columns, columns);
        linalg::element_count(level_size);
        linalg::element_count(pair_size);
    }

    Index slots(Index f) const { return levels[static_cast<std::size_t>(f)] + 1; }
    Index factors() const { return static_cast<Index>(levels.size()); }

    Index dense_columns;
    std::vector<Index> levels;
    Index columns; // of the normal equations: dense ones, then the levels
    // A row's weighted values, [w x_1 ... w x_d, w, w z] and zeros to a whole number of lanes.
    Index row_width;
    std::vector<Index> first_column; // of each factor's level 0
    // Per factor, a (k + 1) x row_width row-major table: each level's sums of the rows'
    // weighted values (w x_j for each dense column j, w, and w z).
    std::vector<Index> level_offset;
    Index level_size = 0;
    // Per pair of factors f < g, in order, the (k_f + 1) x (k_g + 1) cross-tabulation of w.
    std::vector<Index> pair_offset;
    Index pair_size = 0;
};

struct CodedSums {
    linalg::WeightedGram dense; // t and the upper triangle of D' W D
    std::vector<double> levels;
    std::vector<double> pairs;
};

void add_to(std::vector<double> &total, const std::vector<double> &part) {
    for (std::size_t i = 0; i < total.size(); ++i) {
        total[i] += part[i];
    }
}

void add_sums(CodedSums &total, const CodedSums &part) {
    if (total.dense.h.rows() > 0) {
        tallyfit::add_sums(total.dense, part.dense);
    }
    add_to(total.levels, part.levels);
    add_to(total.pairs, part.pairs);
}

// The block's rows as [w x_1 ... w x_d, w, v] (v: w z), `width` apart: four rows by four
// columns at a time through registers where the block is column by column in memory. Each
// value is rounded as a product of its own, so that the level sums are those of adding
// w x_j row by row, whatever the instruction set.
TALLYFIT_TARGET_CLONES void weighted_rows(const linalg::MatrixView &rows, const double *weights,
                                          const double *residual, Index width, double *out) {
    const Index count = rows.rows;
    const Index p = rows.cols;
    Index whole_rows = 0;
    Index whole_columns = 0;
    if (rows.row_stride == 1) {
        whole_rows = count / lanes * lanes;
        whole_columns = p / lanes * lanes;
    }
    constexpr std::size_t bytes = sizeof(LaneVector);
    for (Index r = 0; r < whole_rows; r += lanes) {
        LaneVector w;
        std::memcpy(&w, weights + r, bytes);
        for (Index j = 0; j < whole_columns; j += lanes) {
            LaneVector c0, c1, c2, c3;
            const double *x = rows.data + j * rows.col_stride + r;
            std::memcpy(&c0, x, bytes);
            std::memcpy(&c1, x + rows.col_stride, bytes);
            std::memcpy(&c2, x + 2 * rows.col_stride, bytes);
            std::memcpy(&c3, x + 3 * rows.col_stride, bytes);
            c0 *= w;
            c1 *= w;
            c2 *= w;
            c3 *= w;
            linalg::transpose_in_registers(c0, c1, c2, c3);
            double *row = out + r * width + j;
            std::memcpy(row, &c0, bytes);
            std::memcpy(row + width, &c1, bytes);
            std::memcpy(row + 2 * width, &c2, bytes);
            std::memcpy(row + 3 * width, &c3, bytes);
        }
    }
    for (Index r = 0; r < count; ++r) {
        double *row = out + r * width;
        for (Index j = r < whole_rows ? whole_columns : 0; j < p; ++j) {
            row[j] = weights[r] * rows.data[r * rows.row_stride + j * rows.col_stride];
        }
        row[p] = weights[r];
        row[p + 1] = residual[r];
        for (Index j = p + 2; j < width; ++j) {
            row[j] = 0.0;
        }
    }
}

// Each row's weighted values added to its level's row of every factor's table, a register of
// four at a time (one row's level sums add up in row order, as one column's would).
TALLYFIT_TARGET_CLONES void add_level_rows(Index count, Index width, const double *values,
                                           const std::int32_t *codes, Index factors,
                                           double *const *tables) {
    constexpr std::size_t bytes = sizeof(LaneVector);
    for (Index r = 0; r < count; ++r) {
        const double *row = values + r * width;
        for (Index f = 0; f < factors; ++f) {
            double *sums = tables[f] + static_cast<Index>(codes[f * count + r]) * width;
            for (Index j = 0; j < width; j += lanes) {
                LaneVector total, value;
                std::memcpy(&total, sums + j, bytes);
                std::memcpy(&value, row + j, bytes);
                total += value;
                std::memcpy(sums + j, &total, bytes);
            }
        }
    }
}

// A block's rows: the dense pass's buffers, the codes (factor by factor, the rows without a
// level sent to their factor's last slot) and the weights.
struct CodedBlockRows {
    explicit CodedBlockRows(Index rows) : block(rows), weights(rows) {}
    glm_block::BlockRows block;
    std::vector<std::int32_t> codes;
    linalg::Vector weights;
};

class CodedAccumulator {
  public:
    CodedAccumulator(const CodedLayout &layout, const linalg::MatrixView &dense, Index block_rows)
        : layout_(layout), levels_(static_cast<std::size_t>(layout.level_size)),
          pairs_(static_cast<std::size_t>(layout.pair_size)),
          row_block_(static_cast<std::size_t>(block_rows * layout.row_width)) {
        if (layout.dense_columns > 0) {
            dense_.emplace(dense, block_rows);
        }
        set_level_tables();
    }

    void add(const linalg::MatrixView &rows, const std::int32_t *codes, const double *residual,
             const double *root_weight, double *weights) {
        const Index count = rows.rows;
        if (dense_) {
            dense_->add(rows, residual, root_weight);
        }
        for (Index r = 0; r < count; ++r) {
            weights[r] = root_weight[r] * root_weight[r];
        }
        if (layout_.factors() > 0) {
            const Index width = layout_.row_width;
            weighted_rows(rows, weights, residual, width, row_block_.data());
            add_level_rows(count, width, row_block_.data(), codes, layout_.factors(),
                           level_tables_.data());
        }
        std::size_t pair = 0;
        for (Index f = 0; f < layout_.factors(); ++f) {
            for (Index g = f + 1; g < layout_.factors(); ++g, ++pair) {
                const std::int32_t *level_f = codes + f * count;
                const std::int32_t *level_g = codes + g * count;
                const Index lead = layout_.slots(f);
                double *table = pairs_.data() + layout_.pair_offset[pair];
                for (Index r = 0; r < count; ++r) {
                    table[level_f[r] + lead * level_g[r]] += weights[r];
                }
            }
        }
    }

    CodedSums take_upper_sums() {
        CodedSums sums{dense_ ? dense_->take_upper_sums() : linalg::WeightedGram{},
                       std::move(levels_), std::move(pairs_)};
        levels_.assign(static_cast<std::size_t>(layout_.level_size), 0.0);
        pairs_.assign(static_cast<std::size_t>(layout_.pair_size), 0.0);
        set_level_tables();
        return sums;
    }

  private:
    void set_level_tables() {
        level_tables_.clear();
        for (Index f = 0; f < layout_.factors(); ++f) {
            level_tables_.push_back(levels_.data() +
                                    layout_.level_offset[static_cast<std::size_t>(f)]);
        }
    }

    const CodedLayout &layout_;
    std::optional<StepAccumulator> dense_;
    std::vector<double> levels_;
    std::vector<double> pairs_;
    std::vector<double> row_block_;      // the block's weighted rows, row_width apart
    std::vector<double *> level_tables_; // each factor's table in levels_
};

// The block's codes, factor by factor, with -1 sent to the factor's last slot.
void read_codes(const CodedColumns &coded, const CodedLayout &layout, Index first, Index count,
                std::vector<std::int32_t> &out) {
    out.resize(static_cast<std::size_t>(layout.factors() * count));
    for (Index f = 0; f < layout.factors(); ++f) {
        const Index levels = layout.levels[static_cast<std::size_t>(f)];
        std::int32_t *level = out.data() + f * count;
        for (Index r = 0; r < count; ++r) {
            const double code = coded.codes(first + r, f);
            if (!(code >= -1.0 && code < static_cast<double>(levels)) ||
                code != static_cast<double>(static_cast<Index>(code))) {
                throw InternalError("coded glm pass: row " + std::to_string(first + r) +
                                    " of factor " + std::to_string(f) + " has code " +
                                    std::to_string(code));
            }
            level[r] = static_cast<std::int32_t>(code < 0.0 ? levels : code);
        }
    }
}

// The coefficients of each factor's levels, with a 0 in the factor's last slot.
std::vector<double> level_coefficients(const CodedLayout &layout, const linalg::VectorView &beta) {
    std::vector<double> table;
    for (Index f = 0; f < layout.factors(); ++f) {
        const Index first = layout.first_column[static_cast<std::size_t>(f)];
        for (Index c = 0; c < layout.levels[static_cast<std::size_t>(f)]; ++c) {
            table.push_back(beta[first + c]);
        }
        table.push_back(0.0);
    }
    return table;
}

// The normal equations of the whole design, from the dense part's and the codes' sums.
linalg::WeightedGram assemble(const CodedLayout &layout, CodedSums sums) {
    const Index p = layout.dense_columns;
    linalg::WeightedGram whole{linalg::Matrix(layout.columns, layout.columns),
                               linalg::Vector(layout.columns)};
    if (p > 0) {
        const linalg::WeightedGram dense =
            linalg::finish_weighted_gram(std::move(sums.dense), std::nullopt);
        for (Index i = 0; i < p; ++i) {
            whole.t[i] = dense.t[i];
            for (Index j = 0; j < p; ++j) {
                whole.h(i, j) = dense.h(i, j);
            }
        }
    }
    std::size_t pair = 0;
    for (Index f = 0; f < layout.factors(); ++f) {
        const Index lead = layout.slots(f);
        const Index first = layout.first_column[static_cast<std::size_t>(f)];
        const double *table = sums.levels.data() + layout.level_offset[static_cast<std::size_t>(f)];
        for (Index c = 0; c + 1 < lead; ++c) {
            const Index column = first + c;
            const double *level = table + c * layout.row_width;
            whole.h(column, column) = level[p];
            whole.t[column] = level[p + 1];
            for (Index j = 0; j < p; ++j) {
                whole.h(column, j) = whole.h(j, column) = level[j];
            }
        }
        for (Index g = f + 1; g < layout.factors(); ++g, ++pair) {
            const Index first_g = layout.first_column[static_cast<std::size_t>(g)];
            const double *cross = sums.pairs.data() + layout.pair_offset[pair];
            for (Index d = 0; d + 1 < layout.slots(g); ++d) {
                for (Index c = 0; c + 1 < lead; ++c) {
                    whole.h(first + c, first_g + d) = whole.h(first_g + d, first + c) =
                        cross[c + lead * d];
                }
            }
        }
    }
    return whole;
}

} // namespace

// The pass of glm_pass over D's blocks, each block's eta completed from the codes and its
// weights added to the level tables while its rows are in the cache.
GlmPass coded_glm_pass(const linalg::MatrixView &dense, const CodedColumns &coded,
                       const linalg::VectorView &y, const linalg::VectorView &beta,
                       GlmFamily family, GlmLink link,
                       const std::optional<linalg::VectorView> &prior,
                       const std::optional<linalg::VectorView> &offset) {
    const CodedLayout layout(dense.cols, coded.levels);
    if (coded.codes.rows != dense.rows ||
        coded.codes.cols != static_cast<Index>(coded.levels.size())) {
        throw InternalError("coded glm pass: the codes are " + std::to_string(coded.codes.rows) +
                            " x " + std::to_string(coded.codes.cols) + ", not " +
                            std::to_string(dense.rows) + " x " +
                            std::to_string(coded.levels.size()));
    }
    require_pass_rows("coded glm pass", dense.rows, y, prior, offset);
    require_size("coded glm pass", beta, layout.columns, "beta");
    const linalg::VectorView dense_beta{beta.data, dense.cols, beta.stride};
    const glm_block::PassInput input{dense, y,      dense_beta,
                                     prior, offset, glm_block::policy_for(family, link)};
    const std::vector<double> level_beta = level_coefficients(layout, beta);
    const Index block_rows =
        linalg::gram_block_rows(dense, glm_block::block_vectors + layout.factors() + 1);
    const bool fused = dense.cols == 0 || fused_runs_faster(dense.cols);
    const bool own_product = fused && !linalg::blas_threads_per_caller();
    auto add = [&](CodedBlockRows &rows, Index first, Index count, CodedAccumulator *accumulator,
                   double &deviance, bool &invalid) {
        read_codes(coded, layout, first, count, rows.codes);
        auto add_levels = [&](double *eta) {
            const double *table = level_beta.data();
            for (Index f = 0; f < layout.factors(); ++f) {
                const std::int32_t *level = rows.codes.data() + f * count;
                for (Index r = 0; r < count; ++r) {
                    eta[r] += table[level[r]];
                }
                table += layout.slots(f);
            }
        };
        auto accumulate = [&](const linalg::MatrixView &block, const glm_rows::BlockOut &out) {
            accumulator->add(block, rows.codes.data(), out.residual, out.root_weight,
                             rows.weights.data());
        };
        invalid = glm_block::add_block(input, first, count, own_product, rows.block, add_levels,
                                       accumulate, deviance) ||
                  invalid;
    };
    auto sums = pass_over_shares<CodedBlockRows, CodedAccumulator>(
        dense, block_rows, true, !own_product, add,
        [&] { return CodedAccumulator(layout, dense, block_rows); });
    GlmPass pass;
    pass.deviance = sums.sum;
    pass.gram = assemble(layout, std::move(*sums.gram));
    pass.valid = !sums.flagged;
    return pass;
}

} // namespace tallyfit
