#include "py/numpy.hpp"

#include <algorithm>
#include <cstring>

#include "linalg/array.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL tallyfit_ARRAY_API
#include <numpy/arrayobject.h>

namespace tallyfit::py {

namespace {

// The module from sys.modules, imported only when it is not there yet. Once NumPy is imported
// the binding below is lookups alone and runs no Python code.
Ref module_named(const char *name) {
    Ref key = check(PyUnicode_FromString(name));
    Ref module = Ref::steal(PyImport_GetModule(key.get()));
    if (module) {
        return module;
    }
    if (PyErr_Occurred()) {
        throw ErrorAlreadySet{};
    }
    return check(PyImport_Import(key.get()));
}

// The major version of the imported NumPy: the leading number of numpy.__version__ (what
// numpy.lib.NumpyVersion reads, without running its Python code).
long numpy_major_version() {
    Ref numpy = module_named("numpy");
    Ref version = check(PyObject_GetAttrString(numpy.get(), "__version__"));
    const char *text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version.get()) : nullptr;
    if (text == nullptr || *text < '0' || *text > '9') {
        PyErr_Clear();
        raise(PyExc_ImportError, "numpy.__version__ is not a version number");
    }
    long major = 0;
    for (; *text >= '0' && *text <= '9' && major < 1000; ++text) {
        major = major * 10 + (*text - '0');
    }
    return major;
}

void bind_numpy_api() {
    const char *module_name =
        numpy_major_version() >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref multiarray = module_named(module_name);
    Ref capsule = check(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) {
        raise(PyExc_ImportError, "numpy's _ARRAY_API is not a capsule");
    }
    auto **api = static_cast<void **>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (api == nullptr) {
        throw ErrorAlreadySet{};
    }
    PyArray_API = api;
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
        PyArray_API = nullptr;
        raise(PyExc_ImportError,
              "the installed NumPy has a newer ABI than _tallyfit was built for");
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
        PyArray_API = nullptr;
        raise(PyExc_ImportError,
              "the installed NumPy is older than the one _tallyfit was built for");
    }
}

} // namespace

// NumPy's C API, fetched once on first use (import of _tallyfit never imports NumPy).
void ensure_numpy() {
    if (PyArray_API == nullptr) {
        bind_numpy_api();
    }
}

namespace {

PyArrayObject *float64_array(PyObject *object, int dimensions) {
    ensure_numpy();
    if (!PyArray_Check(object)) {
        throw ConversionError{"expected a float64 NumPy array, got '" + type_name(object) + "'"};
    }
    auto *array = reinterpret_cast<PyArrayObject *>(object);
    if (PyArray_NDIM(array) != dimensions) {
        throw ConversionError{"expected an array with " + std::to_string(dimensions) +
                              " dimension(s), got " + std::to_string(PyArray_NDIM(array))};
    }
    Ref float64 = Ref::steal(reinterpret_cast<PyObject *>(PyArray_DescrFromType(NPY_DOUBLE)));
    if (!PyArray_EquivTypes(PyArray_DESCR(array),
                            reinterpret_cast<PyArray_Descr *>(float64.get()))) {
        // str() of a dtype is NumPy's Python code, so the message is finished only once the
        // call has let go of its objects.
        throw ConversionError{"expected dtype float64, got ",
                              Ref::borrow(reinterpret_cast<PyObject *>(PyArray_DESCR(array)))};
    }
    // Views address whole float64 elements; memory that is not laid out that way (a field of a
    // structured array, an unaligned buffer) cannot be read in place.
    if (!PyArray_ISALIGNED(array)) {
        throw ConversionError{"the array's float64 elements are not aligned in memory"};
    }
    for (int axis = 0; axis < dimensions; ++axis) {
        if (PyArray_STRIDE(array, axis) % static_cast<npy_intp>(sizeof(double)) != 0) {
            throw ConversionError{"the array's strides are not whole float64 elements"};
        }
    }
    return array;
}

linalg::Index element_stride(PyArrayObject *array, int axis) {
    return PyArray_STRIDE(array, axis) / static_cast<npy_intp>(sizeof(double));
}

} // namespace

bool is_numpy_bool(PyObject *object) {
    Ref name = check(PyUnicode_FromString("numpy"));
    Ref numpy = Ref::steal(PyImport_GetModule(name.get()));
    if (!numpy) {
        if (PyErr_Occurred()) {
            throw ErrorAlreadySet{};
        }
        return false; // NumPy was never imported, so this cannot be one of its scalars
    }
    ensure_numpy();
    return PyObject_TypeCheck(object, &PyBoolArrType_Type);
}

linalg::MatrixView From<linalg::MatrixView>::convert(PyObject *object) {
    PyArrayObject *array = float64_array(object, 2);
    return {static_cast<const double *>(PyArray_DATA(array)), PyArray_DIM(array, 0),
            PyArray_DIM(array, 1), element_stride(array, 0), element_stride(array, 1)};
}

linalg::VectorView From<linalg::VectorView>::convert(PyObject *object) {
    PyArrayObject *array = float64_array(object, 1);
    return {static_cast<const double *>(PyArray_DATA(array)), PyArray_DIM(array, 0),
            element_stride(array, 0)};
}

Ref new_float64_array(linalg::VectorView values) {
    ensure_numpy();
    npy_intp size = values.size;
    Ref array = check(PyArray_SimpleNew(1, &size, NPY_DOUBLE));
    auto *out = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
    for (linalg::Index i = 0; i < values.size; ++i) {
        out[i] = values[i];
    }
    return array;
}

Ref To<linalg::Vector>::convert(const linalg::Vector &values) {
    return new_float64_array(values.view());
}

Ref To<linalg::Matrix>::convert(const linalg::Matrix &values) {
    ensure_numpy();
    npy_intp shape[] = {values.rows(), values.cols()};
    Ref array = check(PyArray_SimpleNew(2, shape, NPY_DOUBLE));
    auto *out = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.get())));
    std::copy(values.data(), values.data() + values.rows() * values.cols(), out);
    return array;
}

} // namespace tallyfit::py
