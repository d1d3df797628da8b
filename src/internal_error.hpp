// A broken internal invariant (such as operand shapes that do not fit a product). It is thrown,
// never returned, and the binding layer turns it into the module's internal-error exception.
#pragma once

#include <stdexcept>
#include <string>

namespace tallyfit {

class InternalError : public std::runtime_error {
  public:
    explicit InternalError(const std::string &message) : std::runtime_error(message) {}
};

} // namespace tallyfit
