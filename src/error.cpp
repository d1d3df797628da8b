#include "error.hpp"

#include <cstddef>
#include <iterator>
#include <string_view>

#include "internal_error.hpp"

namespace tallyfit {

namespace {

struct MessageEntry {
    ErrorCode code;
    std::string_view text; // each "{}" takes the next detail
};

// One entry per code, in the order of the enumeration.
constexpr MessageEntry messages[] = {
    {ErrorCode::EmptyFormula, "Formula cannot be empty"},
    {ErrorCode::MissingTilde,
     "Formula must contain '~' to separate dependent and independent variables"},
    {ErrorCode::MultipleTildes, "Formula cannot contain multiple '~' characters"},
    {ErrorCode::EmptyDependent, "Dependent variable cannot be empty"},
    {ErrorCode::EmptyIndependent, "Independent variables cannot be empty"},
    {ErrorCode::InvalidTerm, "Invalid term found in formula: '{}'"},
    {ErrorCode::InversionFailure, "Matrix inversion failed. The matrix may be singular."},
    {ErrorCode::ConvergenceFailure, "Algorithm failed to converge"},
    {ErrorCode::MultiplePenalties, "Multiple penalties specified for variable: {}"},
    {ErrorCode::NegativeLambda, "Lambda parameter must be greater than or equal to 0."},
    {ErrorCode::Interrupted, "The fit was interrupted"},
    {ErrorCode::NotFitted, "Model has not been fitted yet. Cannot save an empty model."},
    {ErrorCode::Serialize, "Failed to serialize model: {}"},
    {ErrorCode::Write, "Failed to write to file '{}': {}"},
    {ErrorCode::Read, "Failed to read file '{}': {}"},
    {ErrorCode::Deserialize, "Failed to deserialize model from JSON: {}"},
    {ErrorCode::TypeMismatch, "Model type mismatch: Cannot load a '{}' model into a '{}' object."},
};

constexpr bool in_enumeration_order() {
    for (std::size_t i = 0; i < std::size(messages); ++i) {
        if (static_cast<std::size_t>(messages[i].code) != i) {
            return false;
        }
    }
    return std::size(messages) == static_cast<std::size_t>(ErrorCode::TypeMismatch) + 1;
}
static_assert(in_enumeration_order(), "one message per error code, in enumeration order");

} // namespace

std::string Error::message() const {
    const auto index = static_cast<std::size_t>(code);
    if (index >= std::size(messages)) {
        throw InternalError("an error code without a message");
    }
    const std::string_view text = messages[index].text;
    std::string out;
    std::size_t next_detail = 0;
    std::size_t from = 0;
    // Only the table's text is scanned: a "{}" inside a detail stays as it is.
    for (std::size_t at = text.find("{}"); at != std::string_view::npos;
         at = text.find("{}", from)) {
        if (next_detail == details.size()) {
            throw InternalError("an error with fewer details than its message names");
        }
        out.append(text.substr(from, at - from));
        out += details[next_detail++];
        from = at + 2;
    }
    out.append(text.substr(from));
    return out;
}

} // namespace tallyfit
