// Ordinary least squares by the normal equations.
#pragma once

#include <string>
#include <vector>

#include "encoding/encoding.hpp"
#include "error.hpp"
#include "linalg/array.hpp"
#include "linalg/view.hpp"
#include "models/base_model.hpp"
#include "result.hpp"

namespace tallyfit {

// beta = (X^T X)^-1 X^T y, stored by column name with a copy of the encoder's mappings. Names
// and columns pair up to the shorter list. The model changes only on success; a y whose length
// is not the row count of x throws InternalError.
Status<Error> fit_linear(BaseModel &model, linalg::MatrixView x, linalg::VectorView y,
                         const std::vector<std::string> &names, const Encoder &encoder);

// X b with the model's coefficients looked up by name (0.0 for unknown names); one name per
// column of x is required (InternalError otherwise).
linalg::Vector predict_linear(const BaseModel &model, linalg::MatrixView x,
                              const std::vector<std::string> &names);

} // namespace tallyfit
