#include "formula/columns.hpp"

#include <algorithm>
#include <string_view>

namespace tallyfit {
namespace {

void append_columns(const FormulaTerm &term, std::vector<std::string> &columns) {
    auto term_columns = columns_of_term(term);
    if (!term_columns) {
        return;
    }
    for (std::string &column : term_columns.value()) {
        columns.push_back(std::move(column));
    }
}

} // namespace

Result<std::vector<std::string>, Error> columns_of_term(const FormulaTerm &term) {
    if (!term.interaction) {
        return std::vector<std::string>{term.name};
    }
    std::string_view name = term.name;
    std::size_t colon = name.find(':');
    if (colon == std::string_view::npos || name.find(':', colon + 1) != std::string_view::npos) {
        return err(Error(ErrorCode::InvalidTerm, term.name));
    }
    return std::vector<std::string>{std::string(name.substr(0, colon)),
                                    std::string(name.substr(colon + 1))};
}

std::vector<std::string> column_names(const Formula &formula, bool with_dependent) {
    std::vector<std::string> columns;
    for (const FormulaTerm &term : formula.independent) {
        if (!term.intercept) {
            append_columns(term, columns);
        }
    }
    if (with_dependent && !formula.dependent.intercept) {
        append_columns(formula.dependent, columns);
    }
    // std::string compares as unsigned bytes, which is the byte-wise order of UTF-8 texts.
    std::sort(columns.begin(), columns.end());
    columns.erase(std::unique(columns.begin(), columns.end()), columns.end());
    return columns;
}

std::string formula_to_string(const Formula &formula) {
    std::string text = formula.dependent.name + " ~ ";
    for (std::size_t i = 0; i < formula.independent.size(); ++i) {
        if (i > 0) {
            text += " + ";
        }
        text += formula.independent[i].name;
    }
    return text;
}

} // namespace tallyfit
