#include "models/linear.hpp"

#include "linalg/inverse.hpp"
#include "linalg/product.hpp"
#include "models/coefficients.hpp"
#include "models/gram_pass.hpp"
#include "models/shape_checks.hpp"

namespace tallyfit {

Status<Error> fit_linear(BaseModel &model, linalg::MatrixView x, linalg::VectorView y,
                         const std::vector<std::string> &names, const Encoder &encoder) {
    require_rows_match(x, y);
    // X^T X and X^T y in the same read of X.
    const linalg::WeightedGram normal = gram_pass(x, y, std::nullopt);
    ASSIGN_OR_RETURN(const linalg::Matrix gram_inverse, linalg::inverse(normal.h.view()));
    const linalg::Vector beta = linalg::matvec(gram_inverse.view(), normal.t.view());
    store_fit(model, names, beta, encoder);
    return Unit{};
}

linalg::Vector predict_linear(const BaseModel &model, linalg::MatrixView x,
                              const std::vector<std::string> &names) {
    require_name_per_column(x, names);
    const linalg::Vector b = coefficients_for(model, names);
    return linalg::matvec(x, b.view());
}

} // namespace tallyfit
