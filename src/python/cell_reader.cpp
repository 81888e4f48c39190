#include "python/cell_reader.hpp"

#include <cstring>

#include "lib/internal_error.hpp"

namespace vandra {

void CellReader::add(std::size_t j, PyObject* cell) {
    if (++since_check_ == kCellsPerSignalCheck) {
        since_check_ = 0;
        check_signals();
    }
    if (buffers_.is_object[j]) {
        buffers_.labels[j].push_back(cell_text(cell, store_));
        return;
    }
    double v;
    if (PyFloat_CheckExact(cell)) {
        v = PyFloat_AS_DOUBLE(cell);
    } else if (PyUnicode_CheckExact(cell)) {
        // A str never converts to a float (it has no __float__); no need to ask.
        switch_to_text(j);
        buffers_.labels[j].push_back(str_text(cell, store_));
        return;
    } else {
        v = PyFloat_AsDouble(cell);
        if (v == -1.0 && PyErr_Occurred()) {
            clear_ordinary_error();
            switch_to_text(j);
            buffers_.labels[j].push_back(cell_text(cell, store_));
            return;
        }
    }
    if (buffers_.numbers[j].empty()) buffers_.numbers[j].reserve(rows_);
    buffers_.numbers[j].push_back(v);
}

void CellReader::add_slots(std::size_t j, const char* slots, std::ptrdiff_t stride) {
    for (std::size_t i = 0; i < rows_; ++i) {
        PyObject* slot;
        std::memcpy(&slot, slots + static_cast<std::ptrdiff_t>(i) * stride, sizeof slot);
        PyRef cell = PyRef::borrow(slot ? slot : Py_None);
        add(j, cell.get());
    }
}

void CellReader::switch_to_text(std::size_t j) {
    buffers_.is_object[j] = true;
    auto& labels = buffers_.labels[j];
    labels.reserve(rows_);
    for (double v : buffers_.numbers[j]) labels.push_back(store_.own(float_to_text(v)));
    std::vector<double>().swap(buffers_.numbers[j]);
}

}  // namespace vandra
