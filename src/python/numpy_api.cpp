#define VANDRA_NUMPY_API_OWNER
#include "python/numpy_api.hpp"

#include "python/once.hpp"
#include "python/py_ref.hpp"

namespace vandra {
namespace {

// numpy._core from NumPy 2 on, numpy.core before.
PyRef multiarray_module() {
    PyRef numpy = checked(PyImport_ImportModule("numpy"));
    PyRef lib = checked(PyObject_GetAttrString(numpy.get(), "lib"));
    PyRef version_cls = checked(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
    PyRef version_text = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
    PyRef version = checked(PyObject_CallOneArg(version_cls.get(), version_text.get()));
    PyRef major_obj = checked(PyObject_GetAttrString(version.get(), "major"));
    const long major = PyLong_AsLong(major_obj.get());
    if (major == -1 && PyErr_Occurred()) throw PythonError{};
    return checked(
        PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
}

void** load_api_table() {
    PyRef multiarray = multiarray_module();
    PyRef capsule = checked(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not a PyCapsule object");
        throw PythonError{};
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (!table) throw PythonError{};
    // The table stays valid after the capsule reference goes: numpy is never unloaded.
    auto abi = reinterpret_cast<unsigned int (*)()>(table[0])();
    if (abi > NPY_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     static_cast<unsigned>(NPY_VERSION), abi);
        throw PythonError{};
    }
    auto feature = reinterpret_cast<unsigned int (*)()>(table[211])();
    if (feature < NPY_1_15_API_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module needs numpy C-API version 0x%x or newer but this numpy has 0x%x",
                     static_cast<unsigned>(NPY_1_15_API_VERSION), feature);
        throw PythonError{};
    }
    auto endian = reinterpret_cast<int (*)()>(table[210])();
    if (endian != NPY_CPU_LITTLE) {
        PyErr_SetString(PyExc_RuntimeError, "numpy's byte order is not little-endian");
        throw PythonError{};
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(feature);
    return table;
}

}  // namespace

const StringDTypeApi* string_dtype_api(PyArrayObject* arr) {
    constexpr int kStringTypeNum = 2056;     // NPY_VSTRING
    constexpr int kStringApiVersion = 0x12;  // NumPy 2.0's API level
    if (PyArray_TYPE(arr) != kStringTypeNum || PyArray_RUNTIME_VERSION < kStringApiVersion)
        return nullptr;
    static const StringDTypeApi api = [] {
        StringDTypeApi a;
        a.load = reinterpret_cast<decltype(a.load)>(PyArray_API[313]);
        a.acquire = reinterpret_cast<decltype(a.acquire)>(PyArray_API[316]);
        a.release = reinterpret_cast<decltype(a.release)>(PyArray_API[318]);
        return a;
    }();
    return &api;
}

void ensure_numpy_api() {
    static PyOnce<void*> once;
    void** table = once.get([]() -> void** {
        try {
            return load_api_table();
        } catch (const PythonError&) {
            return nullptr;
        }
    });
    if (!table) throw PythonError{};
    PyArray_API = table;
}

}  // namespace vandra
