#include "python/output/decoded_frame.hpp"

#include <vector>

#include "python/column_labels.hpp"
#include "python/errors.hpp"
#include "python/lookup.hpp"
#include "python/output/decode_labels.hpp"
#include "python/pandas_compat.hpp"

namespace vandra {
namespace {

// A run of adjacent columns [first, last) that are all encoded or all not.
struct Run {
    std::size_t first, last;
    bool encoded;
};

// columns [lo, hi) of a 2-D array, as a view.
PyRef column_slice(PyObject* array, std::size_t lo, std::size_t hi) {
    PyRef all_rows = allocated(PySlice_New(nullptr, nullptr, nullptr));
    PyRef start = allocated(PyLong_FromSize_t(lo));
    PyRef stop = allocated(PyLong_FromSize_t(hi));
    PyRef some = allocated(PySlice_New(start.get(), stop.get(), nullptr));
    PyRef key = allocated(PyTuple_Pack(2, all_rows.get(), some.get()));
    return checked(PyObject_GetItem(array, key.get()));
}

}  // namespace

PyRef decoded_frame(const ValueMatrix& m, const OUT::Frame& out, const FitState& fit) {
    if (m.rows == 0 || m.cols != out.columns.size()) return {};
    PyRef pandas = checked(PyImport_ImportModule("pandas"));
    PyRef ctor = checked(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    if (!pandas_compat::is_own_class(ctor.get(), pandas_compat::Class::frame)) return {};

    std::vector<bool> encoded(m.cols, false);
    for (ColumnIndex c : fit.encoded_columns) {
        if (c >= m.cols) position_outside(c, m.cols);
        encoded[c] = true;
    }
    // The label columns in frame order, each at its place in one object array.
    std::vector<std::size_t> label_place(m.cols, 0);
    std::size_t labelled = 0;
    for (std::size_t c = 0; c < m.cols; ++c) {
        if (encoded[c]) label_place[c] = labelled++;
    }
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(labelled)};
    PyRef labels = new_object_array(2, dims, /*fortran=*/true);
    PyObject** const slots = object_slots(labels.get());
    for (std::size_t c = 0; c < m.cols; ++c) {
        if (!encoded[c]) continue;
        check_signals();
        write_labels(slots + label_place[c] * m.rows, m, code_map_of(fit, c), c);
    }

    std::vector<Run> runs;
    for (std::size_t c = 0; c < m.cols; ++c) {
        if (runs.empty() || runs.back().encoded != encoded[c]) runs.push_back({c, c, encoded[c]});
        runs.back().last = c + 1;
    }
    PyRef object_dtype(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
    PyRef part_kwargs = allocated(PyDict_New());
    check_status(PyDict_SetItemString(part_kwargs.get(), "copy", Py_False));
    PyRef label_kwargs = allocated(PyDict_Copy(part_kwargs.get()));
    // numpy's object dtype itself: without it pandas may infer its str dtype for the labels.
    check_status(PyDict_SetItemString(label_kwargs.get(), "dtype", object_dtype.get()));
    PyRef parts = allocated(PyList_New(static_cast<Py_ssize_t>(runs.size())));
    for (std::size_t k = 0; k < runs.size(); ++k) {
        const Run& run = runs[k];
        PyRef view = run.encoded ? column_slice(labels.get(), label_place[run.first],
                                                label_place[run.first] + run.last - run.first)
                                 : column_slice(m.array.get(), run.first, run.last);
        PyRef args = allocated(PyTuple_Pack(1, view.get()));
        PyObject* part = PyObject_Call(ctor.get(), args.get(),
                                       run.encoded ? label_kwargs.get() : part_kwargs.get());
        PyList_SET_ITEM(parts.get(), static_cast<Py_ssize_t>(k), checked(part).release());
    }

    PyRef frame;
    if (runs.size() == 1) {
        frame = PyRef::borrow(PyList_GET_ITEM(parts.get(), 0));
    } else {
        PyRef concat = checked(PyObject_GetAttrString(pandas.get(), "concat"));
        PyRef kwargs = allocated(PyDict_New());
        PyRef one = allocated(PyLong_FromLong(1));
        check_status(PyDict_SetItemString(kwargs.get(), "axis", one.get()));
        check_status(PyDict_SetItemString(kwargs.get(), "ignore_index", Py_True));
        // pandas before 3 copies every block in concat unless told not to; pandas 3 copies
        // lazily and warns on the keyword.
        if (pandas_compat::concat_copies_by_default()) {
            check_status(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
        }
        PyRef args = allocated(PyTuple_Pack(1, parts.get()));
        frame = checked(PyObject_Call(concat.get(), args.get(), kwargs.get()));
    }
    PyRef names = result_columns(out, /*own_class=*/true);
    check_status(PyObject_SetAttrString(frame.get(), "columns", names.get()));
    return frame;
}

}  // namespace vandra
