// Reading the columns of an exact 2-D numpy array of text ("U", "S", StringDType "T") by
// their distinct elements: each distinct element is rendered once in C++, and boxed (as
// item access hands it out) only where its cell could read as a number or its text is not
// plain: a "U" or "S" element like "1.5" converts to a float, a StringDType's missing value
// is its na_object.
#pragma once

#include "python/input/cell_reader.hpp"
#include "python/numpy_api.hpp"

namespace vandra {

// Whether `arr` (2-D) is a text array these readers take.
bool is_text_array(PyArrayObject* arr);

// Reads column j of such an array into `reader`.
void read_text_array_column(PyArrayObject* arr, std::size_t j, CellReader& reader);

}  // namespace vandra
