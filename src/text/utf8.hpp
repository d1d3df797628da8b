// UTF-8: strict validation, encoding of a code point, and the test for continuation bytes.
#pragma once

#include <string>
#include <string_view>

namespace tallyfit {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no truncated
// sequence.
bool is_valid_utf8(std::string_view bytes);

// Appends the UTF-8 encoding of a Unicode scalar value (at most U+10FFFF, not a surrogate).
void append_utf8(std::string &out, unsigned code_point);

// A byte that continues a multi-byte sequence (10xxxxxx); counting the other bytes of valid
// UTF-8 counts its characters.
inline bool is_utf8_continuation(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

} // namespace tallyfit
