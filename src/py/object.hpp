// Instances of this module's classes: a Python object header, a borrow state and the value it
// owns, plus the guards that take an instance shared or exclusively for the length of a call.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "py/errors.hpp"
#include "py/ref.hpp"

namespace tallyfit::py {

// Not a lock: it only catches Python code that calls back into an object while a call of this
// module is using it (everything runs under the interpreter lock).
struct BorrowState {
    long shared = 0;
    bool exclusive = false;
};

template <class T> struct Instance {
    PyObject_HEAD BorrowState borrow;
    T value;
};

// The Python class that wraps values of type T; set once when the class is built.
template <class T> struct ClassOf { static inline PyTypeObject *type = nullptr; };

template <class T> Instance<T> *instance_cast(PyObject *object) {
    return reinterpret_cast<Instance<T> *>(object);
}

template <class T> bool is_instance(PyObject *object) {
    return ClassOf<T>::type != nullptr && PyObject_TypeCheck(object, ClassOf<T>::type);
}

// A new instance of T's class holding `value`.
template <class T> Ref new_instance(PyTypeObject *type, T value) {
    if (type == nullptr) {
        raise(PyExc_SystemError, "_tallyfit: a class was used before it was built");
    }
    Ref object = check(type->tp_alloc(type, 0));
    auto *instance = instance_cast<T>(object.get());
    new (&instance->borrow) BorrowState{};
    new (&instance->value) T(std::move(value));
    return object;
}

template <class T> Ref new_instance(T value) {
    return new_instance(ClassOf<T>::type, std::move(value));
}

template <class T> void dealloc_instance(PyObject *object) {
    PyTypeObject *type = Py_TYPE(object);
    instance_cast<T>(object)->value.~T();
    type->tp_free(object);
    Py_DECREF(type); // instances of heap types own a reference to their type
}

// Shared access to an instance's value for the length of a call.
template <class T> class Shared {
  public:
    explicit Shared(PyObject *object) : object_(Ref::borrow(object)) {
        BorrowState &state = instance_cast<T>(object)->borrow;
        if (state.exclusive) {
            raise(PyExc_RuntimeError, "Already mutably borrowed");
        }
        ++state.shared;
    }
    Shared(Shared &&other) noexcept = default;
    Shared &operator=(Shared &&) = delete;
    ~Shared() {
        if (object_) {
            --instance_cast<T>(object_.get())->borrow.shared;
        }
    }

    const T &operator*() const { return instance_cast<T>(object_.get())->value; }
    const T *operator->() const { return &**this; }

  private:
    Ref object_;
};

// Exclusive access to an instance's value for the length of a call.
template <class T> class Exclusive {
  public:
    explicit Exclusive(PyObject *object) : object_(Ref::borrow(object)) {
        BorrowState &state = instance_cast<T>(object)->borrow;
        if (state.exclusive || state.shared > 0) {
            raise(PyExc_RuntimeError, "Already borrowed");
        }
        state.exclusive = true;
    }
    Exclusive(Exclusive &&other) noexcept = default;
    Exclusive &operator=(Exclusive &&) = delete;
    ~Exclusive() {
        if (object_) {
            instance_cast<T>(object_.get())->borrow.exclusive = false;
        }
    }

    T &operator*() const { return instance_cast<T>(object_.get())->value; }
    T *operator->() const { return &**this; }

  private:
    Ref object_;
};

} // namespace tallyfit::py
