// Python classes EncodingType, EncodedColumnInfo and Encoder.
#include "encoding/encoding_py.hpp"

#include "encoding/encoding.hpp"
#include "py/call.hpp"
#include "py/class_builder.hpp"

namespace tallyfit {

using py::Exclusive;
using py::Shared;
using py::Signature;
using ColumnMap = std::unordered_map<std::string, EncodedColumnInfo>;

namespace {

// EncodingType

std::string type_name(Shared<EncodingType> &self) { return std::string(encoding_type_name(*self)); }
std::string type_repr(Shared<EncodingType> &self) {
    return "EncodingType." + std::string(encoding_type_name(*self));
}
long type_to_int(Shared<EncodingType> &self) { return static_cast<long>(*self); }

// Equality with another EncodingType only; everything else, ordering included, is left to
// Python's fallback.
PyObject *type_compare(PyObject *self, PyObject *other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || !py::is_instance<EncodingType>(other)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return py::guarded([&] {
        const bool equal = *Shared<EncodingType>(self) == *Shared<EncodingType>(other);
        return py::To<bool>::convert(equal == (op == Py_EQ));
    });
}

PyGetSetDef type_getset[] = {
    {"name", py::getter<type_name>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// EncodedColumnInfo

EncodedColumnInfo make_column_info(const std::optional<std::vector<std::string>> &levels,
                                   const EncodingType &encoding_type) {
    return EncodedColumnInfo{levels, encoding_type};
}

std::optional<std::vector<std::string>> info_levels(Shared<EncodedColumnInfo> &self) {
    return self->levels;
}
EncodingType info_encoding_type(Shared<EncodedColumnInfo> &self) { return self->encoding_type; }

constexpr Signature info_signature{"EncodedColumnInfo",
                                   {"levels", "encoding_type"},
                                   "Holds information about how a column is encoded.\n"
                                   "\n"
                                   "Fields:\n"
                                   "- levels: The (optional) vector holding all encoded levels. \n"
                                   "- encoding_type: The type of encoding used.\n"
                                   "\n"
                                   "Methods:"};

PyGetSetDef info_getset[] = {
    {"levels", py::getter<info_levels>, nullptr, nullptr, nullptr},
    {"encoding_type", py::getter<info_encoding_type>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Encoder

Encoder make_encoder() { return Encoder{}; }

ColumnMap encoder_mappings(Shared<Encoder> &self) { return self->column_mappings; }

void set_encoder_mappings(Exclusive<Encoder> &self, ColumnMap &mappings) {
    self->column_mappings = std::move(mappings);
}

void add_mapping(Exclusive<Encoder> &self, const std::string &col_name,
                 const EncodedColumnInfo &col_info) {
    self->column_mappings.insert_or_assign(col_name, col_info);
}

std::optional<EncodedColumnInfo> get_mapping(Shared<Encoder> &self, const std::string &col_name) {
    auto found = self->column_mappings.find(col_name);
    if (found == self->column_mappings.end()) {
        return std::nullopt;
    }
    return found->second;
}

constexpr Signature encoder_signature{
    "Encoder", "A struct that holds data on hhow columns are encoded during the modeling process.\n"
               "\n"
               "Attributes:\n"
               "- `column_mappings`: A mapping of column name to info on the encoding"};
constexpr Signature add_signature{
    "add_column_mapping",
    {"col_name", "col_info"},
    "Adds a single column and its encoding info to the mapping.\n"
    "\n"
    "Args:\n"
    "- `col_name` (String): The name of the column to add.\n"
    "- `col_info` (EncodedColumnInfo): The encoding information for that column."};
constexpr Signature get_signature{"get_column_mapping",
                                  {"col_name"},
                                  "Gets the encoding info for a single column.\n"
                                  "\n"
                                  "Args:\n"
                                  "- `col_name` (String): The name of the column to retrieve.\n"
                                  "\n"
                                  "Returns:\n"
                                  "- EncodedColumnInfo | None: The encoding information for the "
                                  "column,\n"
                                  "        or None if the column is not found in the mapping."};
constexpr char mappings_name[] = "mappings";

PyMethodDef encoder_methods[] = {
    py::method_entry<add_mapping, add_signature>(),
    py::method_entry<get_mapping, get_signature>(),
    py::end_of_methods,
};

PyGetSetDef encoder_getset[] = {
    {"column_mappings", py::getter<encoder_mappings>,
     py::setter<set_encoder_mappings, mappings_name>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The four members are class attributes, made once with the class.
void add_encoding_type_members(PyTypeObject *type) {
    for (EncodingType value : all_encoding_types) {
        py::Ref member = py::new_instance(type, value);
        const std::string name(encoding_type_name(value));
        py::add_class_attribute(type, name.c_str(), member.get());
    }
}

} // namespace

PyTypeObject *encoding_type_class() {
    const bool first_build = py::ClassOf<EncodingType>::type == nullptr;
    PyTypeObject *type = py::class_of<EncodingType>({
        .name = "builtins.EncodingType",
        .doc = "Enum to represent the type of encoding used for variables.",
        .getset = type_getset,
        .repr = py::unary_slot<type_repr>,
        .richcompare = type_compare,
        .to_int = py::unary_slot<type_to_int>,
        .hashable = false,
    });
    if (first_build) {
        add_encoding_type_members(type);
    }
    return type;
}

PyTypeObject *encoded_column_info_class() {
    return py::class_of<EncodedColumnInfo>({
        .name = "builtins.EncodedColumnInfo",
        .doc = py::constructor_doc<info_signature>,
        .getset = info_getset,
        .constructor = py::constructor<make_column_info, info_signature>,
    });
}

PyTypeObject *encoder_class() {
    return py::class_of<Encoder>({
        .name = "builtins.Encoder",
        .doc = py::constructor_doc<encoder_signature>,
        .methods = encoder_methods,
        .getset = encoder_getset,
        .constructor = py::constructor<make_encoder, encoder_signature>,
    });
}

} // namespace tallyfit
