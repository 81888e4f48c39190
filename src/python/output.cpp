#include "python/output.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "lib/internal_error.hpp"
#include "python/numpy_api.hpp"

namespace vandra {
namespace {

// For the objects this routine allocates itself (str, list, tuple, dict, slice, array):
// running out of memory there is an internal failure, unlike errors pandas raises.
PyRef allocated(PyObject* owned) {
    if (!owned) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_internal_from_python("out of memory");
        throw PythonError{};
    }
    return PyRef(owned);
}

// New float64 array owning a copy of the matrix: C order for row-major matrices (and
// empty ones), Fortran order for column-major ones, an element-wise row-major copy else.
PyRef float_copy(const ValueMatrix& m) {
    ensure_numpy_api();
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    const std::size_t n = m.rows * m.cols;
    const bool row_major = n == 0 || m.is_row_major();
    const bool fortran = !row_major && m.is_col_major();
    PyRef arr = allocated(PyArray_New(&PyArray_Type, 2, dims, NPY_DOUBLE, nullptr, nullptr, 0,
                                      fortran ? NPY_ARRAY_F_CONTIGUOUS : 0, nullptr));
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
    if (n == 0) return arr;
    if (row_major || fortran) {
        std::memcpy(out, m.cells.get() + m.origin, n * sizeof(double));
    } else {
        for (std::size_t i = 0; i < m.rows; ++i)
            for (std::size_t j = 0; j < m.cols; ++j) out[i * m.cols + j] = m.at(i, j);
    }
    return arr;
}

// Truncates toward zero into the code range, saturating at both ends.
Code code_of(double x) {
    constexpr double kTwo64 = 18446744073709551616.0;
    if (!(x >= 0)) return 0;  // negative values (NaN is handled by the callers)
    if (x >= kTwo64) return std::numeric_limits<Code>::max();
    return static_cast<Code>(x);
}

PyRef new_str(const std::string& text) {
    return allocated(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

// The labels of one encoded column, looked up by cell value. Codes are dense (0 .. k-1)
// and the code map holds the labels in code order, so a code indexes it directly; each
// label's str is made once, on first use. Any other value decodes to `missing`.
class ColumnLabels {
  public:
    explicit ColumnLabels(const CodeMap& codes) : codes_(codes), strs_(codes.size()) {}

    // The label's str for cell value x, or `missing` (borrowed) for NaN / unknown codes.
    PyObject* get(double x, PyObject* missing) {
        if (std::isnan(x)) return missing;
        const Code code = code_of(x);
        if (code >= codes_.size()) return missing;
        PyRef& s = strs_[code];
        if (!s) {
            const std::string_view label = codes_.label(code);
            s = allocated(PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()),
                                               "strict"));
        }
        return s.get();
    }

  private:
    const CodeMap& codes_;
    std::vector<PyRef> strs_;
};

const CodeMap& code_map_of(const FitState& fit, ColumnIndex c) {
    auto it = fit.code_maps.find(c);
    if (it == fit.code_maps.end()) {
        throw InternalError("no code map for encoded column " + std::to_string(c));
    }
    return it->second;
}

[[noreturn]] void position_outside(ColumnIndex c, std::size_t cols) {
    throw InternalError("encoded column " + std::to_string(c) + " is outside the object (" +
                        std::to_string(cols) + " columns)");
}

PyRef array_result(const ValueMatrix& m, const FitState* fit) {
    PyRef floats = float_copy(m);
    if (!fit) return floats;
    PyRef numpy = checked(PyImport_ImportModule("numpy"));
    PyRef copy = checked(PyObject_CallMethod(numpy.get(), "array", "O", floats.get()));
    PyRef objects = checked(PyObject_CallMethod(copy.get(), "astype", "s", "object"));
    copy.reset();
    PyRef nan_text = allocated(PyUnicode_FromString("NaN"));
    auto* obj_arr = reinterpret_cast<PyArrayObject*>(objects.get());
    // astype gives a fresh object array; writing its slots directly is what
    // objects[(r, c)] = text does, without a Python call per cell.
    const bool direct = PyArray_CheckExact(objects.get()) && PyArray_NDIM(obj_arr) == 2 &&
                        PyArray_TYPE(obj_arr) == NPY_OBJECT &&
                        PyArray_DIM(obj_arr, 0) == static_cast<npy_intp>(m.rows) &&
                        PyArray_DIM(obj_arr, 1) == static_cast<npy_intp>(m.cols);
    for (ColumnIndex c : fit->encoded_columns) {
        const CodeMap& codes = code_map_of(*fit, c);
        if (m.rows > 0 && c >= m.cols) position_outside(c, m.cols);
        ColumnLabels labels(codes);
        for (std::size_t r = 0; r < m.rows; ++r) {
            PyObject* text = labels.get(m.at(r, c), nan_text.get());
            if (direct) {
                auto* slot = static_cast<PyObject**>(
                    PyArray_GETPTR2(obj_arr, static_cast<npy_intp>(r), static_cast<npy_intp>(c)));
                Py_INCREF(text);
                Py_XSETREF(*slot, text);
                continue;
            }
            PyRef key = allocated(
                Py_BuildValue("(nn)", static_cast<Py_ssize_t>(r), static_cast<Py_ssize_t>(c)));
            check_status(PyObject_SetItem(objects.get(), key.get(), text));
        }
    }
    return objects;
}

// True when `columns[c]` occurs more than once: then the column is addressed by position.
bool name_repeats(const std::vector<std::string>& columns, std::size_t c) {
    std::size_t count = 0;
    for (const auto& name : columns) count += name == columns[c];
    return count > 1;
}

void decode_frame_column(PyObject* frame, const ValueMatrix& m,
                         const std::vector<std::string>& columns, const CodeMap& codes,
                         ColumnIndex c) {
    if (m.rows > 0 && c >= m.cols) position_outside(c, m.cols);
    PyRef labels = allocated(PyList_New(static_cast<Py_ssize_t>(m.rows)));
    ColumnLabels by_code(codes);
    for (std::size_t r = 0; r < m.rows; ++r) {
        PyObject* item = by_code.get(m.at(r, c), Py_None);
        Py_INCREF(item);
        PyList_SET_ITEM(labels.get(), static_cast<Py_ssize_t>(r), item);
    }
    if (c >= columns.size()) position_outside(c, columns.size());
    PyRef name = new_str(columns[c]);
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

PyRef frame_result(const ValueMatrix& m, const std::vector<std::string>& columns,
                   const FitState* fit) {
    PyRef pandas = checked(PyImport_ImportModule("pandas"));
    PyRef kwargs = allocated(PyDict_New());
    PyRef names = allocated(PyList_New(static_cast<Py_ssize_t>(columns.size())));
    for (std::size_t k = 0; k < columns.size(); ++k) {
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), new_str(columns[k]).release());
    }
    check_status(PyDict_SetItemString(kwargs.get(), "columns", names.get()));
    PyRef frame;
    {
        PyRef ctor = checked(PyObject_GetAttrString(pandas.get(), "DataFrame"));
        PyRef floats = float_copy(m);
        PyRef args = allocated(PyTuple_Pack(1, floats.get()));
        frame = checked(PyObject_Call(ctor.get(), args.get(), kwargs.get()));
    }
    if (!fit) return frame;
    for (ColumnIndex c : fit->encoded_columns) {
        decode_frame_column(frame.get(), m, columns, code_map_of(*fit, c), c);
    }
    return frame;
}

}  // namespace

PyRef arr_to_out(const ValueMatrix& matrix, OUT out, const FitState* fit) {
    if (auto* frame = std::get_if<OUT::Frame>(&out.kind)) {
        return frame_result(matrix, frame->columns, fit);
    }
    return array_result(matrix, fit);
}

}  // namespace vandra
