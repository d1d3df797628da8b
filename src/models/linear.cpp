#include "models/linear.hpp"

#include "linalg/inverse.hpp"
#include "linalg/product.hpp"
#include "models/coefficients.hpp"
#include "models/shape_checks.hpp"

namespace tallyfit {

Status<Error> fit_linear(BaseModel &model, linalg::MatrixView x, linalg::VectorView y,
                         const std::vector<std::string> &names, const Encoder &encoder) {
    require_rows_match(x, y);
    const linalg::Matrix gram = linalg::gram(x);
    const linalg::Vector moments = linalg::matvec(x.transposed(), y);
    ASSIGN_OR_RETURN(const linalg::Matrix gram_inverse, linalg::inverse(gram.view()));
    const linalg::Vector beta = linalg::matvec(gram_inverse.view(), moments.view());
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
