#include "model_file/model_file.hpp"

#include <utility>

#include "files/file_read.hpp"
#include "files/file_replace.hpp"
#include "files/os_error.hpp"
#include "model_file/model_document_reader.hpp"
#include "model_file/model_document_writer.hpp"
#include "text/utf8.hpp"

namespace tallyfit {

Status<FileError> save_model_file(const ModelState &state, const std::string &path) {
    if (!state.base.coefficients) {
        return err(FileError{FileError::Kind::NotFitted,
                             "Model has not been fitted yet. Cannot save an empty model."});
    }
    auto document = write_model_document(state);
    if (!document) {
        return err(FileError{FileError::Kind::Serialize,
                             "Failed to serialize model: " + document.error()});
    }
    if (auto written = replace_file_contents(path, document.value()); !written) {
        return err(FileError{FileError::Kind::Write, "Failed to write to file '" + path +
                                                         "': " + os_error_text(written.error())});
    }
    return Unit{};
}

Status<FileError> load_model_file(ModelState &state, const std::string &path) {
    auto text = read_whole_file(path);
    if (!text) {
        return err(FileError{FileError::Kind::Read,
                             "Failed to read file '" + path + "': " + os_error_text(text.error())});
    }
    if (!is_valid_utf8(text.value())) {
        return err(FileError{FileError::Kind::Read, "Failed to read file '" + path +
                                                        "': stream did not contain valid UTF-8"});
    }
    const std::string &own_kind = state.base.model_type;
    auto document = read_model_document(text.value(), own_kind == penalized_model_type);
    if (!document) {
        return err(FileError{FileError::Kind::Deserialize,
                             "Failed to deserialize model from JSON: " + document.error()});
    }
    const std::string &document_kind = document.value().base.model_type;
    if (document_kind != own_kind) {
        return err(FileError{FileError::Kind::TypeMismatch, "Model type mismatch: Cannot load a '" +
                                                                document_kind + "' model into a '" +
                                                                own_kind + "' object."});
    }
    state = std::move(document).value();
    return Unit{};
}

} // namespace tallyfit
