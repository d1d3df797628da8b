// Reading and writing the values of a model file, driven by their C++ types and by the record
// layouts of records.hpp:
//
//   f64 = number                          bool = "true" / "false"        text = string
//   encoding-type = "Dummy" / "OneHot" / "Bool" / "Numeric"
//   nullable(X) = "null" / X              (std::optional)
//   sequence(X) = "[" [ X *( "," X ) ] "]"  (std::vector)
//   map(X) = "{" [ string ":" X *( "," string ":" X ) ] "}"  (a repeated key: the later wins)
//   record = record-object / record-array  (json/record_reader.hpp)
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model_file/records.hpp"
#include "json/json_reader.hpp"
#include "json/json_writer.hpp"
#include "json/record_reader.hpp"

namespace tallyfit::model_file {

template <class T> struct Codec;

template <class T> JsonStatus read_into(JsonReader &json, T &target) {
    ASSIGN_OR_RETURN(target, Codec<T>::read(json));
    return Unit{};
}

template <> struct Codec<double> {
    static JsonResult<double> read(JsonReader &json) {
        if (json.peek() != JsonKind::Number) {
            return err(json.reject_value("f64"));
        }
        return json.parse_number();
    }
    static void write(JsonWriter &json, double value) { json.number(value); }
};

template <> struct Codec<bool> {
    static JsonResult<bool> read(JsonReader &json) {
        const JsonKind kind = json.peek();
        if (kind != JsonKind::True && kind != JsonKind::False) {
            return err(json.reject_value("a boolean"));
        }
        return json.parse_boolean();
    }
    static void write(JsonWriter &json, bool value) { json.boolean(value); }
};

template <> struct Codec<std::string> {
    static JsonResult<std::string> read(JsonReader &json) {
        if (json.peek() != JsonKind::String) {
            return err(json.reject_value("a string"));
        }
        return json.parse_string();
    }
    static void write(JsonWriter &json, const std::string &text) { json.string(text); }
};

template <> struct Codec<EncodingType> {
    static JsonResult<EncodingType> read(JsonReader &json) {
        if (json.peek() != JsonKind::String) {
            return err(json.reject_value("enum EncodingType"));
        }
        const std::size_t start = json.offset();
        ASSIGN_OR_RETURN(const std::string name, json.parse_string());
        if (auto type = encoding_type_from_name(name)) {
            return *type;
        }
        std::string message = "unknown variant `" + name + "`, expected one of ";
        const char *separator = "";
        for (EncodingType type : all_encoding_types) {
            message.append(separator).append("`").append(encoding_type_name(type)).append("`");
            separator = ", ";
        }
        return err(json.error_at(start, std::move(message)));
    }
    static void write(JsonWriter &json, EncodingType type) {
        json.string(encoding_type_name(type));
    }
};

template <class T> struct Codec<std::optional<T>> {
    static JsonResult<std::optional<T>> read(JsonReader &json) {
        if (json.peek() == JsonKind::Null) {
            RETURN_IF_ERROR(json.parse_null());
            return std::optional<T>();
        }
        ASSIGN_OR_RETURN(T value, Codec<T>::read(json));
        return std::optional<T>(std::move(value));
    }
    static void write(JsonWriter &json, const std::optional<T> &value) {
        if (value) {
            Codec<T>::write(json, *value);
        } else {
            json.null();
        }
    }
};

template <class T> struct Codec<std::vector<T>> {
    static JsonResult<std::vector<T>> read(JsonReader &json) {
        if (json.peek() != JsonKind::Array) {
            return err(json.reject_value("a sequence"));
        }
        std::vector<T> values;
        RETURN_IF_ERROR(
            json.parse_array([&](std::size_t) { return read_into(json, values.emplace_back()); }));
        return values;
    }
    static void write(JsonWriter &json, const std::vector<T> &values) {
        json.begin_array();
        for (const T &value : values) {
            Codec<T>::write(json, value);
        }
        json.end_array();
    }
};

template <class T> struct Codec<std::unordered_map<std::string, T>> {
    static JsonResult<std::unordered_map<std::string, T>> read(JsonReader &json) {
        if (json.peek() != JsonKind::Object) {
            return err(json.reject_value("a map"));
        }
        std::unordered_map<std::string, T> values;
        RETURN_IF_ERROR(json.parse_object(
            [&](const std::string &key, std::size_t) { return read_into(json, values[key]); }));
        return values;
    }
    static void write(JsonWriter &json, const std::unordered_map<std::string, T> &values) {
        json.begin_object();
        for (const auto &[key, value] : values) {
            json.key(key);
            Codec<T>::write(json, value);
        }
        json.end_object();
    }
};

template <class T> inline constexpr bool is_optional = false;
template <class T> inline constexpr bool is_optional<std::optional<T>> = true;

// The keys of a layout's fields and whether each is required (not a std::optional member).
template <class L, class Record> constexpr auto record_fields() {
    return std::apply(
        [](const auto &...field) {
            return std::array<RecordField, sizeof...(field)>{RecordField{
                field.key,
                !is_optional<
                    std::remove_cvref_t<decltype(field.get(std::declval<Record &>()))>>}...};
        },
        L::fields);
}

// Reads the value of field `index` of the layout into its member of `record`.
template <class L, class Record>
JsonStatus read_field(JsonReader &json, Record &record, std::size_t index) {
    return std::apply(
        [&](const auto &...field) {
            JsonStatus status = Unit{};
            std::size_t i = 0;
            static_cast<void>(
                ((i++ == index && (status = read_into(json, field.get(record)), true)) || ...));
            return status;
        },
        L::fields);
}

template <class T> void write_value(JsonWriter &json, const T &value) {
    Codec<T>::write(json, value);
}

// Writes `record` as an object of the layout's fields, in field order.
template <class L, class Record> void write_fields(JsonWriter &json, const Record &record) {
    json.begin_object();
    std::apply(
        [&](const auto &...field) {
            ((json.key(field.key), write_value(json, field.get(record))), ...);
        },
        L::fields);
    json.end_object();
}

template <class Record>
requires requires { Layout<Record>::fields; }
struct Codec<Record> {
    static constexpr auto fields = record_fields<Layout<Record>, Record>();

    static JsonResult<Record> read(JsonReader &json) {
        Record record;
        RETURN_IF_ERROR(parse_record(json, Layout<Record>::name, fields, [&](std::size_t index) {
            return read_field<Layout<Record>>(json, record, index);
        }));
        return record;
    }
    static void write(JsonWriter &json, const Record &record) {
        write_fields<Layout<Record>>(json, record);
    }
};

} // namespace tallyfit::model_file
