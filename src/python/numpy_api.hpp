// NumPy's C array API for this module. Include this header (never numpy's directly) so
// every translation unit shares the one API table, which `ensure_numpy_api` fills once
// per process on the first array operation.
#pragma once

#include <Python.h>

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

}  // namespace vandra
