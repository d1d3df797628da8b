#include "json/json_reader.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <system_error>

#include "text/utf8.hpp"
#include "json/json_writer.hpp"

namespace tallyfit {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (is_digit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The power of ten of the leading non-zero digit of a grammatical JSON number ("123" gives 2,
// "0.004e1" gives -2), saturated far beyond the double range. It tells an underflow, which reads
// as zero, from an overflow, which is refused.
std::int64_t leading_digit_exponent(std::string_view number) {
    constexpr std::int64_t saturation = 1'000'000'000;
    std::size_t i = number.front() == '-' ? 1 : 0;
    std::int64_t place = 0;
    bool found = false;
    for (; i < number.size() && is_digit(number[i]); ++i) {
        if (found) {
            ++place;
        } else if (number[i] != '0') {
            found = true;
        }
    }
    if (i < number.size() && number[i] == '.') {
        std::int64_t fraction_place = 0;
        for (++i; i < number.size() && is_digit(number[i]); ++i) {
            --fraction_place;
            if (!found && number[i] != '0') {
                found = true;
                place = fraction_place;
            }
        }
    }
    if (i < number.size()) { // the exponent part: ("e" / "E") [ "-" / "+" ] 1*DIGIT
        ++i;
        const bool negative = number[i] == '-';
        if (number[i] == '-' || number[i] == '+') {
            ++i;
        }
        std::int64_t exponent = 0;
        for (; i < number.size(); ++i) {
            exponent = std::min(saturation, exponent * 10 + (number[i] - '0'));
        }
        place += negative ? -exponent : exponent;
    }
    return place;
}

} // namespace

std::string describe_json_error(std::string_view text, const JsonError &error) {
    const std::size_t end = std::min(error.offset, text.size());
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else if (!is_utf8_continuation(text[i])) {
            ++column;
        }
    }
    return error.description + " at line " + std::to_string(line) + " column " +
           std::to_string(column);
}

JsonError JsonReader::error_at(std::size_t offset, std::string description) const {
    return JsonError{std::move(description), offset};
}

// ws = *( %x20 / %x09 / %x0A / %x0D )
void JsonReader::skip_whitespace() {
    while (!at_end() &&
           (current() == ' ' || current() == '\t' || current() == '\n' || current() == '\r')) {
        ++pos_;
    }
}

JsonKind JsonReader::peek() {
    skip_whitespace();
    if (at_end()) {
        return JsonKind::End;
    }
    switch (current()) {
    case '{':
        return JsonKind::Object;
    case '[':
        return JsonKind::Array;
    case '"':
        return JsonKind::String;
    case 't':
        return JsonKind::True;
    case 'f':
        return JsonKind::False;
    case 'n':
        return JsonKind::Null;
    default:
        return current() == '-' || is_digit(current()) ? JsonKind::Number : JsonKind::Invalid;
    }
}

JsonError JsonReader::unexpected_value_error() {
    return peek() == JsonKind::End ? eof_error() : error_at(pos_, "expected value");
}

// text = ws value ws
JsonStatus JsonReader::parse_end() {
    skip_whitespace();
    if (!at_end()) {
        return err(error_at(pos_, "trailing characters"));
    }
    return Unit{};
}

// value = object / array / string / number / "true" / "false" / "null"
JsonStatus JsonReader::skip_value() {
    switch (peek()) {
    case JsonKind::Object:
        return parse_object([this](const std::string &, std::size_t) { return skip_value(); });
    case JsonKind::Array:
        return parse_array([this](std::size_t) { return skip_value(); });
    case JsonKind::String:
        RETURN_IF_ERROR(parse_string());
        return Unit{};
    case JsonKind::Number:
        RETURN_IF_ERROR(parse_number_text());
        return Unit{};
    case JsonKind::True:
    case JsonKind::False:
        RETURN_IF_ERROR(parse_boolean());
        return Unit{};
    case JsonKind::Null:
        return parse_null();
    case JsonKind::End:
    case JsonKind::Invalid:
        break;
    }
    return err(unexpected_value_error());
}

JsonStatus JsonReader::open_container() {
    if (depth_ >= max_depth) {
        return err(error_at(pos_, "recursion limit exceeded"));
    }
    ++depth_;
    ++pos_;
    return Unit{};
}

JsonResult<bool> JsonReader::first_item(char close) {
    skip_whitespace();
    if (at_end()) {
        return err(eof_error());
    }
    if (current() == close) {
        last_close_ = pos_++;
        --depth_;
        return false;
    }
    return true;
}

JsonResult<bool> JsonReader::next_item(char close) {
    skip_whitespace();
    if (at_end()) {
        return err(eof_error());
    }
    if (current() == ',') {
        ++pos_;
        skip_whitespace();
        if (!at_end() && current() == close) {
            return err(error_at(pos_, "trailing comma"));
        }
        return true;
    }
    if (current() == close) {
        last_close_ = pos_++;
        --depth_;
        return false;
    }
    return err(error_at(pos_, close == '}' ? "expected `,` or `}`" : "expected `,` or `]`"));
}

// member-name = string ws ":"
JsonResult<std::string> JsonReader::parse_member_name() {
    if (at_end()) {
        return err(eof_error());
    }
    if (current() != '"') {
        return err(error_at(pos_, "key must be a string"));
    }
    ASSIGN_OR_RETURN(std::string key, parse_string());
    skip_whitespace();
    if (at_end()) {
        return err(eof_error());
    }
    if (current() != ':') {
        return err(error_at(pos_, "expected `:`"));
    }
    ++pos_;
    return key;
}

// string = %x22 *( unescaped / "\" escape ) %x22, unescaped being any byte but %x00-1F " \ .
JsonResult<std::string> JsonReader::parse_string() {
    skip_whitespace();
    if (at_end()) {
        return err(eof_error());
    }
    if (current() != '"') {
        return err(unexpected_value_error());
    }
    ++pos_;
    std::string out;
    while (true) {
        const std::size_t run_start = pos_;
        while (!at_end() && current() != '"' && current() != '\\' &&
               static_cast<unsigned char>(current()) >= 0x20) {
            ++pos_;
        }
        out.append(text_.substr(run_start, pos_ - run_start));
        if (at_end()) {
            return err(eof_error());
        }
        if (current() == '"') {
            ++pos_;
            return out;
        }
        if (current() == '\\') {
            ++pos_;
            RETURN_IF_ERROR(parse_escape(out));
            continue;
        }
        return err(error_at(pos_, "control character (\\u0000-\\u001F) found while parsing a "
                                  "string"));
    }
}

// escape = %x22 / "\" / "/" / "b" / "f" / "n" / "r" / "t" / "u" 4HEXDIG ; a high surrogate
// escape must be followed by a low surrogate escape
JsonStatus JsonReader::parse_escape(std::string &out) {
    if (at_end()) {
        return err(eof_error());
    }
    const std::size_t escape_offset = pos_ - 1;
    switch (text_[pos_++]) {
    case '"':
        out += '"';
        return Unit{};
    case '\\':
        out += '\\';
        return Unit{};
    case '/':
        out += '/';
        return Unit{};
    case 'b':
        out += '\b';
        return Unit{};
    case 'f':
        out += '\f';
        return Unit{};
    case 'n':
        out += '\n';
        return Unit{};
    case 'r':
        out += '\r';
        return Unit{};
    case 't':
        out += '\t';
        return Unit{};
    case 'u':
        break;
    default:
        return err(error_at(escape_offset, "invalid escape"));
    }
    ASSIGN_OR_RETURN(unsigned code_point, parse_hex4());
    if (code_point >= 0xdc00 && code_point <= 0xdfff) {
        return err(error_at(escape_offset, "lone trailing surrogate in hex escape"));
    }
    if (code_point >= 0xd800 && code_point <= 0xdbff) {
        if (text_.substr(pos_, 2) != "\\u") {
            return err(error_at(escape_offset, "lone leading surrogate in hex escape"));
        }
        pos_ += 2;
        ASSIGN_OR_RETURN(const unsigned low, parse_hex4());
        if (low < 0xdc00 || low > 0xdfff) {
            return err(error_at(escape_offset, "lone leading surrogate in hex escape"));
        }
        code_point = 0x10000 + ((code_point - 0xd800) << 10) + (low - 0xdc00);
    }
    append_utf8(out, code_point);
    return Unit{};
}

// 4HEXDIG
JsonResult<unsigned> JsonReader::parse_hex4() {
    unsigned value = 0;
    for (int i = 0; i < 4; ++i, ++pos_) {
        if (at_end()) {
            return err(eof_error());
        }
        const int digit = hex_value(current());
        if (digit < 0) {
            return err(error_at(pos_, "invalid \\u escape: expected a hexadecimal digit"));
        }
        value = value * 16 + static_cast<unsigned>(digit);
    }
    return value;
}

// 1*DIGIT
JsonStatus JsonReader::parse_digits() {
    if (at_end()) {
        return err(eof_error());
    }
    if (!is_digit(current())) {
        return err(error_at(pos_, "invalid number"));
    }
    while (!at_end() && is_digit(current())) {
        ++pos_;
    }
    return Unit{};
}

// number = [ "-" ] ( "0" / %x31-39 *DIGIT ) [ "." 1*DIGIT ] [ ( "e" / "E" ) [ "-" / "+" ] 1*DIGIT ]
JsonResult<std::string_view> JsonReader::parse_number_text() {
    skip_whitespace();
    const std::size_t start = pos_;
    if (!at_end() && current() == '-') {
        ++pos_;
    }
    if (!at_end() && current() == '0') {
        ++pos_;
        if (!at_end() && is_digit(current())) {
            return err(error_at(pos_, "invalid number"));
        }
    } else
        RETURN_IF_ERROR(parse_digits());
    if (!at_end() && current() == '.') {
        ++pos_;
        RETURN_IF_ERROR(parse_digits());
    }
    if (!at_end() && (current() == 'e' || current() == 'E')) {
        ++pos_;
        if (!at_end() && (current() == '-' || current() == '+')) {
            ++pos_;
        }
        RETURN_IF_ERROR(parse_digits());
    }
    return text_.substr(start, pos_ - start);
}

JsonResult<double> JsonReader::parse_number() {
    skip_whitespace();
    const std::size_t start = pos_;
    ASSIGN_OR_RETURN(const std::string_view number, parse_number_text());
    double value = 0.0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error == std::errc::result_out_of_range) {
        if (leading_digit_exponent(number) < 0) {
            return number.front() == '-' ? -0.0 : 0.0;
        }
        return err(error_at(start, "number out of range"));
    }
    if (error != std::errc() || end != number.data() + number.size()) {
        return err(error_at(start, "invalid number"));
    }
    return value;
}

// literal = "true" / "false" / "null"
JsonStatus JsonReader::parse_literal(std::string_view word) {
    skip_whitespace();
    for (char expected : word) {
        if (at_end()) {
            return err(eof_error());
        }
        if (current() != expected) {
            return err(error_at(pos_, "expected `" + std::string(word) + "`"));
        }
        ++pos_;
    }
    return Unit{};
}

JsonResult<bool> JsonReader::parse_boolean() {
    const bool value = peek() == JsonKind::True;
    RETURN_IF_ERROR(parse_literal(value ? "true" : "false"));
    return value;
}

JsonStatus JsonReader::parse_null() { return parse_literal("null"); }

JsonError JsonReader::reject_value(std::string_view expected) {
    const JsonKind kind = peek();
    const std::size_t start = pos_;
    std::string found;
    switch (kind) {
    case JsonKind::Object:
        found = "object";
        break;
    case JsonKind::Array:
        found = "array";
        break;
    case JsonKind::String: {
        auto text = parse_string();
        if (!text) {
            return std::move(text).error();
        }
        found = "string ";
        append_json_string(found, text.value());
        break;
    }
    case JsonKind::Number: {
        auto text = parse_number_text();
        if (!text) {
            return std::move(text).error();
        }
        found = "number `" + std::string(text.value()) + "`";
        break;
    }
    case JsonKind::True:
    case JsonKind::False: {
        auto flag = parse_boolean();
        if (!flag) {
            return std::move(flag).error();
        }
        found = flag.value() ? "boolean `true`" : "boolean `false`";
        break;
    }
    case JsonKind::Null:
        if (auto null = parse_null(); !null) {
            return std::move(null).error();
        }
        found = "null";
        break;
    case JsonKind::End:
    case JsonKind::Invalid:
        return unexpected_value_error();
    }
    return error_at(start, "invalid type: " + found + ", expected " + std::string(expected));
}

} // namespace tallyfit
