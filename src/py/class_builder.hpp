// Construction of the module's classes as heap types: final, immutable, no instance __dict__, no
// weak references; a name given as "builtins.X" gives the class the __module__ "builtins".
#pragma once

#include <Python.h>

#include "py/object.hpp"

namespace tallyfit::py {

struct ClassDefinition {
    const char *name;          // "builtins.Formula"
    const char *doc = nullptr; // "Formula(sig)\n--\n\n..." for a text signature; null for none
    PyMethodDef *methods = nullptr;
    PyGetSetDef *getset = nullptr;
    newfunc constructor = nullptr; // null: calling the class raises "No constructor defined for X"
    reprfunc repr = nullptr;
    reprfunc str = nullptr;
    richcmpfunc richcompare = nullptr;
    unaryfunc to_int = nullptr;
    bool hashable = true;
};

PyTypeObject *build_class(const ClassDefinition &definition, int basic_size, destructor dealloc);

// Adds a class attribute while the class is being made (the built class refuses assignment).
void add_class_attribute(PyTypeObject *type, const char *name, PyObject *value);

// Builds T's class once per process; later calls return the same type object.
template <class T> PyTypeObject *class_of(const ClassDefinition &definition) {
    if (ClassOf<T>::type == nullptr) {
        ClassOf<T>::type = build_class(definition, sizeof(Instance<T>), dealloc_instance<T>);
    }
    return ClassOf<T>::type;
}

} // namespace tallyfit::py
