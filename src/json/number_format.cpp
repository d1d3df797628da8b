#include "json/number_format.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include "internal_error.hpp"

namespace tallyfit {

namespace {

// The shortest round-trip digits d1...dn of |value| and the exponent E with
// |value| = 0.d1...dn x 10^E.
struct ShortestDecimal {
    std::string digits;
    int exponent;
};

ShortestDecimal shortest_decimal(double magnitude) {
    // Scientific form of the shortest round trip: "d[.ddd]e[+-]xx".
    char buffer[64];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    if (error != std::errc()) {
        throw InternalError("format_double: to_chars failed");
    }
    const std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
    const std::size_t e_pos = text.find('e');
    ShortestDecimal decimal{};
    for (char c : text.substr(0, e_pos)) {
        if (c != '.') {
            decimal.digits.push_back(c);
        }
    }
    int scientific_exponent = 0;
    std::string_view exponent_text = text.substr(e_pos + 1);
    if (!exponent_text.empty() && exponent_text.front() == '+') {
        exponent_text.remove_prefix(1);
    }
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(),
                    scientific_exponent);
    decimal.exponent = scientific_exponent + 1;
    return decimal;
}

} // namespace

std::string format_double(double value) {
    if (!std::isfinite(value)) {
        throw InternalError("format_double: non-finite value");
    }
    std::string out = std::signbit(value) ? "-" : "";
    if (value == 0.0) {
        return out + "0.0";
    }
    const auto [digits, e] = shortest_decimal(std::fabs(value));
    const int n = static_cast<int>(digits.size());
    if (n <= e && e <= 16) {
        out += digits;
        out.append(static_cast<std::size_t>(e - n), '0');
        out += ".0";
    } else if (0 < e && e < n && e <= 16) {
        out.append(digits, 0, static_cast<std::size_t>(e));
        out += '.';
        out.append(digits, static_cast<std::size_t>(e));
    } else if (-5 < e && e <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-e), '0');
        out += digits;
    } else {
        out += digits.front();
        if (n > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += std::to_string(e - 1);
    }
    return out;
}

} // namespace tallyfit
