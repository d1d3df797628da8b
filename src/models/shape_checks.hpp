// The shape checks the model cores make before they compute or change anything. A mismatch is
// a caller's broken invariant, thrown as an internal error that names the arguments.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "internal_error.hpp"
#include "linalg/view.hpp"

namespace tallyfit {

inline void require_rows_match(const linalg::MatrixView &x, const linalg::VectorView &y) {
    if (x.rows != y.size) {
        throw InternalError("x_matrix has " + std::to_string(x.rows) + " rows but y_matrix has " +
                            std::to_string(y.size) + " elements");
    }
}

// A pass's vector argument with the number of elements it needs (one per row of X, say).
inline void require_size(const char *pass, const linalg::VectorView &v, linalg::Index size,
                         const char *what) {
    if (v.size != size) {
        throw InternalError(std::string(pass) + ": " + what + " has " + std::to_string(v.size) +
                            " elements, not " + std::to_string(size));
    }
}

// A GLM pass's row vectors: y, and the prior weights and offset where given, one per row.
inline void require_pass_rows(const char *pass, linalg::Index rows, const linalg::VectorView &y,
                              const std::optional<linalg::VectorView> &prior,
                              const std::optional<linalg::VectorView> &offset) {
    require_size(pass, y, rows, "y");
    if (prior) {
        require_size(pass, *prior, rows, "the prior weights");
    }
    if (offset) {
        require_size(pass, *offset, rows, "the offset");
    }
}

inline void require_name_per_column(const linalg::MatrixView &x,
                                    const std::vector<std::string> &names) {
    if (x.cols != static_cast<linalg::Index>(names.size())) {
        throw InternalError("x_matrix has " + std::to_string(x.cols) +
                            " columns but x_col_names has " + std::to_string(names.size()) +
                            " names");
    }
}

} // namespace tallyfit
