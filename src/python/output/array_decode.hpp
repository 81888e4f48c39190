// The array form of decode: a new object array whose encoded columns hold their labels.
#pragma once

#include "lib/records.hpp"
#include "python/py_ref.hpp"
#include "python/value_matrix.hpp"

namespace vandra {

// A new C-order object array of m's shape whose encoded columns hold label str (or "NaN")
// and whose other cells hold Python floats.
PyRef decoded_array(const ValueMatrix& m, const FitState& fit);

}  // namespace vandra
