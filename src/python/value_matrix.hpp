// The converted table: a rows x cols matrix of doubles with element strides, and OUT,
// the record of what kind of object came in so output construction can rebuild it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace vandra {

struct ValueMatrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::unique_ptr<double[]> cells;  // rows * cols values
    std::ptrdiff_t origin = 0;        // position of element (0, 0) inside `cells`
    std::ptrdiff_t row_stride = 0;    // in elements
    std::ptrdiff_t col_stride = 1;

    static ValueMatrix row_major(std::size_t rows, std::size_t cols,
                                 std::unique_ptr<double[]> cells) {
        return ValueMatrix{rows, cols, std::move(cells), 0, static_cast<std::ptrdiff_t>(cols), 1};
    }
    double at(std::size_t i, std::size_t j) const {
        return cells[static_cast<std::size_t>(origin + static_cast<std::ptrdiff_t>(i) * row_stride +
                                              static_cast<std::ptrdiff_t>(j) * col_stride)];
    }
    bool is_row_major() const {
        return (col_stride == 1 || cols == 1) &&
               (row_stride == static_cast<std::ptrdiff_t>(cols) || rows == 1);
    }
    bool is_col_major() const {
        return (row_stride == 1 || rows == 1) &&
               (col_stride == static_cast<std::ptrdiff_t>(rows) || cols == 1);
    }
};

struct OUT {
    struct Array {};
    struct Frame {
        std::vector<std::string> columns;  // UTF-8 labels, in column order
    };
    std::variant<Array, Frame> kind;
};

}  // namespace vandra
