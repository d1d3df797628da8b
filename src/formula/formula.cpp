#include "formula/formula.hpp"

namespace tallyfit {

std::string FormulaError::message() const {
    switch (kind) {
    case FormulaErrorKind::EmptyFormula:
        return "Formula cannot be empty";
    case FormulaErrorKind::MissingTilde:
        return "Formula must contain '~' to separate dependent and independent variables";
    case FormulaErrorKind::MultipleTildes:
        return "Formula cannot contain multiple '~' characters";
    case FormulaErrorKind::EmptyDependent:
        return "Dependent variable cannot be empty";
    case FormulaErrorKind::EmptyIndependent:
        return "Independent variables cannot be empty";
    case FormulaErrorKind::InvalidTerm:
        return "Invalid term found in formula: '" + term + "'";
    }
    return "Invalid formula";
}

} // namespace tallyfit
