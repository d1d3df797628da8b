#include "models/penalty_resolution.hpp"

#include <string_view>

namespace tallyfit {

namespace {

// variable + "_" + level == column, without building the joined string.
bool names_level_column(std::string_view variable, std::string_view level,
                        std::string_view column) {
    return column.size() == variable.size() + 1 + level.size() && column.starts_with(variable) &&
           column[variable.size()] == '_' && column.ends_with(level);
}

struct Candidates {
    const PenaltySpecification *level_specific = nullptr;
    int level_specific_count = 0;
    const PenaltySpecification *plain = nullptr;
    int plain_count = 0;
};

Candidates collect(const PenaltyList &penalties, const std::string &column) {
    Candidates found;
    for (const PenaltySpecification &penalty : penalties) {
        if (penalty.categorical_level) {
            if (names_level_column(penalty.variable_name, *penalty.categorical_level, column)) {
                found.level_specific = &penalty;
                ++found.level_specific_count;
            }
        } else if (penalty.variable_name == column) {
            found.plain = &penalty;
            ++found.plain_count;
        }
    }
    return found;
}

} // namespace

Result<linalg::Vector, Error> resolve_penalties(const std::optional<PenaltyList> &penalties,
                                                const std::vector<std::string> &names) {
    linalg::Vector lambda(static_cast<linalg::Index>(names.size()));
    if (!penalties) {
        return lambda;
    }
    for (std::size_t j = 0; j < names.size(); ++j) {
        const Candidates found = collect(*penalties, names[j]);
        const bool by_level = found.level_specific_count > 0;
        const int deciding_count = by_level ? found.level_specific_count : found.plain_count;
        if (deciding_count > 1) {
            return err(Error(ErrorCode::MultiplePenalties, names[j]));
        }
        if (deciding_count == 1) {
            lambda[static_cast<linalg::Index>(j)] =
                (by_level ? found.level_specific : found.plain)->lambda_param;
        }
    }
    return lambda;
}

} // namespace tallyfit
