#include "py/convert.hpp"

#include <cstdint>

#include "py/numpy.hpp"

namespace tallyfit::py {

std::string From<std::string>::convert(PyObject *object) {
    if (!PyUnicode_Check(object)) {
        throw ConversionError{"expected str, got '" + type_name(object) + "'"};
    }
    Py_ssize_t size = 0;
    // A lone surrogate raises the interpreter's own UnicodeEncodeError here.
    const char *text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) {
        throw ErrorAlreadySet{};
    }
    return std::string(text, static_cast<size_t>(size));
}

double From<double>::convert(PyObject *object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        throw ErrorAlreadySet{};
    }
    return value;
}

__int128 From<__int128>::convert(PyObject *object) {
    Ref index = check(PyNumber_Index(object));
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (small == -1 && PyErr_Occurred()) {
        throw ErrorAlreadySet{};
    }
    if (overflow == 0) {
        return small;
    }
    // Split into a signed high half and an unsigned low half; Python's >> and & act on the
    // two's-complement form, so negative values come out right too.
    Ref shift = check(PyLong_FromLong(64));
    Ref mask = check(PyLong_FromUnsignedLongLong(UINT64_MAX));
    Ref high = check(PyNumber_Rshift(index.get(), shift.get()));
    Ref low = check(PyNumber_And(index.get(), mask.get()));
    const long long high_part = PyLong_AsLongLongAndOverflow(high.get(), &overflow);
    if (overflow != 0) {
        raise(PyExc_OverflowError, "Python int too large to convert to a 128-bit integer");
    }
    const unsigned long long low_part = PyLong_AsUnsignedLongLong(low.get());
    if (low_part == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        throw ErrorAlreadySet{};
    }
    return static_cast<__int128>(
        (static_cast<unsigned __int128>(static_cast<__int128>(high_part)) << 64) | low_part);
}

bool From<bool>::convert(PyObject *object) {
    if (PyBool_Check(object)) {
        return object == Py_True;
    }
    if (is_numpy_bool(object)) {
        return check_status(PyObject_IsTrue(object)) == 1;
    }
    throw ConversionError{"expected bool, got '" + type_name(object) + "'"};
}

} // namespace tallyfit::py
