#include "model_file/model_document_reader.hpp"

#include <array>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "json/json_reader.hpp"
#include "json/record_reader.hpp"

namespace tallyfit {

namespace {

// Stores the value that `parse(json)` reads into `target`.
template <class T, class Parse> JsonStatus store(JsonReader &json, T &target, Parse &&parse) {
    auto value = parse(json);
    if (!value) {
        return err(std::move(value).error());
    }
    target = std::move(value).value();
    return Unit{};
}

// nullable(X) = "null" / X
template <class Parse> auto parse_nullable(JsonReader &json, Parse &&parse) {
    using Value = std::decay_t<decltype(parse(json).value())>;
    using Nullable = JsonResult<std::optional<Value>>;
    if (json.peek() == JsonKind::Null) {
        if (auto null = json.parse_null(); !null) {
            return Nullable(err(std::move(null).error()));
        }
        return Nullable(std::optional<Value>());
    }
    auto value = parse(json);
    if (!value) {
        return Nullable(err(std::move(value).error()));
    }
    return Nullable(std::optional<Value>(std::move(value).value()));
}

// sequence(X) = "[" [ X *( "," X ) ] "]"
template <class Parse> auto parse_sequence(JsonReader &json, Parse &&parse) {
    using Value = std::decay_t<decltype(parse(json).value())>;
    using Sequence = JsonResult<std::vector<Value>>;
    if (json.peek() != JsonKind::Array) {
        return Sequence(err(json.reject_value("a sequence")));
    }
    std::vector<Value> values;
    auto elements =
        json.parse_array([&](std::size_t) { return store(json, values.emplace_back(), parse); });
    if (!elements) {
        return Sequence(err(std::move(elements).error()));
    }
    return Sequence(std::move(values));
}

// f64 = number
JsonResult<double> parse_f64(JsonReader &json) {
    if (json.peek() != JsonKind::Number) {
        return err(json.reject_value("f64"));
    }
    return json.parse_number();
}

// flag = "true" / "false"
JsonResult<bool> parse_flag(JsonReader &json) {
    const JsonKind kind = json.peek();
    if (kind != JsonKind::True && kind != JsonKind::False) {
        return err(json.reject_value("a boolean"));
    }
    return json.parse_boolean();
}

// text = string
JsonResult<std::string> parse_text(JsonReader &json) {
    if (json.peek() != JsonKind::String) {
        return err(json.reject_value("a string"));
    }
    return json.parse_string();
}

// coefficients = "{" [ string ":" f64 *( "," string ":" f64 ) ] "}" ; a repeated name: the
// later value wins
JsonResult<CoefficientMap> parse_coefficients(JsonReader &json) {
    if (json.peek() != JsonKind::Object) {
        return err(json.reject_value("a map"));
    }
    CoefficientMap coefficients;
    auto members = json.parse_object([&](const std::string &name, std::size_t) {
        return store(json, coefficients[name], parse_f64);
    });
    if (!members) {
        return err(std::move(members).error());
    }
    return coefficients;
}

// encoding-type = %x22 ( "Dummy" / "OneHot" / "Bool" / "Numeric" ) %x22
JsonResult<EncodingType> parse_encoding_type(JsonReader &json) {
    if (json.peek() != JsonKind::String) {
        return err(json.reject_value("enum EncodingType"));
    }
    const std::size_t start = json.offset();
    auto name = json.parse_string();
    if (!name) {
        return err(std::move(name).error());
    }
    if (auto type = encoding_type_from_name(name.value())) {
        return *type;
    }
    return err(json.error_at(start, "unknown variant `" + name.value() +
                                        "`, expected one of `Dummy`, `OneHot`, `Bool`, "
                                        "`Numeric`"));
}

// levels = sequence(text)
JsonResult<std::vector<std::string>> parse_levels(JsonReader &json) {
    return parse_sequence(json, parse_text);
}

constexpr std::array<RecordField, 2> column_info_fields{{
    {"levels", false},
    {"encoding_type", true},
}};

// column-info = record( "levels": nullable(levels), "encoding_type": encoding-type )
JsonResult<EncodedColumnInfo> parse_column_info(JsonReader &json) {
    EncodedColumnInfo info;
    auto record =
        parse_record(json, "EncodedColumnInfo", column_info_fields, [&](std::size_t field) {
            if (field == 0) {
                return store(json, info.levels, [](JsonReader &reader) {
                    return parse_nullable(reader, parse_levels);
                });
            }
            return store(json, info.encoding_type, parse_encoding_type);
        });
    if (!record) {
        return err(std::move(record).error());
    }
    return info;
}

// column-mappings = "{" [ string ":" column-info *( "," string ":" column-info ) ] "}" ; a
// repeated name: the later value wins
JsonResult<std::unordered_map<std::string, EncodedColumnInfo>>
parse_column_mappings(JsonReader &json) {
    if (json.peek() != JsonKind::Object) {
        return err(json.reject_value("a map"));
    }
    std::unordered_map<std::string, EncodedColumnInfo> mappings;
    auto members = json.parse_object([&](const std::string &column, std::size_t) {
        return store(json, mappings[column], parse_column_info);
    });
    if (!members) {
        return err(std::move(members).error());
    }
    return mappings;
}

constexpr std::array<RecordField, 1> encoder_fields{{
    {"column_mappings", true},
}};

// encoder = record( "column_mappings": column-mappings )
JsonResult<Encoder> parse_encoder(JsonReader &json) {
    Encoder encoder;
    auto record = parse_record(json, "Encoder", encoder_fields, [&](std::size_t) {
        return store(json, encoder.column_mappings, parse_column_mappings);
    });
    if (!record) {
        return err(std::move(record).error());
    }
    return encoder;
}

constexpr std::array<RecordField, 5> term_fields{{
    {"name", true},
    {"dependent", true},
    {"subtracted", true},
    {"intercept", true},
    {"interaction", true},
}};

// term = record( "name": text, "dependent": flag, "subtracted": flag, "intercept": flag,
//                "interaction": flag )
JsonResult<FormulaTerm> parse_term(JsonReader &json) {
    FormulaTerm term;
    bool *const flags[] = {&term.dependent, &term.subtracted, &term.intercept, &term.interaction};
    auto record = parse_record(json, "FormulaTerm", term_fields, [&](std::size_t field) {
        if (field == 0) {
            return store(json, term.name, parse_text);
        }
        return store(json, *flags[field - 1], parse_flag);
    });
    if (!record) {
        return err(std::move(record).error());
    }
    return term;
}

// terms = sequence(term)
JsonResult<std::vector<FormulaTerm>> parse_terms(JsonReader &json) {
    return parse_sequence(json, parse_term);
}

constexpr std::array<RecordField, 3> formula_fields{{
    {"original", true},
    {"dependent", true},
    {"independent", true},
}};

// formula = record( "original": text, "dependent": term, "independent": terms )
JsonResult<Formula> parse_formula(JsonReader &json) {
    Formula formula;
    auto record = parse_record(json, "Formula", formula_fields, [&](std::size_t field) {
        switch (field) {
        case 0:
            return store(json, formula.original, parse_text);
        case 1:
            return store(json, formula.dependent, parse_term);
        default:
            return store(json, formula.independent, parse_terms);
        }
    });
    if (!record) {
        return err(std::move(record).error());
    }
    return formula;
}

constexpr std::array<RecordField, 4> penalty_fields{{
    {"variable_name", true},
    {"categorical_level", false},
    {"lambda_param", true},
    {"target", true},
}};

// penalty = record( "variable_name": text, "categorical_level": nullable(text),
//                   "lambda_param": f64, "target": f64 )
JsonResult<PenaltySpecification> parse_penalty(JsonReader &json) {
    PenaltySpecification penalty;
    auto record =
        parse_record(json, "PenaltySpecification", penalty_fields, [&](std::size_t field) {
            switch (field) {
            case 0:
                return store(json, penalty.variable_name, parse_text);
            case 1:
                return store(json, penalty.categorical_level,
                             [](JsonReader &reader) { return parse_nullable(reader, parse_text); });
            case 2:
                return store(json, penalty.lambda_param, parse_f64);
            default:
                return store(json, penalty.target, parse_f64);
            }
        });
    if (!record) {
        return err(std::move(record).error());
    }
    return penalty;
}

// penalties = sequence(penalty)
JsonResult<PenaltyList> parse_penalties(JsonReader &json) {
    return parse_sequence(json, parse_penalty);
}

constexpr std::array<RecordField, 5> document_fields{{
    {"coefficients", false},
    {"encoding_data", true},
    {"formula", false},
    {"model_type", true},
    {"penalties", false},
}};

// document = record-object( "coefficients": nullable(coefficients), "encoding_data": encoder,
//                           "formula": nullable(formula), "model_type": text
//                           [, "penalties": nullable(penalties)] )
JsonResult<ModelState> parse_document(JsonReader &json, bool with_penalties) {
    if (json.peek() != JsonKind::Object) {
        return err(json.reject_value("a model object"));
    }
    ModelState state;
    // Without penalties the key is unknown here, and skipped like any other.
    const std::span<const RecordField> fields(document_fields.data(), with_penalties ? 5 : 4);
    auto record = parse_record_object(json, fields, [&](std::size_t field) {
        switch (field) {
        case 0:
            return store(json, state.base.coefficients, [](JsonReader &reader) {
                return parse_nullable(reader, parse_coefficients);
            });
        case 1:
            return store(json, state.base.encoding_data, parse_encoder);
        case 2:
            return store(json, state.base.formula,
                         [](JsonReader &reader) { return parse_nullable(reader, parse_formula); });
        case 3:
            return store(json, state.base.model_type, parse_text);
        default:
            return store(json, state.penalties, [](JsonReader &reader) {
                return parse_nullable(reader, parse_penalties);
            });
        }
    });
    if (!record) {
        return err(std::move(record).error());
    }
    return state;
}

} // namespace

Result<ModelState, Error> read_model_document(std::string_view text, bool with_penalties) {
    JsonReader json(text);
    auto state = parse_document(json, with_penalties);
    if (!state) {
        return err(Error(ErrorCode::Deserialize, describe_json_error(text, state.error())));
    }
    if (auto end = json.parse_end(); !end) {
        return err(Error(ErrorCode::Deserialize, describe_json_error(text, end.error())));
    }
    return std::move(state).value();
}

} // namespace tallyfit
