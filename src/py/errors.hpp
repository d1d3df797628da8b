// Exceptions of the binding layer and the single place where C++ failures become Python ones.
#pragma once

#include <Python.h>

#include <string>

#include "error.hpp"
#include "py/ref.hpp"

namespace tallyfit::py {

// A Python exception to raise when the call returns to the interpreter. A `detail` object's
// str() ends the message; it is taken when the exception is set, after the call has released
// its objects, since str() may run Python code.
struct PythonException {
    PyObject *type;
    std::string message;
    Ref detail{};
};

// An argument that cannot be converted; the call wrapper adds "argument '<name>': ".
struct ConversionError {
    std::string reason;
    Ref detail{};
};

// An iterative fit stopped by Ctrl-C (see signal_raised): the call that ran it has released
// its objects when this reaches the call wrapper, which then runs the signal handlers.
struct InterruptDeferred {};

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

// The interruption check for long computations of the core, which run while their call holds
// its objects: says whether Ctrl-C (SIGINT) arrived, and runs no Python code. A Python signal
// handler run here could reach the borrowed objects, and it lets other threads in, which would
// find them borrowed by a call that is only computing (on 3.12 and later PyErr_CheckSignals also
// runs the garbage collector, and so finalizers). The fit then stops (Interrupted, which the
// call wrapper receives as InterruptDeferred), and run_deferred_interrupt runs the handlers once
// the objects are released. Other signals' handlers run when the call returns.
bool signal_raised() noexcept;

// Delivers again the Ctrl-C that signal_raised took and runs the pending signal handlers; call
// with no object borrowed. False with the handler's exception (KeyboardInterrupt) pending; true
// when every handler returned normally, and the interrupted call is to be run again.
bool run_deferred_interrupt() noexcept;

// The Python type name of an object, for conversion messages.
std::string type_name(PyObject *object);

} // namespace tallyfit::py
