// The data columns that formula terms refer to, and the text form of a formula.
#pragma once

#include <string>
#include <vector>

#include "error.hpp"
#include "formula/formula.hpp"
#include "result.hpp"

namespace tallyfit {

// A plain term names one column; an interaction names the two sides of its single ":".
Result<std::vector<std::string>, Error> columns_of_term(const FormulaTerm &term);

// Every column the formula needs, byte-wise sorted and without duplicates. Intercept terms and
// interactions that do not split in two contribute nothing.
std::vector<std::string> column_names(const Formula &formula, bool with_dependent);

// "y ~ a + b": the dependent name, " ~ ", then the independent names joined by " + ".
std::string formula_to_string(const Formula &formula);

} // namespace tallyfit
