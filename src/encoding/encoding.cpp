#include "encoding/encoding.hpp"

namespace tallyfit {

std::string_view encoding_type_name(EncodingType type) {
    switch (type) {
    case EncodingType::Dummy:
        return "Dummy";
    case EncodingType::OneHot:
        return "OneHot";
    case EncodingType::Bool:
        return "Bool";
    case EncodingType::Numeric:
        return "Numeric";
    }
    return "Numeric";
}

std::optional<EncodingType> encoding_type_from_name(std::string_view name) {
    for (EncodingType type : all_encoding_types) {
        if (encoding_type_name(type) == name) {
            return type;
        }
    }
    return std::nullopt;
}

} // namespace tallyfit
