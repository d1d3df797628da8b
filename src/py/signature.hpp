// The one declaration of a bound callable: its name, its parameters with the defaults its text
// signature shows, and its docstring. Argument matching, argument errors and the docstring with
// its text signature ("fit($self, x_matrix, max_iterations=25)\n--\n\n...", which Python turns
// into __text_signature__) all come from it; the call wrapper checks at compile time that it
// names as many parameters as the bound function takes.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace tallyfit::py {

inline constexpr std::size_t max_parameters = 12;

// A default value written once: the bound function applies `value` to an omitted argument, the
// text signature shows `text`. TALLYFIT_DEFAULT(double, 1e-8) spells both from one literal.
template <class T> struct Default {
    T value;
    const char *text;
};
#define TALLYFIT_DEFAULT(type, literal)                                                            \
    ::tallyfit::py::Default<type> { literal, #literal }

struct Parameter {
    const char *name = nullptr;
    // The default as the text signature shows it ("25", "None", "..."); null for a required
    // parameter. The bound function applies the real default to an omitted argument.
    const char *default_text = nullptr;

    constexpr Parameter() = default;
    constexpr Parameter(const char *parameter_name) : name(parameter_name) {}
    constexpr Parameter(const char *parameter_name, const char *shown_default)
        : name(parameter_name), default_text(shown_default) {}
    template <class T>
    constexpr Parameter(const char *parameter_name, const Default<T> &default_value)
        : name(parameter_name), default_text(default_value.text) {}
};

struct Signature {
    const char *name; // as in the interpreter's argument errors: "fit", "Formula", ...
    std::array<Parameter, max_parameters> parameters{};
    std::size_t count = 0;
    std::size_t required = 0; // the leading parameters without a default
    const char *doc = "";     // the docstring after the text signature

    template <std::size_t N>
    constexpr Signature(const char *function_name, const Parameter (&declared)[N],
                        const char *docstring = "")
        : Signature(function_name, std::to_array(declared), docstring) {}

    template <std::size_t N>
    constexpr Signature(const char *function_name, const std::array<Parameter, N> &declared,
                        const char *docstring = "")
        : name(function_name), count(N), doc(docstring) {
        static_assert(N <= max_parameters);
        for (std::size_t i = 0; i < N; ++i) {
            parameters[i] = declared[i];
            if (declared[i].default_text == nullptr) {
                if (required != i) {
                    throw "a required parameter follows one with a default";
                }
                ++required;
            }
        }
    }
    constexpr explicit Signature(const char *function_name, const char *docstring = "")
        : name(function_name), doc(docstring) {}
};

// Parameter lists shared by several signatures, joined in order.
template <std::size_t... N>
constexpr std::array<Parameter, (N + ...)> join(const Parameter (&...lists)[N]) {
    std::array<Parameter, (N + ...)> joined{};
    std::size_t next = 0;
    ((std::copy(lists, lists + N, joined.begin() + next), next += N), ...);
    return joined;
}

// What the text signature names before the parameters: nothing (module functions of _tallyfit,
// constructors), "$self" (methods) or "$module" (module functions that show their module).
enum class Receiver { None, Self, Module };

namespace detail {

// Writes the docstring with its text signature to `out` (when not null); returns its length.
constexpr std::size_t write_documentation(const Signature &signature, Receiver receiver,
                                          char *out) {
    std::size_t length = 0;
    const auto put = [&](std::string_view text) {
        for (char c : text) {
            if (out != nullptr) {
                out[length] = c;
            }
            ++length;
        }
    };
    put(signature.name);
    put("(");
    const char *separator = "";
    if (receiver != Receiver::None) {
        put(receiver == Receiver::Self ? "$self" : "$module");
        separator = ", ";
    }
    for (std::size_t i = 0; i < signature.count; ++i) {
        put(separator);
        put(signature.parameters[i].name);
        if (signature.parameters[i].default_text != nullptr) {
            put("=");
            put(signature.parameters[i].default_text);
        }
        separator = ", ";
    }
    put(")\n--\n\n");
    put(signature.doc);
    return length;
}

template <const Signature &Sig, Receiver R> constexpr auto documentation() {
    std::array<char, write_documentation(Sig, R, nullptr) + 1> text{};
    write_documentation(Sig, R, text.data());
    return text;
}

} // namespace detail

// The docstring of a callable declared by Sig, text signature first, as a static C string.
template <const Signature &Sig, Receiver R>
inline constexpr auto documentation = detail::documentation<Sig, R>();

// Fills slots[0 .. count) with borrowed argument objects (null for an omitted optional one), or
// throws a TypeError worded like the interpreter's own argument errors.
void match_arguments(const Signature &signature, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, PyObject **slots);

} // namespace tallyfit::py
