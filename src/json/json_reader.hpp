// A strict JSON reader (RFC 8259 grammar) that hands values to its caller one at a time, so that
// the caller checks each value's type where it expects it and reports problems with exact
// positions. Nesting deeper than `max_depth` containers is refused.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "result.hpp"

namespace tallyfit {

struct JsonError {
    std::string description;
    std::size_t offset; // byte offset of the problem in the text
};

template <class T> using JsonResult = Result<T, JsonError>;
using JsonStatus = Status<JsonError>;

// "<description> at line L column C", both 1-based; columns count characters, not bytes.
std::string describe_json_error(std::string_view text, const JsonError &error);

enum class JsonKind { Object, Array, String, Number, True, False, Null, End, Invalid };

class JsonReader {
  public:
    static constexpr int max_depth = 128;

    explicit JsonReader(std::string_view text) : text_(text) {}

    // The kind of the next value, after skipping whitespace; nothing is consumed.
    JsonKind peek();
    std::size_t offset() const { return pos_; }
    // Offset of the bracket that closed the most recent object or array.
    std::size_t last_close_offset() const { return last_close_; }
    JsonError error_at(std::size_t offset, std::string description) const;

    // The whole text has been read apart from trailing whitespace.
    JsonStatus parse_end();

    JsonStatus skip_value();
    JsonResult<std::string> parse_string();
    JsonResult<double> parse_number();
    JsonResult<bool> parse_boolean();
    JsonStatus parse_null();

    // object = "{" ws [ member *( ws "," ws member ) ] ws "}"
    // member = string ws ":" ws value
    // on_member(key, key_offset) -> JsonStatus must read the member's value.
    template <class OnMember> JsonStatus parse_object(OnMember &&on_member);

    // array = "[" ws [ value *( ws "," ws value ) ] ws "]"
    // on_element(index) -> JsonStatus must read the element.
    template <class OnElement> JsonStatus parse_array(OnElement &&on_element);

    // The error for a value of the wrong type at the cursor: "invalid type: <found>, expected
    // <expected>", or the syntax error met while reading the value to describe it.
    JsonError reject_value(std::string_view expected);

  private:
    void skip_whitespace();
    bool at_end() const { return pos_ >= text_.size(); }
    char current() const { return text_[pos_]; }
    JsonError eof_error() const { return error_at(text_.size(), "EOF while parsing a value"); }
    JsonError unexpected_value_error();

    JsonStatus open_container();
    // After "{" or "[": whether an item follows (false: the container was empty and is closed).
    JsonResult<bool> first_item(char close);
    // After an item: whether another item follows (false: the container is closed).
    JsonResult<bool> next_item(char close);
    JsonResult<std::string> parse_member_name();

    JsonStatus parse_escape(std::string &out);
    JsonResult<unsigned> parse_hex4();
    JsonResult<std::string_view> parse_number_text();
    JsonStatus parse_digits();
    JsonStatus parse_literal(std::string_view word);

    std::string_view text_;
    std::size_t pos_ = 0;
    std::size_t last_close_ = 0;
    int depth_ = 0;
};

template <class OnMember> JsonStatus JsonReader::parse_object(OnMember &&on_member) {
    RETURN_IF_ERROR(open_container());
    ASSIGN_OR_RETURN(bool more, first_item('}'));
    while (more) {
        skip_whitespace();
        const std::size_t key_offset = pos_;
        ASSIGN_OR_RETURN(const std::string key, parse_member_name());
        RETURN_IF_ERROR(on_member(key, key_offset));
        ASSIGN_OR_RETURN(more, next_item('}'));
    }
    return Unit{};
}

template <class OnElement> JsonStatus JsonReader::parse_array(OnElement &&on_element) {
    RETURN_IF_ERROR(open_container());
    std::size_t index = 0;
    ASSIGN_OR_RETURN(bool more, first_item(']'));
    while (more) {
        RETURN_IF_ERROR(on_element(index++));
        ASSIGN_OR_RETURN(more, next_item(']'));
    }
    return Unit{};
}

} // namespace tallyfit
