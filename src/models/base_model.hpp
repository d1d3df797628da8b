// The state shared by every model core, and the penalty record of the penalized model.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "encoding/encoding.hpp"
#include "formula/formula.hpp"

namespace tallyfit {

using CoefficientMap = std::unordered_map<std::string, double>;

inline constexpr std::string_view linear_model_type = "LinearRegression";
inline constexpr std::string_view logistic_model_type = "LogisticRegression";
inline constexpr std::string_view penalized_model_type = "PenalizedLogisticRegression";

struct BaseModel {
    std::optional<CoefficientMap> coefficients; // present once the model is fitted
    Encoder encoding_data;
    std::optional<Formula> formula;
    std::string model_type;

    bool operator==(const BaseModel &) const = default;
};

struct PenaltySpecification {
    std::string variable_name;
    std::optional<std::string> categorical_level;
    double lambda_param = 0.0;
    double target = 0.0;

    bool operator==(const PenaltySpecification &) const = default;
};

using PenaltyList = std::vector<PenaltySpecification>;

// A model core's whole value: the shared record, plus the penalties of the penalized kind
// (always absent for the other kinds).
struct ModelState {
    BaseModel base;
    std::optional<PenaltyList> penalties;

    bool operator==(const ModelState &) const = default;
};

} // namespace tallyfit
