#include "models/penalized.hpp"

#include "models/coefficients.hpp"
#include "models/irls.hpp"
#include "models/penalty_resolution.hpp"
#include "models/shape_checks.hpp"

namespace tallyfit {

Result<PenaltySpecification, Error> make_penalty(std::string variable_name,
                                                 std::optional<std::string> categorical_level,
                                                 double lambda_param, double target) {
    if (lambda_param < 0) {
        return err(Error(ErrorCode::NegativeLambda));
    }
    return PenaltySpecification{std::move(variable_name), std::move(categorical_level),
                                lambda_param, target};
}

Status<Error> fit_penalized(ModelState &state, linalg::MatrixView x, linalg::VectorView y,
                            const std::vector<std::string> &names, const Encoder &encoder,
                            std::optional<PenaltyList> penalties, __int128 max_iterations,
                            double convergence_delta, InterruptionCheck interrupted) {
    require_rows_match(x, y);
    require_name_per_column(x, names);
    ASSIGN_OR_RETURN(const linalg::Vector lambda, resolve_penalties(penalties, names));
    ASSIGN_OR_RETURN(const linalg::Vector beta,
                     fit_irls(x, y, lambda.view(), max_iterations, convergence_delta, interrupted));
    store_fit(state.base, names, beta, encoder);
    state.penalties = std::move(penalties);
    return Unit{};
}

} // namespace tallyfit
