// The one call wrapper behind every function, method, constructor, getter and setter of the
// module: match the arguments, take the object, convert in declaration order, run, convert the
// result back, map errors, and release everything in reverse order (locals unwinding).
//
// A bound C++ function names its parameters by their types: Shared<T>& / Exclusive<T>& for a
// borrowed instance, plain values (std::string, double, MatrixView, ...) for copies or views.
#pragma once

#include <Python.h>

#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "py/blas_scipy.hpp"
#include "py/convert.hpp"
#include "py/errors.hpp"
#include "py/numpy.hpp"
#include "py/object.hpp"
#include "py/ref.hpp"
#include "py/signature.hpp"
#include "result.hpp"

namespace tallyfit::py {

template <class R> struct ResultConverter {
    static Ref convert(R &&value) { return To<std::decay_t<R>>::convert(std::forward<R>(value)); }
};

template <> struct ResultConverter<void> {};

// The core's one error type becomes the exception its code maps to (raise_error).
template <class T> struct ResultConverter<Result<T, Error>> {
    static Ref convert(Result<T, Error> &&result) {
        if (!result.ok()) {
            raise_error(result.error());
        }
        if constexpr (std::is_same_v<T, Unit>) {
            return Ref::borrow(Py_None);
        } else {
            return ResultConverter<T>::convert(std::move(result).value());
        }
    }
};

template <auto Fn, class... Args> Ref run_and_convert(Args &...args) {
    using R = decltype(Fn(args...));
    if constexpr (std::is_void_v<R>) {
        Fn(args...);
        return Ref::borrow(Py_None);
    } else {
        return ResultConverter<R>::convert(Fn(args...));
    }
}

template <class P> using Stored = std::remove_cvref_t<P>;

// Converts one argument; a TypeError from the conversion is reported under the parameter name.
template <class P> Stored<P> convert_argument(PyObject *object, const char *name) {
    if (object == nullptr) {
        if constexpr (requires { Stored<P>{std::nullopt}; }) {
            return Stored<P>{std::nullopt}; // an omitted optional parameter
        } else {
            raise(PyExc_TypeError, std::string("missing required argument '") + name + "'");
        }
    }
    try {
        return From<Stored<P>>::convert(object);
    } catch (const ConversionError &e) {
        throw PythonException{PyExc_TypeError, std::string("argument '") + name + "': " + e.reason,
                              e.detail};
    } catch (const ErrorAlreadySet &) {
        prefix_pending_type_error(name);
        throw;
    }
}

template <class F> struct FunctionTraits;
template <class R, class... Ps> struct FunctionTraits<R (*)(Ps...)> {
    using Return = R;
    using Parameters = std::tuple<Ps...>;
    static constexpr std::size_t arity = sizeof...(Ps);
};

template <auto Fn> using ParameterOf = typename FunctionTraits<decltype(Fn)>::Parameters;

// The declaration names every parameter of Fn after the `Receivers` leading ones (the instance
// of a method), so no argument slot is read that matching did not fill.
template <auto Fn, const Signature &Sig, std::size_t Receivers> constexpr void check_declaration() {
    static_assert(Sig.count + Receivers == FunctionTraits<decltype(Fn)>::arity,
                  "the signature must declare exactly the bound function's parameters");
}

// Converts parameters I.. of Fn one by one, each a local of its own frame, then runs Fn.
template <auto Fn, const Signature &Sig, std::size_t I, std::size_t Offset, class... Done>
Ref convert_then_run(PyObject *const *slots, Done &...done) {
    if constexpr (I == FunctionTraits<decltype(Fn)>::arity) {
        return run_and_convert<Fn>(done...);
    } else {
        using P = std::tuple_element_t<I, ParameterOf<Fn>>;
        Stored<P> value = convert_argument<P>(slots[I - Offset], Sig.parameters[I - Offset].name);
        return convert_then_run<Fn, Sig, I + 1, Offset>(slots, done..., value);
    }
}

template <class T> struct IsArray : std::false_type {};
template <> struct IsArray<linalg::MatrixView> : std::true_type {};
template <> struct IsArray<linalg::VectorView> : std::true_type {};
template <> struct IsArray<linalg::Matrix> : std::true_type {};
template <> struct IsArray<linalg::Vector> : std::true_type {};
template <class T> struct IsArray<std::optional<T>> : IsArray<T> {};
template <class T, class E> struct IsArray<Result<T, E>> : IsArray<T> {};

template <class... Ps> constexpr bool any_array_view(std::tuple<Ps...> *) {
    return ((std::is_same_v<Stored<Ps>, linalg::MatrixView> ||
             std::is_same_v<Stored<Ps>, linalg::VectorView>) ||
            ...);
}

template <class... Ps> constexpr bool any_array(std::tuple<Ps...> *) {
    return (IsArray<Stored<Ps>>::value || ...);
}

// Fn computes with arrays, and so with the BLAS/LAPACK kernels.
template <auto Fn>
inline constexpr bool takes_arrays = any_array_view(static_cast<ParameterOf<Fn> *>(nullptr));

// Fn reads or makes NumPy arrays.
template <auto Fn>
inline constexpr bool
    uses_numpy = any_array(static_cast<ParameterOf<Fn> *>(nullptr)) ||
                 IsArray<std::remove_cvref_t<typename FunctionTraits<decltype(Fn)>::Return>>::value;

// The one-time bindings that Fn's call needs are made before it takes any object: the first
// lookup of NumPy's C API may import NumPy, and the first BLAS/LAPACK binding imports SciPy.
// Both run Python code, which lets other threads in, and they must not find this call's objects
// borrowed. NumPy's binding fails here as it would in the conversion; a failed BLAS binding is
// left to the kernel that needs a routine, so it is reported where it always was.
template <auto Fn> void bind_before_borrowing() {
    if constexpr (uses_numpy<Fn>) {
        ensure_numpy();
    }
    if constexpr (takes_arrays<Fn>) {
        bind_blas_if_possible();
    }
}

// Runs body inside the boundary: every C++ failure becomes the Python exception it stands for.
// The body holds the call's objects, so they are released before any handler here runs: a fit
// stopped by Ctrl-C runs the signal handlers now, and runs again when they all return normally
// (the interrupted fit left the model as it was).
template <class Body> PyObject *guarded(Body &&body) noexcept {
    for (;;) {
        try {
            return body().release();
        } catch (const InterruptDeferred &) {
            if (!run_deferred_interrupt()) {
                return nullptr;
            }
        } catch (...) {
            set_error_from_current_exception();
            return nullptr;
        }
    }
}

// Module function: Fn(params...).
template <auto Fn, const Signature &Sig>
PyObject *function(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames) noexcept {
    check_declaration<Fn, Sig, 0>();
    return guarded([&] {
        PyObject *slots[max_parameters];
        match_arguments(Sig, args, nargs, kwnames, slots);
        bind_before_borrowing<Fn>();
        return convert_then_run<Fn, Sig, 0, 0>(slots);
    });
}

// Method: Fn(Shared<T>& or Exclusive<T>& self, params...); the object is taken before the
// arguments are converted (after the one-time bindings, bind_before_borrowing).
template <auto Fn, const Signature &Sig>
PyObject *method(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                 PyObject *kwnames) noexcept {
    check_declaration<Fn, Sig, 1>();
    return guarded([&] {
        PyObject *slots[max_parameters];
        match_arguments(Sig, args, nargs, kwnames, slots);
        bind_before_borrowing<Fn>();
        using Self = Stored<std::tuple_element_t<0, ParameterOf<Fn>>>;
        Self guard = Self(self);
        return convert_then_run<Fn, Sig, 1, 1>(slots, guard);
    });
}

// Getter: Fn(Shared<T>& self).
template <auto Fn> PyObject *getter(PyObject *self, void *) noexcept {
    return guarded([&] {
        bind_before_borrowing<Fn>();
        using Self = Stored<std::tuple_element_t<0, ParameterOf<Fn>>>;
        Self guard = Self(self);
        return run_and_convert<Fn>(guard);
    });
}

// Unary slot (__repr__, __str__, __int__): Fn(Shared<T>& self).
template <auto Fn> PyObject *unary_slot(PyObject *self) noexcept {
    return getter<Fn>(self, nullptr);
}

// Setter: Fn(Exclusive<T>& self, value); the value is converted before the object is taken, so
// a failed conversion changes nothing.
template <auto Fn, const char *Name> int setter(PyObject *self, PyObject *value, void *) noexcept {
    PyObject *result = guarded([&] {
        if (value == nullptr) {
            raise(PyExc_AttributeError, "can't delete attribute");
        }
        using Self = Stored<std::tuple_element_t<0, ParameterOf<Fn>>>;
        using Value = std::tuple_element_t<1, ParameterOf<Fn>>;
        Stored<Value> converted = convert_argument<Value>(value, Name);
        Self guard = Self(self);
        return run_and_convert<Fn>(guard, converted);
    });
    if (result == nullptr) {
        return -1;
    }
    Ref::steal(result); // the setter's own None
    return 0;
}

// Gathers tp_new's tuple and dict into the fast-call layout.
struct FastCallArguments {
    Ref kwnames;
    std::vector<PyObject *> values; // borrowed from the tuple and the dict
    Py_ssize_t positional = 0;
};
void to_fast_call(PyObject *args, PyObject *kwargs, FastCallArguments &out);

// Constructor (tp_new): Fn(params...) returns the new value, or a Result of it. The classes
// cannot be subclassed, so the value's own class is the type being called.
template <auto Fn, const Signature &Sig>
PyObject *constructor(PyTypeObject *, PyObject *args, PyObject *kwargs) noexcept {
    check_declaration<Fn, Sig, 0>();
    return guarded([&] {
        FastCallArguments call;
        to_fast_call(args, kwargs, call);
        PyObject *slots[max_parameters];
        match_arguments(Sig, call.values.data(), call.positional, call.kwnames.get(), slots);
        bind_before_borrowing<Fn>();
        return convert_then_run<Fn, Sig, 0, 0>(slots);
    });
}

// A method-table entry for a bound method or module function; the signature names and documents
// it. The cast through void (*)() is the sanctioned way to store a fast-call function in a
// PyMethodDef; METH_FASTCALL tells the interpreter the real signature.
template <auto Fn, const Signature &Sig> PyMethodDef method_entry() {
    return {Sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<Fn, Sig>)),
            METH_FASTCALL | METH_KEYWORDS, documentation<Sig, Receiver::Self>.data()};
}

template <auto Fn, const Signature &Sig, Receiver R = Receiver::None> PyMethodDef function_entry() {
    static_assert(R != Receiver::Self, "a module function has no instance");
    return {Sig.name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function<Fn, Sig>)),
            METH_FASTCALL | METH_KEYWORDS, documentation<Sig, R>.data()};
}

// The class docstring that gives the constructor declared by Sig its text signature.
template <const Signature &Sig>
inline constexpr const char *constructor_doc = documentation<Sig, Receiver::None>.data();

inline constexpr PyMethodDef end_of_methods = {nullptr, nullptr, 0, nullptr};

} // namespace tallyfit::py
