// Reading an exact pandas DataFrame column by column from its own arrays instead of through
// `values`, which would box every numeric cell and make a str per Arrow label. Each column
// gives exactly the cells `values` would: numeric columns their values, object columns their
// objects, Arrow-backed text its labels with the frame's missing marker (NaN for the "str"
// dtype, which is a number until the column's first text; pd.NA, the text "<NA>", otherwise).
#pragma once

#include <Python.h>

#include <cstddef>
#include <deque>
#include <vector>

#include "python/arrow_text_column.hpp"
#include "python/cell_reader.hpp"
#include "python/py_ref.hpp"

namespace vandra {

class FrameColumns {
  public:
    // Plans the read of `frame` (shape rows x cols). False when the frame is not exactly
    // pandas' DataFrame (looked up in the imported pandas, never imported here) or holds a
    // column this reader does not take (datetimes, categoricals, masked dtypes, ...): then no
    // cell has been read and none of the frame's own Python code has run, so the caller can
    // read `values` instead.
    bool plan(PyObject* frame, std::size_t rows, std::size_t cols);

    // Whether `frame`'s type is exactly the DataFrame class of the imported pandas.
    static bool is_pandas_frame(PyObject* frame);

    // Reads the planned columns into `reader`, in column order. Views into the frame's
    // arrays and Arrow buffers stay valid while this object lives.
    void read(CellReader& reader);

  private:
    struct Column {
        enum class Kind { none, numbers, objects, arrow } kind = Kind::none;
        NumberView view;              // numbers
        const char* slots = nullptr;  // objects: PyObject* slots, `stride` bytes apart
        std::ptrdiff_t stride = 0;
        ArrowTextColumn* text = nullptr;  // arrow
        bool nan_marker = false;          // arrow: nulls read as the float NaN, not pd.NA
    };

    bool plan_block(PyObject* block, std::size_t rows);
    bool plan_numpy(PyObject* values, PyObject* locs, std::size_t rows);
    bool plan_extension(PyObject* values, std::size_t loc, std::size_t rows);
    bool plan_arrow(PyObject* values, std::size_t loc, std::size_t rows, bool nan_marker);
    bool take(std::size_t loc, const Column& column);

    PyRef pandas_;
    std::vector<Column> columns_;
    std::vector<PyRef> arrays_;          // keeps every array read in place alive
    std::deque<ArrowTextColumn> arrow_;  // stable addresses for the columns' views
};

}  // namespace vandra
