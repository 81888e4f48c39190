// NumPy's C array API for this module. Include this header (never numpy's directly) so
// every translation unit shares the one API table, which `ensure_numpy_api` fills once
// per process on the first array operation.
#pragma once

#include <Python.h>

#include <cstddef>

#define PY_ARRAY_UNIQUE_SYMBOL vandra_ARRAY_API
// Built against NumPy 2 headers; the same binary must run on NumPy 1.26 too.
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#define NPY_NO_DEPRECATED_API NPY_1_22_API_VERSION
#ifndef VANDRA_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace vandra {

// Acquires the API table; throws PythonError (RuntimeError or the import's error) if
// NumPy cannot be used.
void ensure_numpy_api();

// NumPy 2's variable-width strings (StringDType, "T"), read through its string API. The
// module is built for the older API level, so the entries are taken from the table by their
// fixed positions, and only where the running NumPy has them.
struct StringDTypeApi {
    struct Unpacked {
        std::size_t size;
        const char* buf;
    };
    // Locks the array's string storage; nothing else may run until it is released.
    void* (*acquire)(const PyArray_Descr* descr);
    void (*release)(void* allocator);
    // 0 for a string (its bytes in `out`), 1 for a missing value, -1 on failure.
    int (*load)(void* allocator, const void* packed, Unpacked* out);
};
// Null when `arr` is not a StringDType array or this NumPy has no string API.
const StringDTypeApi* string_dtype_api(PyArrayObject* arr);

}  // namespace vandra
