#include "formula/numeric.hpp"

namespace tallyfit {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (ascii_lower(text[i]) != lower_word[i]) {
            return false;
        }
    }
    return true;
}

std::size_t count_digits(std::string_view text, std::size_t from) {
    std::size_t end = from;
    while (end < text.size() && is_digit(text[end])) {
        ++end;
    }
    return end - from;
}

// digits [ "." digits ] with at least one digit, then [ ("e" | "E") [sign] digits ]
bool is_decimal_literal(std::string_view text) {
    std::size_t pos = count_digits(text, 0);
    std::size_t digit_count = pos;
    if (pos < text.size() && text[pos] == '.') {
        std::size_t fraction = count_digits(text, pos + 1);
        digit_count += fraction;
        pos += 1 + fraction;
    }
    if (digit_count == 0) {
        return false;
    }
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
            ++pos;
        }
        std::size_t exponent = count_digits(text, pos);
        if (exponent == 0) {
            return false;
        }
        pos += exponent;
    }
    return pos == text.size();
}

} // namespace

// [ "+" | "-" ] ( "inf" | "infinity" | "nan" | decimal literal )
bool is_numeric(std::string_view text) {
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    return equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity") ||
           equals_ignoring_case(text, "nan") || is_decimal_literal(text);
}

} // namespace tallyfit
