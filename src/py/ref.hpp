// The one owning reference to a Python object, and the one-line check of C-API results.
#pragma once

#include <Python.h>

#include <utility>

namespace tallyfit::py {

// Thrown when a C-API call failed and left the Python error indicator set; the call wrapper
// catches it and returns the failure to the interpreter with that exception.
struct ErrorAlreadySet {};

class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject *object) { return Ref(object); }
    static Ref borrow(PyObject *object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref &other) : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref &&other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref &operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject *get() const { return object_; }
    // Hands the reference over to the caller (typically the interpreter).
    PyObject *release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    explicit Ref(PyObject *object) : object_(object) {}
    PyObject *object_ = nullptr;
};

// Takes ownership of a new reference returned by the C API; a null result means an exception.
inline Ref check(PyObject *new_reference) {
    if (new_reference == nullptr) {
        throw ErrorAlreadySet{};
    }
    return Ref::steal(new_reference);
}

// For C-API calls that report failure with -1 (or any negative status).
inline int check_status(int status) {
    if (status < 0) {
        throw ErrorAlreadySet{};
    }
    return status;
}

} // namespace tallyfit::py
