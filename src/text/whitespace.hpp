// Whitespace handling shared by the formula language.
#pragma once

#include <string_view>

namespace tallyfit {

// Removes Unicode White_Space code points from both ends of a UTF-8 text. Bytes that are not
// valid UTF-8 are kept: an invalid byte is never whitespace.
std::string_view trim_whitespace(std::string_view utf8);

} // namespace tallyfit
