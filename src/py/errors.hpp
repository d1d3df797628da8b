// Exceptions of the binding layer and the single place where C++ failures become Python ones.
#pragma once

#include <Python.h>

#include <string>

#include "error.hpp"

namespace tallyfit::py {

// A Python exception to raise when the call returns to the interpreter.
struct PythonException {
    PyObject *type;
    std::string message;
};

// An argument that cannot be converted; the call wrapper adds "argument '<name>': ".
struct ConversionError {
    std::string reason;
};

[[noreturn]] inline void raise(PyObject *type, std::string message) {
    throw PythonException{type, std::move(message)};
}

// The one map from the core's error codes to Python exception classes.
PyObject *exception_class(ErrorCode code);

// Raises the core's error as the exception its code maps to, with the error's message.
[[noreturn]] void raise_error(const Error &error);

// The module's internal-error exception class: derives directly from BaseException so that a
// plain `except Exception` does not swallow a broken invariant. Created once, on first use.
PyObject *internal_error_class();

// Sets the Python error indicator for the C++ exception being handled. Call only from a catch
// block; it never throws.
void set_error_from_current_exception() noexcept;

// Re-raises a pending conversion TypeError with the "argument '<name>': " prefix; any other
// pending exception passes through unchanged.
void prefix_pending_type_error(const char *argument_name) noexcept;

// The interruption check for long computations of the core: runs the interpreter's signal
// handlers and says whether one raised (KeyboardInterrupt for Ctrl-C); that exception is then
// pending, and the call reports it (ErrorAlreadySet).
bool signal_raised() noexcept;

// The Python type name of an object, for conversion messages.
std::string type_name(PyObject *object);

} // namespace tallyfit::py
