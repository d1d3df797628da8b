#include "models/gram_pass.hpp"

#include <cmath>

#include "linalg/array.hpp"
#include "linalg/blas.hpp"
#include "linalg/product.hpp"
#include "models/shape_checks.hpp"
#include "models/share_pass.hpp"

namespace tallyfit {

namespace {

using linalg::Index;

// One thread's right-hand sides (w v) and square roots of the weights for a block.
struct GramBlockRows {
    explicit GramBlockRows(Index rows) : residual(rows), root_weight(rows, 1.0) {}
    linalg::Vector residual;
    linalg::Vector root_weight;
};
inline constexpr Index gram_block_vectors = 3; // the two above and the extended column

// X^T X and X^T v of whole shares, the BLAS reading X where it lies: without weights there
// is nothing to scale, and the BLAS packs its operands itself, so a copy would only add a
// write and a read of every element.
class InPlaceGram {
  public:
    InPlaceGram(const linalg::MatrixView &x, Index)
        : sums_{linalg::Matrix(x.cols, x.cols), linalg::Vector(x.cols)}, moments_(x.cols) {}

    void add(const linalg::MatrixView &rows, const std::optional<linalg::VectorView> &v) {
        linalg::add_gram_upper(rows, sums_.h);
        if (v) {
            linalg::matvec_into(rows.transposed(), *v, moments_.data());
            for (Index j = 0; j < rows.cols; ++j) {
                sums_.t[j] += moments_[j];
            }
        }
    }

    linalg::WeightedGram take_upper_sums() {
        linalg::WeightedGram taken = std::move(sums_);
        sums_ = {linalg::Matrix(taken.h.rows(), taken.h.cols()), linalg::Vector(taken.t.size())};
        return taken;
    }

  private:
    linalg::WeightedGram sums_;
    linalg::Vector moments_;
};

struct NoBuffers {
    explicit NoBuffers(Index) {}
};

linalg::MatrixView block_of(const linalg::MatrixView &x, Index first, Index count) {
    return {x.data + first * x.row_stride, count, x.cols, x.row_stride, x.col_stride};
}

linalg::WeightedGram unweighted_gram(const linalg::MatrixView &x,
                                     const std::optional<linalg::VectorView> &v) {
    // A block is a whole share: the BLAS blocks for its caches itself.
    const Index share_rows = linalg::row_shares(x, 1).share_rows;
    auto add_share = [&](NoBuffers &, Index first, Index count, InPlaceGram *sums, double &,
                         bool &) {
        std::optional<linalg::VectorView> share_v;
        if (v) {
            share_v = linalg::VectorView{v->data + first * v->stride, count, v->stride};
        }
        sums->add(block_of(x, first, count), share_v);
    };
    auto sums = pass_over_shares<NoBuffers, InPlaceGram>(x, share_rows, true, true, add_share);
    return linalg::finish_weighted_gram(std::move(*sums.gram), std::nullopt);
}

} // namespace

linalg::WeightedGram gram_pass(const linalg::MatrixView &x,
                               const std::optional<linalg::VectorView> &v,
                               const std::optional<linalg::VectorView> &weights) {
    if (v) {
        require_size("Gram pass", *v, x.rows, "v");
    }
    if (weights) {
        require_size("Gram pass", *weights, x.rows, "the weights");
    }
    linalg::element_count(x.cols, x.cols);
    if (!weights && !fused_runs_faster(x.cols) && linalg::blas_threads_per_caller()) {
        return unweighted_gram(x, v);
    }
    const Index block_rows = linalg::gram_block_rows(x, gram_block_vectors);
    const bool calls_blas = !fused_runs_faster(x.cols);
    auto add_block = [&](GramBlockRows &block, Index first, Index count,
                         StepAccumulator *accumulator, double &, bool &) {
        double *residual = block.residual.data();
        double *root_weight = block.root_weight.data();
        for (Index r = 0; r < count; ++r) {
            const double w = weights ? (*weights)[first + r] : 1.0;
            const double value = v ? (*v)[first + r] : 0.0;
            // w v, and 0 where w is 0 whatever v is (an infinite v of a dropped row, say).
            residual[r] = w == 0.0 ? 0.0 : w * value;
            root_weight[r] = std::sqrt(w);
        }
        accumulator->add(block_of(x, first, count), residual, root_weight);
    };
    auto sums = pass_over_shares<GramBlockRows>(x, block_rows, true, calls_blas, add_block);
    return linalg::finish_weighted_gram(std::move(*sums.gram), std::nullopt);
}

} // namespace tallyfit
