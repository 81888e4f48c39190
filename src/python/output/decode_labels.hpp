// What both forms of decode share: a cell's code, and each code's label as a str made once.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

#include "lib/records.hpp"
#include "python/new_objects.hpp"
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"
#include "python/value_matrix.hpp"

namespace vandra {

// A cell's code: truncated toward zero into the code range, saturating at both ends (NaN is
// the callers' to handle).
Code code_of(double x);

// The labels of one encoded column, looked up by cell value. Codes are dense (0 .. k-1)
// and the code map holds the labels in code order, so a code indexes it directly; each
// label's str is made once, on first use. Any other value decodes to `missing`.
class ColumnLabels {
  public:
    explicit ColumnLabels(const CodeMap& codes) : codes_(codes), strs_(codes.size()) {}

    // The label's str for cell value x, or `missing` (borrowed) for NaN / unknown codes.
    PyObject* get(double x, PyObject* missing);

  private:
    const CodeMap& codes_;
    std::vector<PyRef> strs_;
};

const CodeMap& code_map_of(const FitState& fit, ColumnIndex c);

[[noreturn]] void position_outside(ColumnIndex c, std::size_t cols);

// Writes column c's labels into `slots`, the m.rows slots of a new object array (holding None,
// or NULL, as NumPy made it): the label's str per row, None for NaN and unknown codes.
void write_labels(PyObject** slots, const ValueMatrix& m, const CodeMap& codes, ColumnIndex c);

// A new object array of the given shape (Fortran order if `fortran`), every slot empty
// (None) until written.
PyRef new_object_array(int ndim, npy_intp* dims, bool fortran = false);

// The slots of an object array made by new_object_array.
inline PyObject** object_slots(PyObject* array) {
    return static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

}  // namespace vandra
