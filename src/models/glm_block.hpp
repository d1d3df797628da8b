// The block step of a GLM pass, shared by the pass over a dense X and the one over a dense part
// and coded categorical columns: eta for a block of rows, the family's row loop (redone with the
// C library's exp and log where the fast one gave NaN), and the block's sums.
#pragma once

#include <algorithm>
#include <cmath>
#include <optional>

#include "linalg/array.hpp"
#include "linalg/product.hpp"
#include "linalg/view.hpp"
#include "models/glm_names.hpp"
#include "models/glm_rows.hpp"
#include "models/logistic_rows.hpp"

namespace tallyfit::glm_block {

using linalg::Index;

using RowFunction = bool (*)(Index, const glm_rows::BlockIn &, glm_rows::BlockOut);

// A pair's row loop, and the one with the C library's exp and log that redoes a block whose
// deviance came out NaN from the fast one (nullptr: the fast one is that one already).
struct RowPolicy {
    RowFunction fast;
    RowFunction exact = nullptr;
};

// The row loops of a family and link (InternalError for a link the family does not take).
RowPolicy policy_for(GlmFamily family, GlmLink link);

// The block's values of v, in place when contiguous, else copied into buffer.
inline const double *contiguous(const linalg::VectorView &v, Index first, Index count,
                                linalg::Vector &buffer) {
    if (v.stride == 1) {
        return v.data + first;
    }
    for (Index r = 0; r < count; ++r) {
        buffer[r] = v[first + r];
    }
    return buffer.data();
}

// The buffers of one block of rows.
struct BlockRows {
    explicit BlockRows(Index rows)
        : eta(rows), y(rows), prior(rows, 1.0), offset(rows), deviance(rows), residual(rows),
          root_weight(rows) {}
    linalg::Vector eta;
    linalg::Vector y;      // copies of strided inputs; prior all 1 and offset all 0 without
    linalg::Vector prior;  // weights or offset
    linalg::Vector offset; //
    linalg::Vector deviance;
    linalg::Vector residual; // w z
    linalg::Vector root_weight;
};
inline constexpr Index block_vectors = 8; // the seven above and the extended column

// What every block of a pass reads.
struct PassInput {
    const linalg::MatrixView &x;
    const linalg::VectorView &y;
    const linalg::VectorView &beta;
    const std::optional<linalg::VectorView> &prior;
    const std::optional<linalg::VectorView> &offset;
    RowPolicy policy;
};

// The block of rows [first, first + count): its deviance into `deviance`, its share of the
// normal equations into the accumulator; true when some eta or mu is invalid.
// add_to_eta(eta) adds what X's part outside `input.x` gives the block's eta (nothing for a
// dense X); accumulate(rows, out) adds the block's rows, w z and sqrt(w) to the sums.
template <class AddToEta, class Accumulate>
bool add_block(const PassInput &input, Index first, Index count, bool own_product, BlockRows &block,
               const AddToEta &add_to_eta, const Accumulate &accumulate, double &deviance) {
    const linalg::MatrixView &x = input.x;
    const linalg::MatrixView rows{x.data + first * x.row_stride, count, x.cols, x.row_stride,
                                  x.col_stride};
    double *eta = block.eta.data();
    if (x.cols == 0) {
        std::fill_n(eta, count, 0.0);
    } else if (own_product) {
        linalg::matvec_without_blas_into(rows, input.beta, eta);
    } else {
        linalg::matvec_into(rows, input.beta, eta);
    }
    add_to_eta(eta);
    const glm_rows::BlockIn in{
        eta, contiguous(input.y, first, count, block.y),
        input.prior ? contiguous(*input.prior, first, count, block.prior) : block.prior.data(),
        input.offset ? contiguous(*input.offset, first, count, block.offset) : block.offset.data()};
    if (input.offset) {
        for (Index r = 0; r < count; ++r) {
            eta[r] += in.offset[r];
        }
    }
    const glm_rows::BlockOut out{block.deviance.data(), block.residual.data(),
                                 block.root_weight.data()};
    bool invalid = input.policy.fast(count, in, out);
    double sum = row_loops::sum(count, out.deviance);
    if (std::isnan(sum) && input.policy.exact != nullptr) {
        // A log's argument outside the fast log's range, or a genuine NaN.
        invalid = input.policy.exact(count, in, out);
        sum = row_loops::sum(count, out.deviance);
    }
    deviance += sum;
    accumulate(rows, out);
    return invalid;
}

} // namespace tallyfit::glm_block
