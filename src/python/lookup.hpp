// Looking things up in pandas without importing it: what the faster paths for pandas' own
// objects need, found afresh on every call so that nothing outlives a reload of pandas.
#pragma once

#include <Python.h>

#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace vandra {

// An attribute, or null when reading it fails with an ordinary error (a faster path then
// gives way to the general one).
inline PyRef attr_or_null(PyObject* obj, const char* name) {
    PyRef value(PyObject_GetAttrString(obj, name));
    if (!value) clear_ordinary_error();
    return value;
}

// The module already imported under `name`, or null; never imports it.
inline PyRef imported_module(const char* name) {
    PyRef key = checked(PyUnicode_FromString(name));
    PyRef module(PyImport_GetModule(key.get()));
    if (!module && PyErr_Occurred()) clear_ordinary_error();
    return module;
}

// Attribute `name` of the imported `module`, or null (also when the module is not imported).
inline PyRef imported_attr(const char* module, const char* name) {
    PyRef m = imported_module(module);
    return m ? attr_or_null(m.get(), name) : PyRef();
}

// Whether `cls` is the class `name` of the imported `module`. Given the module that defines
// the class, a stand-in put in the place of pandas' class does not pass.
inline bool is_class_of(PyObject* cls, const char* module, const char* name) {
    if (!cls) return false;
    PyRef own = imported_attr(module, name);
    return own && own.get() == cls;
}

// Whether obj's type is exactly that class.
inline bool is_exactly(PyObject* obj, const char* module, const char* name) {
    return is_class_of(reinterpret_cast<PyObject*>(Py_TYPE(obj)), module, name);
}

}  // namespace vandra
