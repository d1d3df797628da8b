// The body of an extension module's init function, shared by both modules of the package.
#pragma once

#include <Python.h>

#include <string>

#include "py/errors.hpp"
#include "py/ref.hpp"

namespace tallyfit::py {

// Builds the module with create() (returning a Ref), once per process: the module keeps
// process-wide state, so a second initialization (another interpreter) is an ImportError.
template <class Create> PyObject *initialize_once(const char *module_name, Create create) noexcept {
    static bool initialized = false;
    if (initialized) {
        const std::string message =
            std::string(module_name) + " may only be initialized once per interpreter process";
        PyErr_SetString(PyExc_ImportError, message.c_str());
        return nullptr;
    }
    try {
        PyObject *module = create().release();
        initialized = true;
        return module;
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

} // namespace tallyfit::py
