// Records of a parsed model formula.
#pragma once

#include <string>
#include <vector>

namespace tallyfit {

struct FormulaTerm {
    std::string name;
    bool dependent = false;
    bool subtracted = false;
    bool intercept = false;
    bool interaction = false;

    bool operator==(const FormulaTerm &) const = default;
};

struct Formula {
    std::string original;
    FormulaTerm dependent;
    std::vector<FormulaTerm> independent;

    bool operator==(const Formula &) const = default;
};

} // namespace tallyfit
