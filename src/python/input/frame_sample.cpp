#include "python/input/frame_sample.hpp"

#include <algorithm>
#include <string>

#include "python/errors.hpp"
#include "python/numpy_api.hpp"

namespace vandra {
namespace {

PyRef int_list(const std::vector<std::size_t>& values) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k),
                        checked(PyLong_FromSize_t(values[k])).release());
    }
    return list;
}

// frame.take(indices, axis=axis), or null after an ordinary error.
PyRef take_along(PyObject* frame, const std::vector<std::size_t>& indices, int axis) {
    PyRef list = int_list(indices);
    PyRef method = checked(PyObject_GetAttrString(frame, "take"));
    PyRef args = checked(PyTuple_Pack(1, list.get()));
    PyRef kwargs = checked(Py_BuildValue("{s:i}", "axis", axis));
    PyRef taken(PyObject_Call(method.get(), args.get(), kwargs.get()));
    if (!taken) clear_ordinary_error();
    return taken;
}

}  // namespace

bool FrameSample::take(PyObject* frame, std::vector<std::size_t> columns,
                       std::vector<std::size_t> rows,
                       const std::vector<std::vector<std::size_t>>& blocks) {
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    std::vector<std::size_t> chosen = columns;
    std::sort(chosen.begin(), chosen.end());
    for (const auto& locs : blocks) {
        const bool kept = std::any_of(locs.begin(), locs.end(), [&](std::size_t loc) {
            return std::binary_search(chosen.begin(), chosen.end(), loc);
        });
        if (!kept && !locs.empty()) columns.push_back(locs.front());
    }
    // Rows first: a frame of few rows is cheap to narrow, while taking columns first may copy
    // them whole (pandas before copy-on-write).
    PyRef few = take_along(frame, rows, 0);
    PyRef small = few ? take_along(few.get(), columns, 1) : PyRef();
    PyRef values = small ? PyRef(PyObject_GetAttrString(small.get(), "values")) : PyRef();
    if (!values) {
        if (PyErr_Occurred()) clear_ordinary_error();
        return false;
    }
    ensure_numpy_api();
    if (!PyArray_CheckExact(values.get())) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(values.get());
    if (PyArray_NDIM(arr) != 2 || PyArray_DIM(arr, 0) != static_cast<npy_intp>(rows.size()) ||
        PyArray_DIM(arr, 1) != static_cast<npy_intp>(columns.size()))
        return false;
    values_ = std::move(values);
    rows_ = std::move(rows);
    // Found by position, not by search: a wide frame's sample serves thousands of columns.
    position_.assign(*std::max_element(columns.begin(), columns.end()) + 1, 0);
    for (std::size_t k = 0; k < columns.size(); ++k) position_[columns[k]] = k + 1;
    return true;
}

PyRef FrameSample::cell(std::size_t row, std::size_t column) const {
    const auto r = std::lower_bound(rows_.begin(), rows_.end(), row);
    const std::size_t c = column < position_.size() ? position_[column] : 0;
    if (r == rows_.end() || *r != row || c == 0) {
        throw InternalError("row " + std::to_string(row) + " of column " + std::to_string(column) +
                            " was not sampled");
    }
    const auto i = static_cast<npy_intp>(r - rows_.begin());
    const auto j = static_cast<npy_intp>(c - 1);
    auto* arr = reinterpret_cast<PyArrayObject*>(values_.get());
    if (PyArray_TYPE(arr) == NPY_OBJECT) {
        PyObject* slot = *static_cast<PyObject**>(PyArray_GETPTR2(arr, i, j));
        return PyRef::borrow(slot ? slot : Py_None);
    }
    PyRef key =
        checked(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(j)));
    return checked(PyObject_GetItem(values_.get(), key.get()));
}

}  // namespace vandra
