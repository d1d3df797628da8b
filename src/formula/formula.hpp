// Records of a parsed model formula and the error type of the formula language.
#pragma once

#include <string>
#include <vector>

namespace tallyfit {

struct FormulaTerm {
    std::string name;
    bool dependent = false;
    bool subtracted = false;
    bool intercept = false;
    bool interaction = false;

    bool operator==(const FormulaTerm &) const = default;
};

struct Formula {
    std::string original;
    FormulaTerm dependent;
    std::vector<FormulaTerm> independent;

    bool operator==(const Formula &) const = default;
};

enum class FormulaErrorKind {
    EmptyFormula,
    MissingTilde,
    MultipleTildes,
    EmptyDependent,
    EmptyIndependent,
    InvalidTerm,
};

struct FormulaError {
    FormulaErrorKind kind;
    std::string term; // the offending term text, for InvalidTerm only

    std::string message() const;
};

} // namespace tallyfit
