#include "models/model_errors.hpp"

#include <string_view>

namespace tallyfit {

namespace {

// Every model reports the same failure with the same words.
namespace text {
constexpr std::string_view inversion_failure =
    "Matrix inversion failed. The matrix may be singular.";
constexpr std::string_view convergence_failure = "Algorithm failed to converge";
constexpr std::string_view multiple_penalties = "Multiple penalties specified for variable: ";
constexpr std::string_view negative_lambda = "Lambda parameter must be greater than or equal to 0.";
} // namespace text

} // namespace

std::string message(LinearRegressionError error) {
    switch (error) {
    case LinearRegressionError::InversionFailure:
        break;
    }
    return std::string(text::inversion_failure);
}

std::string message(LogisticRegressionError error) {
    switch (error) {
    case LogisticRegressionError::InversionFailure:
        return std::string(text::inversion_failure);
    case LogisticRegressionError::ConvergenceFailure:
        break;
    }
    return std::string(text::convergence_failure);
}

std::string message(const PenalizedLogisticRegressionError &error) {
    using Kind = PenalizedLogisticRegressionError::Kind;
    switch (error.kind) {
    case Kind::InversionFailure:
        return std::string(text::inversion_failure);
    case Kind::ConvergenceFailure:
        return std::string(text::convergence_failure);
    case Kind::MultiplePenalties:
        return std::string(text::multiple_penalties) + error.variable;
    case Kind::NegativeLambda:
        break;
    }
    return std::string(text::negative_lambda);
}

std::string PenalizedLogisticRegressionError::message() const { return tallyfit::message(*this); }

} // namespace tallyfit
