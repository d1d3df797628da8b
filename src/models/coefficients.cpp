#include "models/coefficients.hpp"

#include <algorithm>

namespace tallyfit {

CoefficientMap pair_coefficients(const std::vector<std::string> &names,
                                 const linalg::Vector &beta) {
    CoefficientMap coefficients;
    const auto count = std::min<std::size_t>(names.size(), static_cast<std::size_t>(beta.size()));
    for (std::size_t j = 0; j < count; ++j) {
        coefficients.insert_or_assign(names[j], beta[static_cast<linalg::Index>(j)]);
    }
    return coefficients;
}

void store_fit(BaseModel &model, const std::vector<std::string> &names, const linalg::Vector &beta,
               const Encoder &encoder) {
    CoefficientMap coefficients = pair_coefficients(names, beta);
    Encoder encoding_data = encoder;
    model.coefficients = std::move(coefficients);
    model.encoding_data = std::move(encoding_data);
}

linalg::Vector coefficients_for(const BaseModel &model, const std::vector<std::string> &names) {
    linalg::Vector b(static_cast<linalg::Index>(names.size()));
    if (!model.coefficients) {
        return b;
    }
    for (std::size_t j = 0; j < names.size(); ++j) {
        const auto found = model.coefficients->find(names[j]);
        if (found != model.coefficients->end()) {
            b[static_cast<linalg::Index>(j)] = found->second;
        }
    }
    return b;
}

} // namespace tallyfit
