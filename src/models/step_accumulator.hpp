// The weighted normal equations of an IRLS step summed block by block: fused for a narrow X
// where this processor runs the fused loops faster, through the BLAS otherwise.
#pragma once

#include <optional>

#include "linalg/narrow_gram.hpp"
#include "linalg/view.hpp"
#include "linalg/weighted_gram.hpp"

namespace tallyfit {

// Whether the fused accumulator is the faster of the two at this width on this processor
// (timed on a small block the first time a width is asked for; never above the fused limit).
bool fused_runs_faster(linalg::Index width);

class StepAccumulator {
  public:
    StepAccumulator(const linalg::MatrixView &x, linalg::Index block_rows) {
        if (fused_runs_faster(x.cols)) {
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

    // t and the upper triangle of H so far, then the sums from zero again.
    linalg::WeightedGram take_upper_sums() {
        linalg::WeightedGram sums = fused_ ? fused_->upper_sums() : blas_->upper_sums();
        if (fused_) {
            fused_->clear();
        } else {
            blas_->clear();
        }
        return sums;
    }

  private:
    std::optional<linalg::NarrowGramAccumulator> fused_;
    std::optional<linalg::GramAccumulator> blas_;
};

} // namespace tallyfit
