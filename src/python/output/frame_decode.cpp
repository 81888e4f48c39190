#include "python/output/frame_decode.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

#include "pool/pool.hpp"
#include "python/errors.hpp"
#include "python/output/decode_labels.hpp"
#include "python/pandas_compat.hpp"

namespace vandra {
namespace {

// The same labels as a list, for frames decoded through pandas' own indexers.
PyRef decoded_list(const ValueMatrix& m, const CodeMap& codes, ColumnIndex c) {
    PyRef labels = allocated(PyList_New(static_cast<Py_ssize_t>(m.rows)));
    ColumnLabels by_code(codes);
    for (std::size_t r = 0; r < m.rows; ++r) {
        PyObject* item = by_code.get(m.at(r, c), Py_None);
        Py_INCREF(item);
        PyList_SET_ITEM(labels.get(), static_cast<Py_ssize_t>(r), item);
    }
    return labels;
}

// True when `columns[c]` occurs more than once: then the column is addressed by position.
bool name_repeats(const std::vector<std::string>& columns, std::size_t c) {
    std::size_t count = 0;
    for (const auto& name : columns) count += name == columns[c];
    return count > 1;
}

// Decodes column c of a frame we may not know: converted to object dtype and assigned the
// labels through pandas' own indexers, by name (by position where the name repeats).
void decode_column_by_indexers(PyObject* frame, const ValueMatrix& m,
                               const std::vector<std::string>& columns, const CodeMap& codes,
                               ColumnIndex c) {
    PyRef labels = decoded_list(m, codes, c);
    PyRef name = label_str(columns[c]);
    PyRef all_rows = allocated(PySlice_New(nullptr, nullptr, nullptr));
    if (!name_repeats(columns, c)) {
        PyRef column = checked(PyObject_GetItem(frame, name.get()));
        PyRef converted = checked(PyObject_CallMethod(column.get(), "astype", "s", "object"));
        PyRef done =
            checked(PyObject_CallMethod(frame, "__setitem__", "OO", name.get(), converted.get()));
        PyRef loc = checked(PyObject_GetAttrString(frame, "loc"));
        PyRef key = allocated(PyTuple_Pack(2, all_rows.get(), name.get()));
        check_status(PyObject_SetItem(loc.get(), key.get(), labels.get()));
        return;
    }
    // A repeated name would address every column of that name; go by position instead
    // so that exactly the remembered column changes.
    PyRef position = allocated(PyLong_FromSize_t(c));
    PyRef iloc = checked(PyObject_GetAttrString(frame, "iloc"));
    PyRef key = allocated(PyTuple_Pack(2, all_rows.get(), position.get()));
    PyRef column = checked(PyObject_GetItem(iloc.get(), key.get()));
    PyRef converted = checked(PyObject_CallMethod(column.get(), "astype", "s", "object"));
    PyRef done =
        checked(PyObject_CallMethod(frame, "isetitem", "OO", position.get(), converted.get()));
    check_status(PyObject_SetItem(iloc.get(), key.get(), labels.get()));
}

}  // namespace

void decode_frame_columns(PyObject* frame, const ValueMatrix& m,
                          const std::vector<std::string>& columns, const FitState& fit,
                          bool own_frame) {
    // Each encoded column is put in place in one step, as an object Series (so that pandas
    // infers no other dtype).
    PyRef series_cls;
    if (own_frame) {
        PyRef pandas = checked(PyImport_ImportModule("pandas"));
        series_cls = checked(PyObject_GetAttrString(pandas.get(), "Series"));
        if (!pandas_compat::is_own_class(series_cls.get(), pandas_compat::Class::series)) {
            series_cls.reset();
        }
    }
    PyRef series_kwargs;
    if (series_cls) {
        series_kwargs = allocated(PyDict_New());
        // numpy's object dtype itself: pandas resolves it faster than the name "object".
        PyRef object_dtype(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
        check_status(PyDict_SetItemString(series_kwargs.get(), "dtype", object_dtype.get()));
        check_status(PyDict_SetItemString(series_kwargs.get(), "copy", Py_False));
    }
    for (ColumnIndex c : fit.encoded_columns) {
        check_signals();
        const CodeMap& codes = code_map_of(fit, c);
        if (m.rows > 0 && c >= m.cols) position_outside(c, m.cols);
        if (c >= columns.size()) position_outside(c, columns.size());
        if (!series_cls) {
            decode_column_by_indexers(frame, m, columns, codes, c);
            continue;
        }
        npy_intp rows = static_cast<npy_intp>(m.rows);
        PyRef labels = new_object_array(1, &rows);
        write_labels(object_slots(labels.get()), m, codes, c);
        PyRef args = allocated(PyTuple_Pack(1, labels.get()));
        PyRef series = checked(PyObject_Call(series_cls.get(), args.get(), series_kwargs.get()));
        PyRef position = allocated(PyLong_FromSize_t(c));
        PyRef done =
            checked(PyObject_CallMethod(frame, "isetitem", "OO", position.get(), series.get()));
    }
}

}  // namespace vandra
