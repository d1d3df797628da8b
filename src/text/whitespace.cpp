#include "text/whitespace.hpp"

#include <array>

namespace tallyfit {
namespace {

// The UTF-8 encodings of every White_Space code point. Each one begins with an ASCII byte or a
// lead byte, and neither can occur inside another well-formed sequence, so matching these byte
// strings at either end gives the same answer as decoding, even on malformed input.
constexpr std::array<std::string_view, 25> whitespace_encodings = {
    "\x09",         "\x0A",         "\x0B",         "\x0C",         "\x0D",
    "\x20",         "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80",
    "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

std::size_t leading_whitespace_length(std::string_view text) {
    for (std::string_view encoding : whitespace_encodings) {
        if (text.starts_with(encoding)) {
            return encoding.size();
        }
    }
    return 0;
}

std::size_t trailing_whitespace_length(std::string_view text) {
    for (std::string_view encoding : whitespace_encodings) {
        if (text.ends_with(encoding)) {
            return encoding.size();
        }
    }
    return 0;
}

} // namespace

std::string_view trim_whitespace(std::string_view utf8) {
    while (std::size_t length = leading_whitespace_length(utf8)) {
        utf8.remove_prefix(length);
    }
    while (std::size_t length = trailing_whitespace_length(utf8)) {
        utf8.remove_suffix(length);
    }
    return utf8;
}

} // namespace tallyfit
