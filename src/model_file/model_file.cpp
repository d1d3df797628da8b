#include "model_file/model_file.hpp"

#include <utility>

#include "files/file_read.hpp"
#include "files/file_replace.hpp"
#include "files/os_error.hpp"
#include "model_file/model_document_reader.hpp"
#include "model_file/model_document_writer.hpp"
#include "text/utf8.hpp"

namespace tallyfit {

Status<Error> save_model_file(const ModelState &state, const std::string &path) {
    if (!state.base.coefficients) {
        return err(Error(ErrorCode::NotFitted));
    }
    ASSIGN_OR_RETURN(const std::string document, write_model_document(state));
    if (auto written = replace_file_contents(path, document); !written) {
        return err(Error(ErrorCode::Write, path, os_error_text(written.error())));
    }
    return Unit{};
}

Status<Error> load_model_file(ModelState &state, const std::string &path) {
    auto text = read_whole_file(path);
    if (!text) {
        return err(Error(ErrorCode::Read, path, os_error_text(text.error())));
    }
    if (!is_valid_utf8(text.value())) {
        return err(Error(ErrorCode::Read, path, "stream did not contain valid UTF-8"));
    }
    const std::string &own_kind = state.base.model_type;
    ASSIGN_OR_RETURN(ModelState document,
                     read_model_document(text.value(), own_kind == penalized_model_type));
    const std::string &document_kind = document.base.model_type;
    if (document_kind != own_kind) {
        return err(Error(ErrorCode::TypeMismatch, document_kind, own_kind));
    }
    state = std::move(document);
    return Unit{};
}

} // namespace tallyfit
