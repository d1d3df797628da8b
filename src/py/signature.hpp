// Declared parameters of a callable and the matching of fast-call arguments to them.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace tallyfit::py {

inline constexpr std::size_t max_parameters = 8;

struct Signature {
    const char *name; // as in the interpreter's argument errors: "fit", "Formula", ...
    std::array<const char *, max_parameters> parameters{};
    std::size_t count = 0;
    std::size_t required = 0;

    template <std::size_t N>
    constexpr Signature(const char *function_name, const char *const (&names)[N],
                        std::size_t required_count)
        : name(function_name), count(N), required(required_count) {
        static_assert(N <= max_parameters);
        for (std::size_t i = 0; i < N; ++i) {
            parameters[i] = names[i];
        }
    }
    constexpr explicit Signature(const char *function_name) : name(function_name) {}
};

// Fills slots[0 .. count) with borrowed argument objects (null for an omitted optional one), or
// throws a TypeError worded like the interpreter's own argument errors.
void match_arguments(const Signature &signature, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, PyObject **slots);

} // namespace tallyfit::py
