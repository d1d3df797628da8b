#include "py/call.hpp"

namespace tallyfit::py {

void to_fast_call(PyObject *args, PyObject *kwargs, FastCallArguments &out) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    const Py_ssize_t keywords = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    out.positional = positional;
    out.values.reserve(static_cast<std::size_t>(positional + keywords));
    for (Py_ssize_t i = 0; i < positional; ++i) {
        out.values.push_back(PyTuple_GET_ITEM(args, i));
    }
    if (keywords == 0) {
        return;
    }
    out.kwnames = check(PyTuple_New(keywords));
    Py_ssize_t position = 0;
    Py_ssize_t k = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
        PyTuple_SET_ITEM(out.kwnames.get(), k++, Ref::borrow(key).release());
        out.values.push_back(value);
    }
}

} // namespace tallyfit::py
