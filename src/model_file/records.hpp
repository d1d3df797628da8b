// The records of a model file, each described once: its name in messages and its fields in file
// order, each a key and the member that holds its value. The reader and the writer
// (record_codec.hpp) both walk these descriptions, so key lists, field order and which fields
// may be missing (exactly the std::optional members, which then stay empty) cannot drift apart.
#pragma once

#include <string_view>
#include <tuple>

#include "encoding/encoding.hpp"
#include "formula/formula.hpp"
#include "models/base_model.hpp"

namespace tallyfit::model_file {

// A field: its key and how to reach its member in a record (const or not).
template <class Get> struct Field {
    std::string_view key;
    Get get;
};
template <class Get> Field(std::string_view, Get) -> Field<Get>;

// The member `Member` of a record, for Field::get.
template <auto Member> inline constexpr auto member = [](auto &record) -> auto & {
    return record.*Member;
};

// Layout<R>::name and Layout<R>::fields for every record R that nests in a model file; a record
// may be written as an object of its fields or as an array of their values in field order.
template <class Record> struct Layout;

template <> struct Layout<EncodedColumnInfo> {
    static constexpr std::string_view name = "EncodedColumnInfo";
    static constexpr std::tuple fields{
        Field{"levels", member<&EncodedColumnInfo::levels>},
        Field{"encoding_type", member<&EncodedColumnInfo::encoding_type>},
    };
};

template <> struct Layout<Encoder> {
    static constexpr std::string_view name = "Encoder";
    static constexpr std::tuple fields{
        Field{"column_mappings", member<&Encoder::column_mappings>},
    };
};

template <> struct Layout<FormulaTerm> {
    static constexpr std::string_view name = "FormulaTerm";
    static constexpr std::tuple fields{
        Field{"name", member<&FormulaTerm::name>},
        Field{"dependent", member<&FormulaTerm::dependent>},
        Field{"subtracted", member<&FormulaTerm::subtracted>},
        Field{"intercept", member<&FormulaTerm::intercept>},
        Field{"interaction", member<&FormulaTerm::interaction>},
    };
};

template <> struct Layout<Formula> {
    static constexpr std::string_view name = "Formula";
    static constexpr std::tuple fields{
        Field{"original", member<&Formula::original>},
        Field{"dependent", member<&Formula::dependent>},
        Field{"independent", member<&Formula::independent>},
    };
};

template <> struct Layout<PenaltySpecification> {
    static constexpr std::string_view name = "PenaltySpecification";
    static constexpr std::tuple fields{
        Field{"variable_name", member<&PenaltySpecification::variable_name>},
        Field{"categorical_level", member<&PenaltySpecification::categorical_level>},
        Field{"lambda_param", member<&PenaltySpecification::lambda_param>},
        Field{"target", member<&PenaltySpecification::target>},
    };
};

// The document itself, always an object. "penalties" belongs to the penalized kind only; for the
// other kinds it is an unknown key, skipped on reading and never written.
struct DocumentLayout {
    static constexpr std::tuple fields{
        Field{"coefficients", [](auto &state) -> auto &{return state.base.coefficients;
}
} // namespace tallyfit::model_file
, Field{"encoding_data", [](auto &state) -> auto &{return state.base.encoding_data;
}
}
, Field{"formula", [](auto &state) -> auto &{return state.base.formula;
}
}
, Field{"model_type", [](auto &state) -> auto &{return state.base.model_type;
}
}
,
}
;
}
;

struct PenalizedDocumentLayout {
    static constexpr std::tuple fields = std::tuple_cat(
        DocumentLayout::fields, std::tuple{Field{"penalties", member<&ModelState::penalties>}});
};

} // namespace tallyfit::model_file
