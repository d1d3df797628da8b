// Which penalty strength applies to each design-matrix column.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "linalg/array.hpp"
#include "models/base_model.hpp"
#include "result.hpp"

namespace tallyfit {

// A penalty applies to column c when it has no level and its variable name is c, or when
// variable name + "_" + level is c. Per column, a single level-specific penalty wins over any
// plain ones; otherwise a single plain one applies. Two or more of the deciding kind are the
// multiple-penalties error for the first such column. Columns without a penalty get 0.0.
Result<linalg::Vector, Error> resolve_penalties(const std::optional<PenaltyList> &penalties,
                                                const std::vector<std::string> &names);

} // namespace tallyfit
