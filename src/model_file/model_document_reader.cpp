#include "model_file/model_document_reader.hpp"

#include <utility>

#include "model_file/record_codec.hpp"
#include "json/json_reader.hpp"
#include "json/record_reader.hpp"

namespace tallyfit {

namespace {

using model_file::DocumentLayout;
using model_file::PenalizedDocumentLayout;

// document = record-object of the layout's fields
template <class L> JsonResult<ModelState> parse_document(JsonReader &json) {
    if (json.peek() != JsonKind::Object) {
        return err(json.reject_value("a model object"));
    }
    static constexpr auto fields = model_file::record_fields<L, ModelState>();
    ModelState state;
    RETURN_IF_ERROR(parse_record_object(json, fields, [&](std::size_t index) {
        return model_file::read_field<L>(json, state, index);
    }));
    return state;
}

} // namespace

Result<ModelState, Error> read_model_document(std::string_view text, bool with_penalties) {
    JsonReader json(text);
    auto state = with_penalties ? parse_document<PenalizedDocumentLayout>(json)
                                : parse_document<DocumentLayout>(json);
    if (!state) {
        return err(Error(ErrorCode::Deserialize, describe_json_error(text, state.error())));
    }
    if (auto end = json.parse_end(); !end) {
        return err(Error(ErrorCode::Deserialize, describe_json_error(text, end.error())));
    }
    return std::move(state).value();
}

} // namespace tallyfit
