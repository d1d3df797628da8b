// Entry point of the _tallyfit extension module: the module object, its docstring, and the
// registration of the classes and functions in their fixed order.
#include <Python.h>

#include "encoding/encoding_py.hpp"
#include "formula/formula_py.hpp"
#include "models/models_py.hpp"
#include "py/blas_scipy.hpp"
#include "py/errors.hpp"
#include "py/module_init.hpp"
#include "py/ref.hpp"

namespace tallyfit {

namespace {

using py::check;
using py::check_status;
using py::Ref;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tallyfit",
    "A Python module for simpler statistical modeling, implemented in C++. \n"
    "Much of the code is modeled after R's syntax for specifying models. \n"
    "Includes:\n"
    "\n"
    "- Linear regression: Modeled after R's lm() function",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void add_to_module(PyObject *module, PyObject *all, const char *name, PyObject *object) {
    Ref py_name = check(PyUnicode_FromString(name));
    check_status(PyList_Append(all, py_name.get()));
    check_status(PyModule_AddObjectRef(module, name, object));
}

void register_class(PyObject *module, PyObject *all, PyTypeObject *type) {
    add_to_module(module, all, _PyType_Name(type), reinterpret_cast<PyObject *>(type));
}

void register_function(PyObject *module, PyObject *all, PyMethodDef *definition) {
    Ref module_name = check(PyUnicode_FromString("_tallyfit"));
    Ref function = check(PyCFunction_NewEx(definition, nullptr, module_name.get()));
    add_to_module(module, all, definition->ml_name, function.get());
}

Ref create_module() {
#ifndef TALLYFIT_SYSTEM_BLAS
    py::install_scipy_blas_loader(); // binds nothing yet: SciPy is imported on the first fit
#endif
    Ref module = check(PyModule_Create(&module_definition));
    Ref all = check(PyList_New(0));
    check_status(PyModule_AddObjectRef(module.get(), "__all__", all.get()));
    PyTypeObject *(*const classes[])() = {
        formula_class,
        formula_term_class,
        encoder_class,
        encoded_column_info_class,
        encoding_type_class,
        linear_regression_class,
        logistic_regression_class,
        penalized_logistic_regression_class,
        penalty_class,
    };
    for (auto build : classes) {
        register_class(module.get(), all.get(), build());
    }
    register_function(module.get(), all.get(), &parse_formula_function);
    register_function(module.get(), all.get(), &is_numeric_function);
    return module;
}

} // namespace

} // namespace tallyfit

PyMODINIT_FUNC PyInit__tallyfit() {
    return tallyfit::py::initialize_once("_tallyfit", tallyfit::create_module);
}
