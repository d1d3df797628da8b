// Saving a model's value to a JSON file and loading it back: the work behind `save_to_file` and
// `load_from_file` of every model core.
#pragma once

#include <string>

#include "models/base_model.hpp"
#include "result.hpp"

namespace tallyfit {

struct FileError {
    enum class Kind {
        NotFitted,    // RuntimeError
        Serialize,    // IOError
        Write,        // IOError
        Read,         // IOError
        Deserialize,  // ValueError
        TypeMismatch, // ValueError
    } kind;
    std::string message; // the whole text of the Python exception
};

// Refuses an unfitted model; otherwise replaces the file at `path` with the model's document.
// On failure the file is left exactly as it was.
Status<FileError> save_model_file(const ModelState &state, const std::string &path);

// Reads the document at `path` into `state`, whose model_type must match the document's. The
// penalties are read only for the penalized kind. `state` changes only on success, and then as
// a whole.
Status<FileError> load_model_file(ModelState &state, const std::string &path);

} // namespace tallyfit
