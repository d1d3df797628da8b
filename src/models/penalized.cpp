#include "models/penalized.hpp"

#include "models/coefficients.hpp"
#include "models/irls.hpp"
#include "models/penalty_resolution.hpp"
#include "models/shape_checks.hpp"

namespace tallyfit {

namespace {

PenalizedLogisticRegressionError penalized_error(LogisticRegressionError error) {
    using Kind = PenalizedLogisticRegressionError::Kind;
    return {error == LogisticRegressionError::InversionFailure ? Kind::InversionFailure
                                                               : Kind::ConvergenceFailure,
            {}};
}

} // namespace

Result<PenaltySpecification, PenalizedLogisticRegressionError>
make_penalty(std::string variable_name, std::optional<std::string> categorical_level,
             double lambda_param, double target) {
    if (lambda_param < 0) {
        return err(PenalizedLogisticRegressionError{
            PenalizedLogisticRegressionError::Kind::NegativeLambda, {}});
    }
    return PenaltySpecification{std::move(variable_name), std::move(categorical_level),
                                lambda_param, target};
}

Status<PenalizedLogisticRegressionError>
fit_penalized(ModelState &state, linalg::MatrixView x, linalg::VectorView y,
              const std::vector<std::string> &names, const Encoder &encoder,
              std::optional<PenaltyList> penalties, __int128 max_iterations,
              double convergence_delta) {
    require_rows_match(x, y);
    require_name_per_column(x, names);
    const auto lambda = resolve_penalties(penalties, names);
    if (!lambda) {
        return err(lambda.error());
    }
    auto beta = fit_irls(x, y, lambda.value().view(), max_iterations, convergence_delta);
    if (!beta) {
        return err(penalized_error(beta.error()));
    }
    store_fit(state.base, names, beta.value(), encoder);
    state.penalties = std::move(penalties);
    return Unit{};
}

} // namespace tallyfit
