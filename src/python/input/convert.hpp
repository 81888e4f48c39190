// Input conversion: classifies the argument of encode()/decode() by its type name and
// turns it into a ValueMatrix, an OUT record and (for inputs read cell by cell) a FitState.
#pragma once

#include <Python.h>

#include <memory>

#include "lib/records.hpp"
#include "python/value_matrix.hpp"

namespace vandra {

struct Conversion {
    ValueMatrix matrix;
    OUT out;
    std::unique_ptr<FitState> fit;  // absent for the 2-D float64 array path
};

// Throws PythonError (exception set) or InternalError.
Conversion pyany_to_vec(PyObject* obj);

}  // namespace vandra
