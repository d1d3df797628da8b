// Saving a model's value to a JSON file and loading it back: the work behind `save_to_file` and
// `load_from_file` of every model core.
#pragma once

#include <string>

#include "error.hpp"
#include "models/base_model.hpp"
#include "result.hpp"

namespace tallyfit {

// Refuses an unfitted model (NotFitted) and one holding a number JSON cannot carry (Serialize);
// otherwise replaces the file at `path` with the model's document.
// On failure (Write) the file is left exactly as it was.
Status<Error> save_model_file(const ModelState &state, const std::string &path);

// Reads the document at `path` into `state`, whose model_type must match the document's
// (TypeMismatch). The penalties are read only for the penalized kind. A file that cannot be read
// or is not UTF-8 is Read, a text that is not a model document Deserialize. `state` changes only
// on success, and then as a whole.
Status<Error> load_model_file(ModelState &state, const std::string &path);

} // namespace tallyfit
