// Logistic regression with per-column ridge penalties, fitted by the same IRLS as the plain
// model with the penalty strengths added to the diagonal of the Hessian. Prediction is the
// plain model's (predict_logistic).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "encoding/encoding.hpp"
#include "error.hpp"
#include "linalg/view.hpp"
#include "models/base_model.hpp"
#include "models/irls.hpp"
#include "result.hpp"

namespace tallyfit {

// A penalty record; a lambda below 0 is the negative-lambda error (a NaN lambda is accepted).
Result<PenaltySpecification, Error> make_penalty(std::string variable_name,
                                                 std::optional<std::string> categorical_level,
                                                 double lambda_param, double target = 0.0);

// On success replaces coefficients, encoding data and the penalty list together; a failed fit
// changes nothing. Requires one name per column of x and one element of y per row (InternalError
// otherwise). Ambiguous penalties fail before any iteration.
Status<Error> fit_penalized(ModelState &state, linalg::MatrixView x, linalg::VectorView y,
                            const std::vector<std::string> &names, const Encoder &encoder,
                            std::optional<PenaltyList> penalties, __int128 max_iterations,
                            double convergence_delta, InterruptionCheck interrupted = nullptr);

} // namespace tallyfit
