// Reading numpy arrays: the one-copy path of 2-D float64 arrays, and the direct read of an
// exact ndarray's cells from memory where item access would give the same cells.
#pragma once

#include "python/input/cell_reader.hpp"
#include "python/numpy_api.hpp"
#include "python/value_matrix.hpp"

namespace vandra {

// A copy of a 2-D native float64 array in a new result array: Fortran order for a Fortran-
// ordered source without gaps, C order otherwise (element by element for strided or reversed
// sources).
ValueMatrix copy_float64(PyArrayObject* arr);

// The element type of a bool, integer or floating array as read in place; none for every
// other array (object, complex, datetime, ...), and for a byte-swapped one unless
// `any_byte_order` (the caller then marks its views swapped).
NumberView::Type number_type(PyArrayObject* arr, bool any_byte_order = false);

// Reads every cell of `target`, an exact 2-D ndarray of shape rows x cols, from memory:
// object arrays slot by slot (an empty slot reads as None), numeric arrays as views that
// must stay valid until encoding is done. Returns false, having read nothing, for arrays that
// need item access.
bool read_array_directly(PyObject* target, std::size_t rows, std::size_t cols, CellReader& reader);

}  // namespace vandra
