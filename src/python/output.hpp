// Output construction: builds the numpy array or pandas frame that encode()/decode()
// return from a ValueMatrix and an OUT record, decoding the fitted columns when a
// FitState is given.
#pragma once

#include "lib/records.hpp"
#include "python/py_ref.hpp"
#include "python/value_matrix.hpp"

namespace vandra {

// Throws PythonError (exception set) or InternalError; never returns a partial result.
PyRef arr_to_out(const ValueMatrix& matrix, OUT out, const FitState* fit);

}  // namespace vandra
