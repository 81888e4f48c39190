// Reading an exact pandas DataFrame column by column from its own arrays instead of through
// `values`, which would box every cell. Each column gives exactly the cells `values` would:
// numeric columns their values, object columns their objects, Arrow-backed text its labels
// with the frame's missing marker (NaN for the "str" dtype, pd.NA otherwise: either is a
// missing number until the column's first text), and every other kind of column it
// knows (categorical, datetime-like, masked, Arrow) by its distinct values, whose cells pandas
// boxes once each (frame_sample.hpp) or which are rendered here.
#pragma once

#include <Python.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "python/arrow/arrow_text_column.hpp"
#include "python/input/cell_reader.hpp"
#include "python/input/column_plan.hpp"
#include "python/input/frame_readers.hpp"
#include "python/input/frame_sample.hpp"
#include "python/pandas_compat.hpp"
#include "python/py_ref.hpp"

namespace vandra {

class FrameColumns {
  public:
    // Plans the read of `frame` (shape rows x cols). False when the frame is not exactly
    // pandas' DataFrame or holds a column this reader does not take (intervals, sparse,
    // complex, ...): then no cell has been read and none of the frame's own Python code has
    // run beyond pandas' boxing of sampled cells, so the caller can read `values` instead.
    bool plan(PyObject* frame, std::size_t rows, std::size_t cols);

    // Reads the planned columns into `reader`, in column order. Views into the frame's
    // arrays and Arrow buffers stay valid while this object lives.
    void read(CellReader& reader);

  private:
    struct Column {
        enum class Kind { none, numbers, objects, arrow, distinct } kind = Kind::none;
        NumberView view;              // numbers
        const char* slots = nullptr;  // objects: PyObject* slots, `stride` bytes apart
        std::ptrdiff_t stride = 0;
        ArrowTextColumn* text = nullptr;  // arrow
        bool nan_marker = false;          // arrow: nulls read as the float NaN, not pd.NA
        ColumnPlan* plan = nullptr;       // distinct
    };

    bool plan_block(const pandas_compat::Block& block, std::size_t rows);
    bool plan_numpy(PyObject* values, const std::vector<std::size_t>& locs, std::size_t rows);
    bool plan_string_array(PyObject* values, std::size_t loc, std::size_t rows);
    bool plan_arrow(PyObject* values, std::size_t loc, std::size_t rows);
    bool take_plan(std::size_t loc, std::unique_ptr<ColumnPlan> plan);
    bool take_read(std::size_t loc, ColumnRead read);
    bool take(std::size_t loc, const Column& column);
    // Samples the cells the distinct columns need and settles their plans.
    bool settle(PyObject* frame);

    std::vector<Column> columns_;
    std::vector<std::vector<std::size_t>> block_locs_;
    std::vector<PyRef> arrays_;          // keeps every array read in place alive
    std::deque<ArrowTextColumn> arrow_;  // stable addresses for the columns' views
    std::vector<std::unique_ptr<ColumnPlan>> plans_;
    std::deque<std::vector<std::uint64_t>> words_;     // numbers copied out of Arrow arrays
    std::vector<std::shared_ptr<const void>> owners_;  // Arrow arrays read in place
    std::vector<std::uint64_t> scratch_words_;         // Arrow columns' words while planned
    std::vector<std::uint8_t> scratch_valid_;
    std::deque<FrameSample> samples_;
};

}  // namespace vandra
