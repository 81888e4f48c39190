// Fills a table of doubles from ColumnBuffers in parallel (numbers converted, text columns
// label-encoded) and builds the FitState. Pure C++: no Python objects.
#pragma once

#include <cstddef>

#include "lib/records.hpp"

namespace vandra {

// Where the table's cells go: cell (i, j) at cells[i * row_stride + j * col_stride].
struct CellTarget {
    double* cells = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 1;

    static CellTarget row_major(double* cells, std::size_t cols) {
        return {cells, static_cast<std::ptrdiff_t>(cols), 1};
    }
    static CellTarget col_major(double* cells, std::size_t rows) {
        return {cells, 1, static_cast<std::ptrdiff_t>(rows)};
    }
};

// Column j's cells get, for a text column (buffers.is_object[j]), its label codes (NaN for
// missing-value texts), otherwise its numbers (bit for bit from `numbers`, converted from
// `number_views`). The FitState lists the text columns in ascending order with their code
// maps. Columns run in parallel on the worker pool, and so do the rows within a
// column.
//
// Throws std::runtime_error, before writing any cell, if the buffers do not describe a
// rows x cols table: cols entries, rows labels per text column, rows numbers per other
// column, and a cell target unless the table is empty. Otherwise throws only std::bad_alloc.
FitState encode_object_array(std::size_t rows, std::size_t cols, const ColumnBuffers& buffers,
                             CellTarget target);

// The same into a row-major buffer of rows x cols doubles.
inline FitState encode_object_array(std::size_t rows, std::size_t cols,
                                    const ColumnBuffers& buffers, double* cells) {
    return encode_object_array(rows, cols, buffers, CellTarget::row_major(cells, cols));
}

}  // namespace vandra
