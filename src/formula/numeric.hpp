// The rule that decides whether a text is a number.
#pragma once

#include <string_view>

namespace tallyfit {

// True when the whole text is a decimal floating-point literal or one of the words inf, infinity
// and nan (any letter case), with an optional leading sign. Nothing is trimmed.
bool is_numeric(std::string_view text);

} // namespace tallyfit
