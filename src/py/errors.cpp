#include "py/errors.hpp"

#include <new>

#include "internal_error.hpp"
#include "linalg/blas.hpp"
#include "py/ref.hpp"

namespace tallyfit::py {

PyObject *internal_error_class() {
    static PyObject *cls = nullptr; // kept for the life of the process
    if (cls == nullptr) {
        cls = PyErr_NewExceptionWithDoc(
            "_tallyfit.InternalError",
            "A broken internal invariant of _tallyfit, such as operand shapes that do not fit.",
            PyExc_BaseException, nullptr);
    }
    return cls;
}

namespace {

// The whole message, even where text from a model file put a NUL byte into it.
void set_error(PyObject *type, const std::string &message) {
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) {
        PyErr_SetObject(type, text.get());
    }
}

// The message ended by str(detail); a failing str() leaves its own exception instead.
void set_error(PyObject *type, const std::string &message, const Ref &detail) {
    if (!detail) {
        set_error(type, message);
        return;
    }
    Ref text = Ref::steal(PyObject_Str(detail.get()));
    Py_ssize_t size = 0;
    const char *utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (utf8 != nullptr) {
        set_error(type, message + std::string(utf8, static_cast<size_t>(size)));
    }
}

void set_internal_error(const std::string &message) {
    PyObject *cls = internal_error_class();
    if (cls != nullptr) {
        set_error(cls, message);
    }
}

} // namespace

PyObject *exception_class(ErrorCode code) {
    switch (code) {
    case ErrorCode::NotFitted:
        return PyExc_RuntimeError;
    case ErrorCode::Serialize:
    case ErrorCode::Write:
    case ErrorCode::Read:
        return PyExc_OSError;
    case ErrorCode::EmptyFormula:
    case ErrorCode::MissingTilde:
    case ErrorCode::MultipleTildes:
    case ErrorCode::EmptyDependent:
    case ErrorCode::EmptyIndependent:
    case ErrorCode::InvalidTerm:
    case ErrorCode::InversionFailure:
    case ErrorCode::ConvergenceFailure:
    case ErrorCode::MultiplePenalties:
    case ErrorCode::NegativeLambda:
    case ErrorCode::Interrupted:
    case ErrorCode::Deserialize:
    case ErrorCode::TypeMismatch:
        break;
    }
    return PyExc_ValueError;
}

void raise_error(const Error &error) {
    // The interruption check saw Ctrl-C; its handler runs once the call has let go of its objects.
    if (error.code == ErrorCode::Interrupted) {
        throw InterruptDeferred{};
    }
    raise(exception_class(error.code), error.message());
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet &) {
        if (!PyErr_Occurred()) {
            set_internal_error("a C-API call failed without setting an exception");
        }
    } catch (const PythonException &e) {
        set_error(e.type, e.message, e.detail);
    } catch (const ConversionError &e) {
        set_error(PyExc_TypeError, e.reason, e.detail);
    } catch (const InternalError &e) {
        set_internal_error(e.what());
    } catch (const linalg::BlasUnavailable &e) {
        set_error(PyExc_ImportError, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        set_internal_error(e.what());
    } catch (...) {
        set_internal_error("unknown C++ exception");
    }
}

void prefix_pending_type_error(const char *argument_name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    Ref text = Ref::steal(value != nullptr ? PyObject_Str(value) : nullptr);
    if (!text) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': invalid value", argument_name);
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", argument_name, text.get());
}

// PyOS_InterruptOccurred takes SIGINT's mark (only on the thread that handles signals) without
// running its handler; run_deferred_interrupt puts it back.
bool signal_raised() noexcept { return PyOS_InterruptOccurred() != 0; }

bool run_deferred_interrupt() noexcept {
    PyErr_SetInterrupt();
    return PyErr_CheckSignals() == 0;
}

std::string type_name(PyObject *object) { return _PyType_Name(Py_TYPE(object)); }

} // namespace tallyfit::py
