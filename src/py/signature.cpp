#include "py/signature.hpp"

#include <string>

#include "py/errors.hpp"
#include "py/ref.hpp"

namespace tallyfit::py {

namespace {

std::string plural(std::size_t count, const char *noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

[[noreturn]] void too_many_positional(const Signature &signature, Py_ssize_t given) {
    std::string expected;
    if (signature.required == signature.count) {
        expected = (signature.count == 0 ? "no arguments"
                                         : plural(signature.count, "positional argument"));
    } else {
        expected = "from " + std::to_string(signature.required) + " to " +
                   plural(signature.count, "positional argument");
    }
    raise(PyExc_TypeError, std::string(signature.name) + "() takes " + expected + " but " +
                               std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

Py_ssize_t parameter_index(const Signature &signature, PyObject *keyword) {
    for (std::size_t i = 0; i < signature.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i].name) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

} // namespace

void match_arguments(const Signature &signature, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, PyObject **slots) {
    if (static_cast<std::size_t>(nargs) > signature.count) {
        too_many_positional(signature, nargs);
    }
    for (std::size_t i = 0; i < signature.count; ++i) {
        slots[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    }
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t index = parameter_index(signature, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.name, keyword);
            throw ErrorAlreadySet{};
        }
        if (slots[index] != nullptr) {
            raise(PyExc_TypeError, std::string(signature.name) +
                                       "() got multiple values for argument '" +
                                       signature.parameters[index].name + "'");
        }
        slots[index] = args[nargs + k];
    }
    std::string missing;
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i] == nullptr) {
            missing +=
                (missing.empty() ? "'" : ", '") + std::string(signature.parameters[i].name) + "'";
            ++missing_count;
        }
    }
    if (missing_count > 0) {
        raise(PyExc_TypeError, std::string(signature.name) + "() missing " +
                                   plural(missing_count, "required argument") + ": " + missing);
    }
}

} // namespace tallyfit::py
