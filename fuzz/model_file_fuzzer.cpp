// Feeds arbitrary bytes to the model-file reader, for both the plain and the penalized kinds.
// A document that reads must also write, and the written text must read back to the same state:
// the writer and the reader have to agree on every string escape and every number.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "model_file/model_document_reader.hpp"
#include "model_file/model_document_writer.hpp"
#include "models/base_model.hpp"
#include "require.hpp"

namespace {

using tallyfit::ModelState;
using tallyfit::fuzz::require;

bool holds_non_finite(const ModelState &state) {
    if (state.base.coefficients) {
        for (const auto &[name, value] : *state.base.coefficients) {
            if (!std::isfinite(value)) {
                return true;
            }
        }
    }
    if (state.penalties) {
        for (const auto &penalty : *state.penalties) {
            if (!std::isfinite(penalty.lambda_param) || !std::isfinite(penalty.target)) {
                return true;
            }
        }
    }
    return false;
}

// Removes a run of decimal digits from the end of `text`; false when there is none.
bool strip_trailing_number(std::string_view &text) {
    const auto kept = text.find_last_not_of("0123456789");
    const std::size_t digits_from = kept == std::string_view::npos ? 0 : kept + 1;
    if (digits_from == text.size()) {
        return false;
    }
    text.remove_suffix(text.size() - digits_from);
    return true;
}

bool strip_suffix(std::string_view &text, std::string_view suffix) {
    if (!text.ends_with(suffix)) {
        return false;
    }
    text.remove_suffix(suffix.size());
    return true;
}

// "... at line L column C"
bool names_a_position(std::string_view description) {
    return strip_trailing_number(description) && strip_suffix(description, " column ") &&
           strip_trailing_number(description) && strip_suffix(description, " at line ") &&
           !description.empty();
}

void check_round_trip(std::string_view text, bool with_penalties) {
    auto read = tallyfit::read_model_document(text, with_penalties);
    if (!read.ok()) {
        require(names_a_position(read.error().message()),
                "a read error ends with its line and column");
        return;
    }
    ModelState state = std::move(read).value();
    require(with_penalties || !state.penalties, "penalties are read for the penalized kind only");

    const auto written = tallyfit::write_model_document(state);
    if (!written.ok()) {
        require(holds_non_finite(state), "only a non-finite number stops the writer");
        return;
    }
    const auto reread = tallyfit::read_model_document(written.value(), with_penalties);
    require(reread.ok(), "a written document reads back");

    // The writer drops "penalties" for the plain kinds, whatever the document held.
    ModelState expected = std::move(state);
    if (expected.base.model_type != tallyfit::penalized_model_type) {
        expected.penalties.reset();
    }
    require(reread.value() == expected, "a written document reads back to the same state");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    check_round_trip(text, false);
    check_round_trip(text, true);
    return 0;
}
