#include "model_file/model_document_writer.hpp"

#include <cmath>
#include <optional>
#include <string_view>

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

void write_coefficients(JsonWriter &json, const std::optional<CoefficientMap> &coefficients) {
    if (!coefficients) {
        json.null();
        return;
    }
    json.begin_object();
    for (const auto &[name, value] : *coefficients) {
        json.key(name);
        json.number(value);
    }
    json.end_object();
}

void write_column_info(JsonWriter &json, const EncodedColumnInfo &info) {
    json.begin_object();
    json.key("levels");
    if (info.levels) {
        json.begin_array();
        for (const std::string &level : *info.levels) {
            json.string(level);
        }
        json.end_array();
    } else {
        json.null();
    }
    json.key("encoding_type");
    json.string(encoding_type_name(info.encoding_type));
    json.end_object();
}

void write_encoder(JsonWriter &json, const Encoder &encoder) {
    json.begin_object();
    json.key("column_mappings");
    json.begin_object();
    for (const auto &[column, info] : encoder.column_mappings) {
        json.key(column);
        write_column_info(json, info);
    }
    json.end_object();
    json.end_object();
}

void write_term(JsonWriter &json, const FormulaTerm &term) {
    json.begin_object();
    json.key("name");
    json.string(term.name);
    json.key("dependent");
    json.boolean(term.dependent);
    json.key("subtracted");
    json.boolean(term.subtracted);
    json.key("intercept");
    json.boolean(term.intercept);
    json.key("interaction");
    json.boolean(term.interaction);
    json.end_object();
}

void write_formula(JsonWriter &json, const std::optional<Formula> &formula) {
    if (!formula) {
        json.null();
        return;
    }
    json.begin_object();
    json.key("original");
    json.string(formula->original);
    json.key("dependent");
    write_term(json, formula->dependent);
    json.key("independent");
    json.begin_array();
    for (const FormulaTerm &term : formula->independent) {
        write_term(json, term);
    }
    json.end_array();
    json.end_object();
}

void write_penalty(JsonWriter &json, const PenaltySpecification &penalty) {
    json.begin_object();
    json.key("variable_name");
    json.string(penalty.variable_name);
    json.key("categorical_level");
    if (penalty.categorical_level) {
        json.string(*penalty.categorical_level);
    } else {
        json.null();
    }
    json.key("lambda_param");
    json.number(penalty.lambda_param);
    json.key("target");
    json.number(penalty.target);
    json.end_object();
}

void write_penalties(JsonWriter &json, const std::optional<PenaltyList> &penalties) {
    if (!penalties) {
        json.null();
        return;
    }
    json.begin_array();
    for (const PenaltySpecification &penalty : *penalties) {
        write_penalty(json, penalty);
    }
    json.end_array();
}

} // namespace

Result<std::string, Error> write_model_document(const ModelState &state) {
    if (auto problem = find_non_finite(state)) {
        return err(Error(ErrorCode::Serialize, std::move(*problem)));
    }
    JsonWriter json;
    json.begin_object();
    json.key("coefficients");
    write_coefficients(json, state.base.coefficients);
    json.key("encoding_data");
    write_encoder(json, state.base.encoding_data);
    json.key("formula");
    write_formula(json, state.base.formula);
    json.key("model_type");
    json.string(state.base.model_type);
    if (state.base.model_type == penalized_model_type) {
        json.key("penalties");
        write_penalties(json, state.penalties);
    }
    json.end_object();
    return json.take();
}

} // namespace tallyfit
