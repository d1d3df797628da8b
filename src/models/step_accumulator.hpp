// The weighted normal equations of an IRLS step summed block by block: fused for a narrow X,
// through the BLAS for a wide one.
#pragma once

#include <optional>

#include "linalg/narrow_gram.hpp"
#include "linalg/view.hpp"
#include "linalg/weighted_gram.hpp"

namespace tallyfit {

class StepAccumulator {
  public:
    StepAccumulator(const linalg::MatrixView &x, linalg::Index block_rows) {
        if (x.cols <= linalg::narrow_gram_width_limit) {
            fused_.emplace(x.cols, block_rows);
        } else {
            blas_.emplace(x.cols, block_rows);
        }
    }

    void add(const linalg::MatrixView &rows, const double *residual, const double *root_weight) {
        if (fused_) {
            fused_->add(rows, residual, root_weight);
        } else {
            blas_->add(rows, residual, root_weight);
        }
    }

    linalg::WeightedGram finish(const std::optional<linalg::VectorView> &ridge) && {
        return fused_ ? std::move(*fused_).finish(ridge) : std::move(*blas_).finish(ridge);
    }

  private:
    std::optional<linalg::NarrowGramAccumulator> fused_;
    std::optional<linalg::GramAccumulator> blas_;
};

} // namespace tallyfit
