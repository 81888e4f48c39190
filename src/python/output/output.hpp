// Output construction: builds the numpy array or pandas frame that encode()/decode()
// return from a ValueMatrix and an OUT record, decoding the fitted columns when a
// FitState is given (array_decode.hpp, frame_decode.hpp).
#pragma once

#include "lib/records.hpp"
#include "python/py_ref.hpp"
#include "python/value_matrix.hpp"

namespace vandra {

// Throws PythonError (exception set) or InternalError; never returns a partial result. The
// matrix's array becomes (part of) the result where it can: it is not used afterwards.
PyRef arr_to_out(ValueMatrix& matrix, OUT out, const FitState* fit);

}  // namespace vandra
