// Cells of a pandas frame's `values` at chosen rows and columns, without building `values`
// for the whole frame: they are read from the `values` of a smaller frame made with
// DataFrame.take. pandas boxes each column's values one at a time, and chooses how to build
// `values` from the dtypes of the frame's blocks (and, for a single block, from whether its
// column holds missing values), so the smaller frame hands out the same cells as long as
// every block keeps a column there and the rows taken include a missing value of each
// column that has one.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "python/py_ref.hpp"

namespace vandra {

class FrameSample {
  public:
    // Takes `rows` of the frame's `columns`, and of every block in `blocks` (each given by
    // its columns' positions) that has none among them, its first column. False when pandas
    // fails with an ordinary error (the caller reads `values` instead); interrupts are thrown.
    bool take(PyObject* frame, std::vector<std::size_t> columns, std::vector<std::size_t> rows,
              const std::vector<std::vector<std::size_t>>& blocks);

    // The cell at frame row `row` of frame column `column`, both among those taken.
    PyRef cell(std::size_t row, std::size_t column) const;

  private:
    PyRef values_;
    std::vector<std::size_t> rows_;      // ascending
    std::vector<std::size_t> position_;  // frame column -> its place among those taken + 1
};

}  // namespace vandra
