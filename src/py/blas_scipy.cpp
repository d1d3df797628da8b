#include "py/blas_scipy.hpp"

#include <dlfcn.h>

#include <string>

#include "linalg/blas.hpp"
#include "py/ref.hpp"

namespace tallyfit::py {

namespace {

using linalg::BlasRoutines;
using LoadResult = Result<BlasRoutines, std::string>;

const char *const install_hint = "SciPy is needed for BLAS/LAPACK: pip install scipy";

// The text of the pending Python exception, which is cleared.
std::string take_python_error() {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    const Ref owned_type = Ref::steal(type);
    const Ref owned_value = Ref::steal(value);
    const Ref owned_traceback = Ref::steal(traceback);
    if (!owned_value) {
        return "unknown error";
    }
    const Ref text = Ref::steal(PyObject_Str(owned_value.get()));
    const char *utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "unknown error";
    }
    return utf8;
}

// The capsule table (__pyx_capi__) of one of SciPy's Cython modules.
Result<Ref, std::string> capsule_table(const char *module_name) {
    const Ref module = Ref::steal(PyImport_ImportModule(module_name));
    if (!module) {
        return err(std::string(install_hint) + " (" + take_python_error() + ")");
    }
    Ref table = Ref::steal(PyObject_GetAttrString(module.get(), "__pyx_capi__"));
    if (!table || !PyDict_Check(table.get())) {
        PyErr_Clear();
        return err(std::string(module_name) + " exports no routines; " + install_hint);
    }
    return table;
}

// Looks up one routine in a capsule table and stores its address; false when missing.
template <class Routine> bool bind(PyObject *table, const char *name, Routine &routine) {
    PyObject *capsule = PyDict_GetItemString(table, name); // borrowed
    if (capsule == nullptr || !PyCapsule_CheckExact(capsule)) {
        return false;
    }
    void *address = PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule));
    if (address == nullptr) {
        PyErr_Clear();
        return false;
    }
    routine = reinterpret_cast<Routine>(address);
    return true;
}

// OpenBLAS's per-thread thread count, looked up in the libraries SciPy's BLAS module was
// linked with (dlsym on a library's handle searches its dependencies too); nullptr for a BLAS
// without it. Chosen over the process-wide openblas_set_num_threads, which would change the
// threads of every other caller's BLAS calls while a pass runs, and over threadpoolctl, which
// is Python: the core runs without the interpreter.
linalg::SetLocalThreadsRoutine find_local_threads_routine(const void *routine) {
    Dl_info info{};
    if (dladdr(routine, &info) == 0 || info.dli_fname == nullptr) {
        return nullptr;
    }
    void *library = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (library == nullptr) {
        return nullptr;
    }
    void *found = nullptr;
    // SciPy's OpenBLAS prefixes most of its names but not this one; other builds may.
    for (const char *name :
         {"openblas_set_num_threads_local", "scipy_openblas_set_num_threads_local"}) {
        if (found == nullptr) {
            found = dlsym(library, name);
        }
    }
    dlclose(library); // only the reference taken above: SciPy's import keeps the library loaded
    return reinterpret_cast<linalg::SetLocalThreadsRoutine>(found);
}

LoadResult load_with_interpreter() {
    ASSIGN_OR_RETURN(const Ref blas_table, capsule_table("scipy.linalg.cython_blas"));
    ASSIGN_OR_RETURN(const Ref lapack_table, capsule_table("scipy.linalg.cython_lapack"));
    BlasRoutines routines;
    PyObject *blas = blas_table.get();
    PyObject *lapack = lapack_table.get();
    const bool all_bound =
        bind(blas, "dgemm", routines.dgemm) && bind(blas, "dgemv", routines.dgemv) &&
        bind(blas, "ddot", routines.ddot) && bind(blas, "dsyrk", routines.dsyrk) &&
        bind(lapack, "dgetrf", routines.dgetrf) && bind(lapack, "dgetri", routines.dgetri);
    if (!all_bound) {
        return err(std::string("SciPy's BLAS/LAPACK lacks a routine; ") + install_hint);
    }
    routines.set_local_threads =
        find_local_threads_routine(reinterpret_cast<const void *>(routines.dgemm));
    return routines;
}

// Puts a pending exception aside for its lifetime.
class PendingErrorAside {
  public:
    PendingErrorAside() { PyErr_Fetch(&type_, &value_, &traceback_); }
    ~PendingErrorAside() { PyErr_Restore(type_, value_, traceback_); }
    PendingErrorAside(const PendingErrorAside &) = delete;
    PendingErrorAside &operator=(const PendingErrorAside &) = delete;

  private:
    PyObject *type_ = nullptr;
    PyObject *value_ = nullptr;
    PyObject *traceback_ = nullptr;
};

PyThreadState *current_thread_state() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

LoadResult load_scipy_blas() {
    // Kernels run on a thread that holds the interpreter lock, in whatever interpreter that
    // thread's current state belongs to; SciPy is imported there. (PyGILState_Ensure would
    // assume the main interpreter and, in a sub-interpreter, wait for the lock this thread
    // holds.)
    if (current_thread_state() == nullptr) {
        return err(std::string("BLAS/LAPACK can only be bound by a thread that holds the "
                               "interpreter lock"));
    }
    const PendingErrorAside aside;
    return load_with_interpreter();
}

} // namespace

void install_scipy_blas_loader() { linalg::set_blas_loader(load_scipy_blas); }

void bind_blas_if_possible() {
    try {
        linalg::blas();
    } catch (const linalg::BlasUnavailable &) {
        // reported by the kernel that needs a routine
    }
}

} // namespace tallyfit::py
