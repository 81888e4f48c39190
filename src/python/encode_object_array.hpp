// Fills a row-major cell buffer from ColumnBuffers in parallel (numbers copied, text
// columns label-encoded) and builds the FitState. Pure C++: no Python objects.
#pragma once

#include <cstddef>

#include "lib/records.hpp"

namespace vandra {

// cells: rows x cols doubles, row-major. Column j's cells get, for a text column
// (buffers.is_object[j]), its label codes (NaN for missing-value texts), otherwise
// buffers.numbers[j] copied bit for bit. The FitState lists the text columns in ascending
// order with their code maps. Columns run in parallel on the worker pool, and so
// do the rows within a column.
//
// Throws std::runtime_error, before writing any cell, if the buffers do not describe a
// rows x cols table: cols flags, rows labels per text column, rows numbers per other column,
// and a cell buffer unless the table is empty. Otherwise throws only std::bad_alloc.
FitState encode_object_array(std::size_t rows, std::size_t cols, const ColumnBuffers& buffers,
                             double* cells);

}  // namespace vandra
