// The JSON text of a model file.
#pragma once

#include <string>

#include "error.hpp"
#include "models/base_model.hpp"
#include "result.hpp"

namespace tallyfit {

// The whole document: "coefficients", "encoding_data", "formula", "model_type" and, for the
// penalized kind only, "penalties". A model holding a NaN or infinite number is refused (Serialize)
// with a description of that value (JSON can only write it as null, which no reader accepts back).
Result<std::string, Error> write_model_document(const ModelState &state);

} // namespace tallyfit
