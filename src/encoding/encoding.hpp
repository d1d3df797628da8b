// Records of how each design-matrix column was derived from the data.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tallyfit {

enum class EncodingType : int { Dummy = 0, OneHot = 1, Bool = 2, Numeric = 3 };

inline constexpr EncodingType all_encoding_types[] = {EncodingType::Dummy, EncodingType::OneHot,
                                                      EncodingType::Bool, EncodingType::Numeric};

std::string_view encoding_type_name(EncodingType type);
// Exactly the four names, case-sensitive.
std::optional<EncodingType> encoding_type_from_name(std::string_view name);

struct EncodedColumnInfo {
    std::optional<std::vector<std::string>> levels;
    EncodingType encoding_type = EncodingType::Numeric;

    bool operator==(const EncodedColumnInfo &) const = default;
};

struct Encoder {
    // No order is promised to anyone.
    std::unordered_map<std::string, EncodedColumnInfo> column_mappings;

    bool operator==(const Encoder &) const = default;
};

} // namespace tallyfit
