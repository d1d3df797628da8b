// Reading the JSON text of a model file back into a model's value.
#pragma once

#include <string>
#include <string_view>

#include "error.hpp"
#include "models/base_model.hpp"
#include "result.hpp"

namespace tallyfit {

// Members in any order, unknown members skipped, every nested record also accepted as an array
// of its values. "penalties" is read only when `with_penalties`; otherwise it is an unknown key.
// The error is Deserialize, naming the first problem and ending in " at line L column C". The text
// is expected to be valid UTF-8 (the file layer checks it).
Result<ModelState, Error> read_model_document(std::string_view text, bool with_penalties);

} // namespace tallyfit
