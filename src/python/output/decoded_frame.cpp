#include "python/output/decoded_frame.hpp"

#include <cstring>
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

// The encoded columns' labels, each at its place in one Fortran-ordered object array, the
// encoded columns in frame order.
struct Labels {
    std::vector<bool> encoded;        // per column
    std::vector<std::size_t> place;   // per encoded column: its column in `array`
    std::vector<npy_intp> positions;  // the encoded columns, ascending
    PyRef array;
};

Labels decoded_labels(const ValueMatrix& m, const FitState& fit) {
    Labels l;
    l.encoded.assign(m.cols, false);
    for (ColumnIndex c : fit.encoded_columns) {
        if (c >= m.cols) position_outside(c, m.cols);
        l.encoded[c] = true;
    }
    l.place.assign(m.cols, 0);
    for (std::size_t c = 0; c < m.cols; ++c) {
        if (!l.encoded[c]) continue;
        l.place[c] = l.positions.size();
        l.positions.push_back(static_cast<npy_intp>(c));
    }
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(l.positions.size())};
    l.array = new_object_array(2, dims, /*fortran=*/true);
    PyObject** const slots = object_slots(l.array.get());
    for (std::size_t c = 0; c < m.cols; ++c) {
        if (!l.encoded[c]) continue;
        check_signals();
        write_labels(slots + l.place[c] * m.rows, m, code_map_of(fit, c), c);
    }
    return l;
}

std::vector<Run> runs_of(const std::vector<bool>& encoded) {
    std::vector<Run> runs;
    for (std::size_t c = 0; c < encoded.size(); ++c) {
        if (runs.empty() || runs.back().encoded != encoded[c]) runs.push_back({c, c, encoded[c]});
        runs.back().last = c + 1;
    }
    return runs;
}

// A 1-D intp array of `values`.
PyRef intp_array(const npy_intp* values, std::size_t n) {
    npy_intp size = static_cast<npy_intp>(n);
    PyRef array = allocated(PyArray_SimpleNew(1, &size, NPY_INTP));
    if (n > 0) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), values,
                    n * sizeof(npy_intp));
    }
    return array;
}

// (block values, placement): `values` is (columns, rows), the transpose of a matrix view.
PyRef block(PyObject* matrix_view, PyRef placement) {
    PyRef values =
        allocated(PyArray_Transpose(reinterpret_cast<PyArrayObject*>(matrix_view), nullptr));
    return allocated(PyTuple_Pack(2, values.get(), placement.get()));
}

}  // namespace

PyRef frame_of_blocks(const ValueMatrix& m, const OUT::Frame& out, const FitState& fit) {
    if (m.rows == 0 || !m.fortran || m.cols != out.columns.size()) return {};
    PyRef ctor = imported_attr("pandas", "DataFrame");
    if (!pandas_compat::is_own_class(ctor.get(), pandas_compat::Class::frame)) return {};
    PyRef make = imported_attr("pandas.api.internals", "create_dataframe_from_blocks");
    PyRef range_index = imported_attr("pandas", "RangeIndex");
    PyRef index_cls = imported_attr("pandas", "Index");
    if (!make || !range_index || !index_cls) return {};

    Labels labels = decoded_labels(m, fit);
    std::vector<Run> runs = runs_of(labels.encoded);
    PyRef blocks = allocated(PyList_New(0));
    for (const Run& run : runs) {
        if (run.encoded) continue;
        std::vector<npy_intp> at;
        for (std::size_t c = run.first; c < run.last; ++c) at.push_back(static_cast<npy_intp>(c));
        PyRef view = column_slice(m.array.get(), run.first, run.last);
        check_status(
            PyList_Append(blocks.get(), block(view.get(), intp_array(at.data(), at.size())).get()));
    }
    if (!labels.positions.empty()) {
        PyRef placement = intp_array(labels.positions.data(), labels.positions.size());
        check_status(
            PyList_Append(blocks.get(), block(labels.array.get(), std::move(placement)).get()));
    }
    PyRef rows = allocated(PyLong_FromSize_t(m.rows));
    PyRef index = checked(PyObject_CallOneArg(range_index.get(), rows.get()));
    PyRef names = result_columns(out, /*own_class=*/true);
    // A list of names becomes the Index that DataFrame(..., columns=names) would build.
    PyRef columns =
        out.index ? std::move(names) : checked(PyObject_CallOneArg(index_cls.get(), names.get()));
    return checked(PyObject_CallFunctionObjArgs(make.get(), blocks.get(), index.get(),
                                                columns.get(), nullptr));
}

PyRef decoded_frame(const ValueMatrix& m, const OUT::Frame& out, const FitState& fit) {
    if (m.rows == 0 || m.cols != out.columns.size()) return {};
    PyRef pandas = checked(PyImport_ImportModule("pandas"));
    PyRef ctor = checked(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    if (!pandas_compat::is_own_class(ctor.get(), pandas_compat::Class::frame)) return {};

    Labels l = decoded_labels(m, fit);
    const std::vector<Run> runs = runs_of(l.encoded);
    PyRef object_dtype(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
    PyRef part_kwargs = allocated(PyDict_New());
    check_status(PyDict_SetItemString(part_kwargs.get(), "copy", Py_False));
    PyRef label_kwargs = allocated(PyDict_Copy(part_kwargs.get()));
    // numpy's object dtype itself: without it pandas may infer its str dtype for the labels.
    check_status(PyDict_SetItemString(label_kwargs.get(), "dtype", object_dtype.get()));
    PyRef parts = allocated(PyList_New(static_cast<Py_ssize_t>(runs.size())));
    for (std::size_t k = 0; k < runs.size(); ++k) {
        const Run& run = runs[k];
        PyRef view = run.encoded ? column_slice(l.array.get(), l.place[run.first],
                                                l.place[run.first] + run.last - run.first)
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
