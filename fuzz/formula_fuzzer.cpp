// Feeds arbitrary bytes to the formula parser. Besides crashes and undefined behaviour it checks
// the properties every result must have: which error a malformed text gets, the shape of a
// successfully parsed formula and of the column queries on it, and that a model file keeps the
// formula and its names intact.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "formula/columns.hpp"
#include "formula/numeric.hpp"
#include "formula/parser.hpp"
#include "model_file/model_document_reader.hpp"
#include "model_file/model_document_writer.hpp"
#include "models/base_model.hpp"
#include "require.hpp"
#include "text/utf8.hpp"
#include "text/whitespace.hpp"

namespace {

using tallyfit::Error;
using tallyfit::ErrorCode;
using tallyfit::Formula;
using tallyfit::trim_whitespace;
using tallyfit::fuzz::require;

// The whole-text checks run in a fixed order, so the first failing one decides the error.
void check_error(std::string_view text, const Error &error) {
    require(!error.message().empty(), "every error has a message");
    if (trim_whitespace(text).empty()) {
        require(error.code == ErrorCode::EmptyFormula, "blank text: EmptyFormula");
        return;
    }
    const auto tilde = text.find('~');
    if (tilde == std::string_view::npos) {
        require(error.code == ErrorCode::MissingTilde, "no tilde: MissingTilde");
        return;
    }
    if (text.find('~', tilde + 1) != std::string_view::npos) {
        require(error.code == ErrorCode::MultipleTildes, "two tildes: MultipleTildes");
        return;
    }
    if (trim_whitespace(text.substr(0, tilde)).empty()) {
        require(error.code == ErrorCode::EmptyDependent, "blank left: EmptyDependent");
        return;
    }
    if (trim_whitespace(text.substr(tilde + 1)).empty()) {
        require(error.code == ErrorCode::EmptyIndependent, "blank right side");
        return;
    }
    require(error.code == ErrorCode::EmptyIndependent || error.code == ErrorCode::InvalidTerm,
            "a well-formed frame fails only in a term");
    if (error.code == ErrorCode::InvalidTerm) {
        require(text.substr(tilde + 1).find(error.details.front()) != std::string_view::npos,
                "the invalid term is quoted from the right side");
        require(error.details.front().find_first_of("*:") != std::string::npos,
                "only products and interactions are invalid");
    }
}

void check_formula(std::string_view text, const Formula &formula) {
    require(formula.original == text, "original is kept unchanged");
    const auto tilde = text.find('~');
    require(tilde != std::string_view::npos && text.find('~', tilde + 1) == std::string_view::npos,
            "a parsed text has exactly one tilde");
    require(formula.dependent.name == trim_whitespace(text.substr(0, tilde)),
            "the dependent name is the trimmed left side");
    require(formula.dependent.dependent && !formula.dependent.subtracted &&
                !formula.dependent.intercept && !formula.dependent.interaction,
            "the dependent term carries only the dependent flag");

    std::unordered_set<std::string> names;
    for (std::size_t i = 0; i < formula.independent.size(); ++i) {
        const auto &term = formula.independent[i];
        require(!term.dependent && !term.subtracted, "independent terms are kept, not subtracted");
        require(!term.name.empty() && trim_whitespace(term.name) == term.name,
                "term names are non-empty and trimmed");
        require(term.name.find_first_of("+-~") == std::string::npos,
                "operators never end up inside a term name");
        if (term.intercept) {
            require(i == 0 && term.name == "1" && !term.interaction,
                    "the only intercept term is the leading \"1\"");
        } else {
            // A product's numeric factor may share the intercept's name, nothing else repeats.
            require(names.insert(term.name).second, "term names are unique");
        }
        const auto columns = tallyfit::columns_of_term(term);
        if (!term.interaction) {
            require(columns.ok() && columns.value().size() == 1 && columns.value()[0] == term.name,
                    "a plain term is its own column");
        } else if (columns.ok()) {
            require(columns.value().size() == 2, "an interaction names two columns");
        }
    }

    for (bool with_dependent : {false, true}) {
        const auto columns = tallyfit::column_names(formula, with_dependent);
        require(std::adjacent_find(columns.begin(), columns.end(),
                                   [](const std::string &a, const std::string &b) {
                                       return a >= b;
                                   }) == columns.end(),
                "column names are sorted and unique");
        const bool has_dependent =
            std::binary_search(columns.begin(), columns.end(), formula.dependent.name);
        require(!with_dependent || has_dependent, "the dependent column is included on request");
    }

    const std::string printed = tallyfit::formula_to_string(formula);
    require(printed.starts_with(formula.dependent.name + " ~ "), "printing starts with \"y ~ \"");
}

// Names made of arbitrary text go through every string position of a model file: a coefficient
// key, an encoding-map key and its levels, and the formula record.
void check_model_file_round_trip(const Formula &formula) {
    tallyfit::ModelState state;
    state.base.model_type = tallyfit::linear_model_type;
    state.base.formula = formula;
    auto &coefficients = state.base.coefficients.emplace();
    for (const auto &term : formula.independent) {
        coefficients[term.name] = -static_cast<double>(coefficients.size()) / 3.0;
    }
    for (const auto &column : tallyfit::column_names(formula, true)) {
        state.base.encoding_data.column_mappings[column] = {std::vector{column, column + ":"},
                                                            tallyfit::EncodingType::Dummy};
    }

    const auto written = tallyfit::write_model_document(state);
    require(written.ok(), "a model with a parsed formula writes");
    const auto read = tallyfit::read_model_document(written.value(), false);
    require(read.ok(), "a written model reads back");
    require(read.value() == state, "a model file keeps the formula and every name");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    (void)tallyfit::is_numeric(text);
    const auto parsed = tallyfit::parse_formula(text);
    if (parsed.ok()) {
        check_formula(text, parsed.value());
        // Python hands the parser valid UTF-8 only, and the file reader insists on it.
        if (tallyfit::is_valid_utf8(text)) {
            check_model_file_round_trip(parsed.value());
        }
    } else {
        check_error(text, parsed.error());
    }
    return 0;
}
