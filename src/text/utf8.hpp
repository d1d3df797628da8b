// Strict UTF-8 validation.
#pragma once

#include <string_view>

namespace tallyfit {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated
// sequence.
bool is_valid_utf8(std::string_view bytes);

} // namespace tallyfit
