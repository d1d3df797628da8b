#include "py/class_builder.hpp"

#include <vector>

namespace tallyfit::py {

namespace {

PyObject *no_constructor(PyTypeObject *type, PyObject *, PyObject *) {
    PyErr_Format(PyExc_TypeError, "No constructor defined for %s", _PyType_Name(type));
    return nullptr;
}

void add_slot(std::vector<PyType_Slot> &slots, int id, void *function) {
    if (function != nullptr) {
        slots.push_back({id, function});
    }
}

} // namespace

PyTypeObject *build_class(const ClassDefinition &definition, int basic_size, destructor dealloc) {
    std::vector<PyType_Slot> slots;
    add_slot(slots, Py_tp_dealloc, reinterpret_cast<void *>(dealloc));
    add_slot(
        slots, Py_tp_new,
        reinterpret_cast<void *>(definition.constructor ? definition.constructor : no_constructor));
    add_slot(slots, Py_tp_doc, const_cast<char *>(definition.doc));
    add_slot(slots, Py_tp_methods, definition.methods);
    add_slot(slots, Py_tp_getset, definition.getset);
    add_slot(slots, Py_tp_repr, reinterpret_cast<void *>(definition.repr));
    add_slot(slots, Py_tp_str, reinterpret_cast<void *>(definition.str));
    add_slot(slots, Py_tp_richcompare, reinterpret_cast<void *>(definition.richcompare));
    add_slot(slots, Py_nb_int, reinterpret_cast<void *>(definition.to_int));
    if (!definition.hashable) {
        add_slot(slots, Py_tp_hash, reinterpret_cast<void *>(PyObject_HashNotImplemented));
    }
    slots.push_back({0, nullptr});
    // Immutable: replacing __new__ (or any attribute) of a class could create instances whose
    // value was never constructed.
    PyType_Spec spec{definition.name, basic_size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                     slots.data()};
    return reinterpret_cast<PyTypeObject *>(check(PyType_FromSpec(&spec)).release());
}

void add_class_attribute(PyTypeObject *type, const char *name, PyObject *value) {
    check_status(PyDict_SetItemString(type->tp_dict, name, value));
    PyType_Modified(type);
}

} // namespace tallyfit::py
