// Output construction: builds the numpy array or pandas frame that encode()/decode()
// return from a ValueMatrix and an OUT record, decoding the fitted columns when a
// FitState is given.
#pragma once

#include "lib/records.hpp"
#include "python/py_ref.hpp"
#include "python/value_matrix.hpp"

namespace vandra {

// Throws PythonError (exception set) or InternalError; never returns a partial result. The
// matrix's array becomes (part of) the result where it can: it is not used afterwards.
PyRef arr_to_out(ValueMatrix& matrix, OUT out, const FitState* fit);

// A copy of `columns`, an input frame's column Index, when pandas would build an equal Index
// (values, dtype, no name) from the list of its labels, all exact str; null otherwise.
PyRef reusable_column_index(PyObject* columns);

// Whether a frame result built now would keep its float data in Fortran order without a
// copy: the imported pandas (never imported here) has its own DataFrame class.
bool frame_result_is_fortran();

}  // namespace vandra
