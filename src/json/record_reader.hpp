// Reading a record (a struct of named fields) from JSON, either as an object of named members
// or as an array of its values in field order.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_reader.hpp"

namespace tallyfit {

struct RecordField {
    std::string_view key;
    bool required;
};

// record-object = "{" [ field *( "," field ) ] "}" ; field = key ":" value ; each known key at
// most once, every required key present, unknown keys skipped.
// parse_field(index) -> JsonStatus reads the value of fields[index].
template <class ParseField>
JsonStatus parse_record_object(JsonReader &json, std::span<const RecordField> fields,
                               ParseField &&parse_field) {
    std::vector<bool> seen(fields.size(), false);
    RETURN_IF_ERROR(json.parse_object([&](const std::string &key, std::size_t key_offset) {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].key != key) {
                continue;
            }
            if (seen[i]) {
                return JsonStatus(err(json.error_at(key_offset, "duplicate field `" + key + "`")));
            }
            seen[i] = true;
            return parse_field(i);
        }
        return json.skip_value();
    }));
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].required && !seen[i]) {
            return err(json.error_at(json.last_close_offset(),
                                     "missing field `" + std::string(fields[i].key) + "`"));
        }
    }
    return Unit{};
}

// record-array = "[" value *( "," value ) "]" ; exactly one value per field, in field order
template <class ParseField>
JsonStatus parse_record_array(JsonReader &json, std::string_view record_name,
                              std::span<const RecordField> fields, ParseField &&parse_field) {
    std::size_t count = 0;
    RETURN_IF_ERROR(json.parse_array([&](std::size_t index) {
        ++count;
        // Surplus elements are read only to be counted for the message.
        return index < fields.size() ? parse_field(index) : json.skip_value();
    }));
    if (count != fields.size()) {
        return err(json.error_at(json.last_close_offset(),
                                 "invalid length " + std::to_string(count) + ", expected struct " +
                                     std::string(record_name) + " with " +
                                     std::to_string(fields.size()) +
                                     (fields.size() == 1 ? " element" : " elements")));
    }
    return Unit{};
}

// record = record-object / record-array
template <class ParseField>
JsonStatus parse_record(JsonReader &json, std::string_view record_name,
                        std::span<const RecordField> fields, ParseField &&parse_field) {
    switch (json.peek()) {
    case JsonKind::Object:
        return parse_record_object(json, fields, parse_field);
    case JsonKind::Array:
        return parse_record_array(json, record_name, fields, parse_field);
    default:
        return err(json.reject_value("struct " + std::string(record_name)));
    }
}

} // namespace tallyfit
