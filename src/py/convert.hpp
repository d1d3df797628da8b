// Conversion of Python arguments into the system's values (From<T>) and of results back into new
// Python objects (To<T>). A failed conversion throws ConversionError (or leaves a Python
// exception set and throws ErrorAlreadySet); the call wrapper names the argument.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "py/errors.hpp"
#include "py/object.hpp"
#include "py/ref.hpp"

namespace tallyfit::py {

template <class T> struct From;
template <class T> struct To;

// A shared borrow of an instance of T's class, or the argument's conversion error.
template <class T> Shared<T> borrow_instance(PyObject *object) {
    if (!is_instance<T>(object)) {
        throw ConversionError{std::string("expected ") + _PyType_Name(ClassOf<T>::type) +
                              ", got '" + type_name(object) + "'"};
    }
    return Shared<T>(object);
}

// Instances of this module's classes are copied in, under a momentary shared borrow.
template <class T>
requires requires { ClassOf<T>::type; }
struct From<T> {
    static T convert(PyObject *object) { return *borrow_instance<T>(object); }
};

template <class T> struct From<Shared<T>> {
    static Shared<T> convert(PyObject *object) { return borrow_instance<T>(object); }
};

template <> struct From<std::string> { static std::string convert(PyObject *object); };

template <> struct From<double> { static double convert(PyObject *object); };

template <> struct From<__int128> { static __int128 convert(PyObject *object); };

template <> struct From<bool> { static bool convert(PyObject *object); };

// A parameter that may be left out (the bound function then applies its default), but that is
// never None when given.
template <class T> struct Omittable {
    std::optional<T> value;
    T value_or(T fallback) const { return value.value_or(fallback); }
};

template <class T> struct From<Omittable<T>> {
    static Omittable<T> convert(PyObject *object) { return {From<T>::convert(object)}; }
};

template <class T> struct From<std::optional<T>> {
    static std::optional<T> convert(PyObject *object) {
        if (object == Py_None) {
            return std::nullopt;
        }
        return From<T>::convert(object);
    }
};

// Any sequence but a str (a str is a sequence of characters, never meant as a list of names).
template <class T> struct From<std::vector<T>> {
    static std::vector<T> convert(PyObject *object) {
        if (PyUnicode_Check(object)) {
            throw ConversionError{"a 'str' is not accepted as a sequence of items"};
        }
        if (!PySequence_Check(object)) {
            throw ConversionError{"expected a sequence, got '" + type_name(object) + "'"};
        }
        // A tuple snapshot: the caller's list cannot change under the walk.
        Ref items = check(PySequence_Tuple(object));
        const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
        std::vector<T> values;
        values.reserve(static_cast<size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            values.push_back(From<T>::convert(PyTuple_GET_ITEM(items.get(), i)));
        }
        return values;
    }
};

// A sequence of exactly as many items as the tuple has elements.
template <class... Ts> struct From<std::tuple<Ts...>> {
    static std::tuple<Ts...> convert(PyObject *object) {
        if (PyUnicode_Check(object) || !PySequence_Check(object)) {
            throw ConversionError{"expected a sequence of " + std::to_string(sizeof...(Ts)) +
                                  " items, got '" + type_name(object) + "'"};
        }
        Ref items = check(PySequence_Tuple(object));
        if (PyTuple_GET_SIZE(items.get()) != static_cast<Py_ssize_t>(sizeof...(Ts))) {
            throw ConversionError{"expected a sequence of " + std::to_string(sizeof...(Ts)) +
                                  " items, got " + std::to_string(PyTuple_GET_SIZE(items.get()))};
        }
        return convert_items(items.get(), std::index_sequence_for<Ts...>{});
    }

  private:
    template <std::size_t... I>
    static std::tuple<Ts...> convert_items(PyObject *items, std::index_sequence<I...>) {
        // Braced initialization converts the items in order.
        return std::tuple<Ts...>{From<Ts>::convert(PyTuple_GET_ITEM(items, I))...};
    }
};

template <class V> struct From<std::unordered_map<std::string, V>> {
    static std::unordered_map<std::string, V> convert(PyObject *object) {
        if (!PyDict_Check(object)) {
            throw ConversionError{"expected a dict, got '" + type_name(object) + "'"};
        }
        // Keys and values are converted from a snapshot, so a __float__ that changes the dict
        // cannot invalidate the walk.
        Ref items = check(PyDict_Items(object));
        const Py_ssize_t count = PyList_GET_SIZE(items.get());
        std::unordered_map<std::string, V> values;
        values.reserve(static_cast<size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject *pair = PyList_GET_ITEM(items.get(), i);
            std::string key = From<std::string>::convert(PyTuple_GET_ITEM(pair, 0));
            values.insert_or_assign(std::move(key), From<V>::convert(PyTuple_GET_ITEM(pair, 1)));
        }
        return values;
    }
};

template <> struct To<bool> {
    static Ref convert(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
};

template <> struct To<double> {
    static Ref convert(double value) { return check(PyFloat_FromDouble(value)); }
};

template <> struct To<long> {
    static Ref convert(long value) { return check(PyLong_FromLong(value)); }
};

template <> struct To<std::string> {
    static Ref convert(const std::string &value) {
        return check(
            PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
    }
};

template <class T>
requires requires { ClassOf<T>::type; }
struct To<T> {
    static Ref convert(T value) { return new_instance(std::move(value)); }
};

template <class T> struct To<std::optional<T>> {
    static Ref convert(std::optional<T> value) {
        if (!value) {
            return Ref::borrow(Py_None);
        }
        return To<T>::convert(std::move(*value));
    }
};

template <class T> struct To<std::vector<T>> {
    static Ref convert(std::vector<T> values) {
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
        for (size_t i = 0; i < values.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                            To<T>::convert(std::move(values[i])).release());
        }
        return list;
    }
};

template <class... Ts> struct To<std::tuple<Ts...>> {
    static Ref convert(std::tuple<Ts...> values) {
        Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Ts))));
        fill(tuple.get(), values, std::index_sequence_for<Ts...>{});
        return tuple;
    }

  private:
    template <std::size_t... I>
    static void fill(PyObject *tuple, std::tuple<Ts...> &values, std::index_sequence<I...>) {
        (PyTuple_SET_ITEM(tuple, I, To<Ts>::convert(std::move(std::get<I>(values))).release()),
         ...);
    }
};

template <class V> struct To<std::unordered_map<std::string, V>> {
    static Ref convert(std::unordered_map<std::string, V> values) {
        Ref dict = check(PyDict_New());
        for (auto &[key, value] : values) {
            Ref py_key = To<std::string>::convert(key);
            Ref py_value = To<V>::convert(std::move(value));
            check_status(PyDict_SetItem(dict.get(), py_key.get(), py_value.get()));
        }
        return dict;
    }
};

} // namespace tallyfit::py
