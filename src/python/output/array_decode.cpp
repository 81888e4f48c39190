#include "python/output/array_decode.hpp"

#include <memory>
#include <vector>

#include "python/errors.hpp"
#include "python/output/decode_labels.hpp"

namespace vandra {
namespace {

void put(PyObject** slot, PyObject* value) {
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
}

}  // namespace

PyRef decoded_array(const ValueMatrix& m, const FitState& fit) {
    // Sized only for a table with cells: a shape like (0, 2**40) holds none.
    std::vector<std::unique_ptr<ColumnLabels>> labels(m.rows > 0 ? m.cols : 0);
    for (ColumnIndex c : fit.encoded_columns) {
        const CodeMap& codes = code_map_of(fit, c);
        if (m.rows == 0) continue;  // no cell to decode, so no position to check
        if (c >= m.cols) position_outside(c, m.cols);
        labels[c] = std::make_unique<ColumnLabels>(codes);
    }
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    PyRef objects = new_object_array(2, dims);
    auto** slots = object_slots(objects.get());
    PyRef nan_text = allocated(PyUnicode_FromString("NaN"));
    if (m.cols == 0) return objects;
    for (std::size_t r = 0; r < m.rows; ++r) {
        if ((r & 0xFFFF) == 0xFFFF) check_signals();
        for (std::size_t c = 0; c < m.cols; ++c, ++slots) {
            const double x = m.at(r, c);
            if (labels[c]) {
                put(slots, labels[c]->get(x, nan_text.get()));
            } else {
                PyObject* number = allocated(PyFloat_FromDouble(x)).release();
                Py_XSETREF(*slots, number);
            }
        }
    }
    return objects;
}

}  // namespace vandra
