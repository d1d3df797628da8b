// Parsing of R-style model formulas such as "y ~ a*b - 1" into terms.
#pragma once

#include <string_view>
#include <vector>

#include "error.hpp"
#include "formula/formula.hpp"
#include "result.hpp"

namespace tallyfit {

// Parses a whole formula: checks the text, expands its terms, decides the intercept and resolves
// duplicate and subtracted terms. `original` keeps the text exactly as given.
Result<Formula, Error> parse_formula(std::string_view text);

// Expands one trimmed, non-empty term preceded by `op` ('\0' for none, '+' or '-'): a product
// gives both factors and their interaction, ":" gives the interaction alone.
Result<std::vector<FormulaTerm>, Error> expand_term(std::string_view term, char op);

// The interaction of two texts, named "left:right" with only the outer ends trimmed.
FormulaTerm create_interaction_term(std::string_view left, std::string_view right);

} // namespace tallyfit
