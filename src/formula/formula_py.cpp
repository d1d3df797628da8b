// Python classes Formula and FormulaTerm, and the module functions _parse_formula and
// _is_numeric.
#include "formula/formula_py.hpp"

#include "formula/columns.hpp"
#include "formula/numeric.hpp"
#include "formula/parser.hpp"
#include "py/call.hpp"
#include "py/class_builder.hpp"

namespace tallyfit {

using py::Shared;
using py::Signature;

namespace {

// FormulaTerm

std::string term_name(Shared<FormulaTerm> &self) { return self->name; }
bool term_dependent(Shared<FormulaTerm> &self) { return self->dependent; }
bool term_subtracted(Shared<FormulaTerm> &self) { return self->subtracted; }
bool term_intercept(Shared<FormulaTerm> &self) { return self->intercept; }
bool term_interaction(Shared<FormulaTerm> &self) { return self->interaction; }
std::string term_repr(Shared<FormulaTerm> &self) { return "FormulaTerm: " + self->name; }

Result<std::vector<std::string>, Error> term_columns(Shared<FormulaTerm> &self) {
    return columns_of_term(*self);
}

constexpr Signature term_columns_signature{"get_columns_from_term"};

PyMethodDef term_methods[] = {
    py::method_entry<term_columns, term_columns_signature>(),
    py::end_of_methods,
};

PyGetSetDef term_getset[] = {
    {"name", py::getter<term_name>, nullptr, nullptr, nullptr},
    {"dependent", py::getter<term_dependent>, nullptr, nullptr, nullptr},
    {"subtracted", py::getter<term_subtracted>, nullptr, nullptr, nullptr},
    {"intercept", py::getter<term_intercept>, nullptr, nullptr, nullptr},
    {"interaction", py::getter<term_interaction>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Formula

Formula make_formula(const std::string &original_str, const FormulaTerm &dependent,
                     const std::vector<FormulaTerm> &independent) {
    return Formula{original_str, dependent, independent};
}

std::string formula_original(Shared<Formula> &self) { return self->original; }
FormulaTerm formula_dependent(Shared<Formula> &self) { return self->dependent; }
std::vector<FormulaTerm> formula_independent(Shared<Formula> &self) { return self->independent; }
std::string formula_str(Shared<Formula> &self) { return formula_to_string(*self); }
std::string formula_repr(Shared<Formula> &self) { return "Formula: " + formula_to_string(*self); }

std::vector<std::string> formula_column_names(Shared<Formula> &self,
                                              std::optional<bool> with_dependent) {
    return column_names(*self, with_dependent.value_or(true));
}

constexpr Signature formula_signature{
    "Formula",
    {"original_str", "dependent", "independent"},
    "Struct to represent a parsed formula. This will be used to make the model \n"
    "matrix later, and needs to contain all of the necessary info to do so."};
constexpr Signature column_names_signature{
    "get_column_names",
    {{"with_dependent", "..."}},
    "A method to get the names of all columns, either from the independent or all\n"
    "variables in a formula."};

PyMethodDef formula_methods[] = {
    py::method_entry<formula_column_names, column_names_signature>(),
    py::end_of_methods,
};

PyGetSetDef formula_getset[] = {
    {"original", py::getter<formula_original>, nullptr, nullptr, nullptr},
    {"dependent", py::getter<formula_dependent>, nullptr, nullptr, nullptr},
    {"independent", py::getter<formula_independent>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Module functions

Result<Formula, Error> parse(const std::string &formula) { return parse_formula(formula); }
bool numeric(const std::string &string) { return is_numeric(string); }

constexpr Signature parse_signature{"_parse_formula",
                                    {"formula"},
                                    "Function to parse a formula string and extract a formula "
                                    "struct.\n"
                                    "\n"
                                    "Args:\n"
                                    "- `formula` (string): The formula string in R syntax.\n"
                                    "\n"
                                    "Returns:\n"
                                    "- A vector of FormulaTerm structs representing the parsed "
                                    "formula."};
constexpr Signature numeric_signature{"_is_numeric",
                                      {"string"},
                                      "Function to check if a term is numeric.\n"
                                      "\n"
                                      "Args:\n"
                                      "- `term`: A string representing the term to check.\n"
                                      "\n"
                                      "Returns:\n"
                                      "- `true` if the term is numeric, `false` otherwise."};

} // namespace

PyTypeObject *formula_class() {
    return py::class_of<Formula>({
        .name = "builtins.Formula",
        .doc = py::constructor_doc<formula_signature>,
        .methods = formula_methods,
        .getset = formula_getset,
        .constructor = py::constructor<make_formula, formula_signature>,
        .repr = py::unary_slot<formula_repr>,
        .str = py::unary_slot<formula_str>,
    });
}

PyTypeObject *formula_term_class() {
    return py::class_of<FormulaTerm>({
        .name = "builtins.FormulaTerm",
        .methods = term_methods,
        .getset = term_getset,
        .repr = py::unary_slot<term_repr>,
    });
}

PyMethodDef parse_formula_function = py::function_entry<parse, parse_signature>();

PyMethodDef is_numeric_function = py::function_entry<numeric, numeric_signature>();

} // namespace tallyfit
