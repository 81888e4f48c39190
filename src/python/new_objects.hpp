// The Python objects vandra makes itself (str, list, tuple, dict, array): running out of
// memory there is an internal failure, unlike the errors that pandas or the input raise.
#pragma once

#include <Python.h>

#include <string_view>

#include "python/py_ref.hpp"

namespace vandra {

// `owned`, or the internal failure "out of memory" where it is null with a MemoryError set
// (any other error set is thrown on as it is).
PyRef allocated(PyObject* owned);

// A new str of a UTF-8 text: ASCII text (most labels) is copied straight into a new compact
// str, skipping the decoder's scan; anything else is decoded.
PyRef label_str(std::string_view label);

}  // namespace vandra
