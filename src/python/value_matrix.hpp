// The converted table, and OUT, the record of what kind of object came in so output
// construction can rebuild it.
#pragma once

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "python/py_ref.hpp"

namespace vandra {

// rows x cols doubles held by a new float64 ndarray: conversion and encoding write straight
// into it, and output construction hands it out as the result (or builds the frame on it).
struct ValueMatrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    PyRef array;                    // float64 ndarray owning the cells, referenced only here
    double* cells = nullptr;        // element (0, 0)
    std::ptrdiff_t row_stride = 0;  // in elements
    std::ptrdiff_t col_stride = 1;
    bool fortran = false;  // the array's order: Fortran (columns contiguous) or C

    double at(std::size_t i, std::size_t j) const {
        return cells[static_cast<std::ptrdiff_t>(i) * row_stride +
                     static_cast<std::ptrdiff_t>(j) * col_stride];
    }
};

// A new rows x cols float64 array in C or Fortran order, cells not yet written. Throws
// PythonError (MemoryError) when it cannot be allocated.
ValueMatrix new_value_matrix(std::size_t rows, std::size_t cols, bool fortran);

struct OUT {
    struct Array {};
    struct Frame {
        std::vector<std::string> columns;  // UTF-8 labels, in column order
        // A copy of the input's column Index where pandas would build an equal one from the
        // labels' texts (see reusable_column_index); building the result with it skips
        // pandas' inference over the labels. Null otherwise.
        PyRef index;
    };
    std::variant<Array, Frame> kind;
};

}  // namespace vandra
