// The error values of the three model cores and their messages.
#pragma once

#include <string>

namespace tallyfit {

enum class LinearRegressionError { InversionFailure };

enum class LogisticRegressionError { InversionFailure, ConvergenceFailure };

struct PenalizedLogisticRegressionError {
    enum class Kind { InversionFailure, ConvergenceFailure, MultiplePenalties, NegativeLambda };

    Kind kind;
    std::string variable; // the column with several penalties, for MultiplePenalties only

    std::string message() const;
    bool operator==(const PenalizedLogisticRegressionError &) const = default;
};

std::string message(LinearRegressionError error);
std::string message(LogisticRegressionError error);
std::string message(const PenalizedLogisticRegressionError &error);

} // namespace tallyfit
