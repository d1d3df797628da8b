#include "model_file/model_document_writer.hpp"

#include <cmath>
#include <optional>
#include <string_view>

#include "model_file/record_codec.hpp"
#include "json/json_writer.hpp"

namespace tallyfit {

namespace {

std::optional<std::string> describe_non_finite(std::string_view what, double value) {
    if (std::isnan(value)) {
        return std::string(what) + " is NaN";
    }
    if (std::isinf(value)) {
        return std::string(what) + " is infinite";
    }
    return std::nullopt;
}

std::string penalty_label(const PenaltySpecification &penalty) {
    std::string label = "penalty '" + penalty.variable_name + "'";
    if (penalty.categorical_level) {
        label += " level '" + *penalty.categorical_level + "'";
    }
    return label;
}

// The first number of the model that JSON cannot carry, described.
std::optional<std::string> find_non_finite(const ModelState &state) {
    if (state.base.coefficients) {
        for (const auto &[name, value] : *state.base.coefficients) {
            if (auto problem = describe_non_finite("coefficient '" + name + "'", value)) {
                return problem;
            }
        }
    }
    if (state.penalties && state.base.model_type == penalized_model_type) {
        for (const PenaltySpecification &penalty : *state.penalties) {
            const std::string label = penalty_label(penalty);
            if (auto problem = describe_non_finite(label + " lambda_param", penalty.lambda_param)) {
                return problem;
            }
            if (auto problem = describe_non_finite(label + " target", penalty.target)) {
                return problem;
            }
        }
    }
    return std::nullopt;
}

} // namespace

Result<std::string, Error> write_model_document(const ModelState &state) {
    if (auto problem = find_non_finite(state)) {
        return err(Error(ErrorCode::Serialize, std::move(*problem)));
    }
    JsonWriter json;
    if (state.base.model_type == penalized_model_type) {
        model_file::write_fields<model_file::PenalizedDocumentLayout>(json, state);
    } else {
        model_file::write_fields<model_file::DocumentLayout>(json, state);
    }
    return json.take();
}

} // namespace tallyfit
