#include "json/json_writer.hpp"

#include <cmath>
#include <utility>

#include "internal_error.hpp"
#include "json/number_format.hpp"

namespace tallyfit {

void append_json_string(std::string &out, std::string_view text) {
    static constexpr char hex_digits[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += "\\u00";
                out += hex_digits[static_cast<unsigned char>(c) >> 4];
                out += hex_digits[static_cast<unsigned char>(c) & 0xf];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

JsonWriter::JsonWriter() { out_.reserve(128); }

void JsonWriter::begin_item() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (has_items_.empty()) {
        if (!out_.empty()) {
            throw InternalError("JsonWriter: a second top-level value");
        }
        return;
    }
    if (has_items_.back()) {
        out_ += ',';
    }
    has_items_.back() = true;
    out_ += '\n';
    out_.append(2 * has_items_.size(), ' ');
}

void JsonWriter::close(char bracket) {
    if (has_items_.empty() || after_key_) {
        throw InternalError("JsonWriter: unbalanced close");
    }
    const bool had_items = has_items_.back();
    has_items_.pop_back();
    if (had_items) {
        out_ += '\n';
        out_.append(2 * has_items_.size(), ' ');
    }
    out_ += bracket;
}

void JsonWriter::begin_object() {
    begin_item();
    out_ += '{';
    has_items_.push_back(false);
}

void JsonWriter::end_object() { close('}'); }

void JsonWriter::begin_array() {
    begin_item();
    out_ += '[';
    has_items_.push_back(false);
}

void JsonWriter::end_array() { close(']'); }

void JsonWriter::key(std::string_view name) {
    if (has_items_.empty() || after_key_) {
        throw InternalError("JsonWriter: a key outside an object");
    }
    begin_item();
    append_json_string(out_, name);
    out_ += ": ";
    after_key_ = true;
}

void JsonWriter::string(std::string_view text) {
    begin_item();
    append_json_string(out_, text);
}

void JsonWriter::number(double value) {
    if (!std::isfinite(value)) {
        throw InternalError("JsonWriter: non-finite number");
    }
    begin_item();
    out_ += format_double(value);
}

void JsonWriter::boolean(bool value) {
    begin_item();
    out_ += value ? "true" : "false";
}

void JsonWriter::null() {
    begin_item();
    out_ += "null";
}

std::string JsonWriter::take() {
    if (!has_items_.empty() || after_key_) {
        throw InternalError("JsonWriter: unclosed container");
    }
    return std::exchange(out_, std::string());
}

} // namespace tallyfit
