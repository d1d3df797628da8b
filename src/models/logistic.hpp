// Logistic regression for a 0/1 response, fitted by IRLS.
#pragma once

#include <string>
#include <vector>

#include "encoding/encoding.hpp"
#include "error.hpp"
#include "linalg/array.hpp"
#include "linalg/view.hpp"
#include "models/base_model.hpp"
#include "models/irls.hpp"
#include "result.hpp"

namespace tallyfit {

// Stores the coefficients by column name (names and columns pair up to the shorter list) with
// a copy of the encoder's mappings; the model changes only on success. A y whose length is not
// the row count of x throws InternalError.
Status<Error> fit_logistic(BaseModel &model, linalg::MatrixView x, linalg::VectorView y,
                           const std::vector<std::string> &names, const Encoder &encoder,
                           __int128 max_iterations, double convergence_delta,
                           InterruptionCheck interrupted = nullptr);

// sigma(X b) with the model's coefficients looked up by name (0.0 for unknown names, so 0.5
// everywhere for an unfitted model); one name per column of x is required. Serves the
// penalized model as well.
linalg::Vector predict_logistic(const BaseModel &model, linalg::MatrixView x,
                                const std::vector<std::string> &names);

} // namespace tallyfit
