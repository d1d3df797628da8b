// Coefficients by column name: storing a fit's result, and looking them up for a prediction.
#pragma once

#include <string>
#include <vector>

#include "linalg/array.hpp"
#include "models/base_model.hpp"

namespace tallyfit {

// Pairs names with coefficients up to the shorter of the two; a repeated name keeps the
// later coefficient.
CoefficientMap pair_coefficients(const std::vector<std::string> &names, const linalg::Vector &beta);

// Replaces the model's coefficients and encoding data together; on failure (only memory can
// fail) the model is unchanged.
void store_fit(BaseModel &model, const std::vector<std::string> &names, const linalg::Vector &beta,
               const Encoder &encoder);

// One coefficient per name, 0.0 for a name the model lacks or for an unfitted model.
linalg::Vector coefficients_for(const BaseModel &model, const std::vector<std::string> &names);

} // namespace tallyfit
