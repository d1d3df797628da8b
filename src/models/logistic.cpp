#include "models/logistic.hpp"

#include "linalg/elementwise.hpp"
#include "models/coefficients.hpp"
#include "models/irls.hpp"
#include "models/linear.hpp"
#include "models/shape_checks.hpp"

namespace tallyfit {

Status<Error> fit_logistic(BaseModel &model, linalg::MatrixView x, linalg::VectorView y,
                           const std::vector<std::string> &names, const Encoder &encoder,
                           __int128 max_iterations, double convergence_delta,
                           InterruptionCheck interrupted) {
    require_rows_match(x, y);
    ASSIGN_OR_RETURN(const linalg::Vector beta,
                     fit_irls(x, y, std::nullopt, max_iterations, convergence_delta, interrupted));
    store_fit(model, names, beta, encoder);
    return Unit{};
}

linalg::Vector predict_logistic(const BaseModel &model, linalg::MatrixView x,
                                const std::vector<std::string> &names) {
    const linalg::Vector eta = predict_linear(model, x, names);
    return linalg::map(eta.view(), logistic);
}

} // namespace tallyfit
