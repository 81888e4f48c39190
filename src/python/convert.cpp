#include "python/convert.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "lib/huge_pages.hpp"
#include "lib/internal_error.hpp"
#include "python/cell_text.hpp"
#include "python/encode_object_array.hpp"
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"

namespace vandra {
namespace {

// Writes the refused type's name and a line feed straight to file descriptor 1. A closed
// standard output is skipped silently.
void print_refused_name(const std::string& name) {
    std::string line = name + "\n";
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EBADF) return;
            throw InternalError(std::string("couldn't write to standard output: ") +
                                std::strerror(errno));
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

[[noreturn]] void refuse(PyObject* obj, const std::string& name) {
    (void)obj;
    print_refused_name(name);
    PyErr_Format(PyExc_TypeError,
                 "Unsupported type: '%s'. Supported types are: numpy.ndarray, pandas.DataFrame",
                 name.c_str());
    throw PythonError{};
}

// Labels that are all str, in iteration order; nullopt if any is not (or iteration fails).
std::optional<std::vector<std::string>> text_labels(PyObject* columns) {
    PyRef iter(PyObject_GetIter(columns));
    if (!iter) {
        PyErr_Clear();
        return std::nullopt;
    }
    std::vector<std::string> labels;
    while (PyRef item{PyIter_Next(iter.get())}) {
        if (!PyUnicode_Check(item.get())) return std::nullopt;
        labels.push_back(str_text_copy(item.get()));
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return labels;
}

// Integer labels from columns.tolist(), as decimal texts.
std::vector<std::string> integer_labels(PyObject* columns) {
    PyRef list = checked(PyObject_CallMethod(columns, "tolist", nullptr));
    if (PyUnicode_Check(list.get()) || !PySequence_Check(list.get())) {
        PyErr_Format(PyExc_TypeError, "columns.tolist() returned a '%s', not a sequence",
                     Py_TYPE(list.get())->tp_name);
        throw PythonError{};
    }
    PyRef iter = checked(PyObject_GetIter(list.get()));
    std::vector<std::string> labels;
    while (PyRef item{PyIter_Next(iter.get())}) {
        const long long v = PyLong_AsLongLong(item.get());
        if (v == -1 && PyErr_Occurred()) throw PythonError{};
        labels.push_back(std::to_string(v));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return labels;
}

std::vector<std::string> column_labels(PyObject* frame) {
    PyRef columns = checked(PyObject_GetAttrString(frame, "columns"));
    if (!PyUnicode_Check(columns.get()) && PySequence_Check(columns.get())) {
        if (auto texts = text_labels(columns.get())) return std::move(*texts);
    }
    return integer_labels(columns.get());
}

struct Shape {
    std::size_t rows, cols;
};

std::size_t shape_entry(PyObject* item) {
    if (!PyLong_Check(item)) throw InternalError("shape entries must be integers");
    const Py_ssize_t v = PyLong_AsSsize_t(item);
    if (v == -1 && PyErr_Occurred()) throw_internal_from_python("shape entry out of range");
    if (v < 0) throw InternalError("shape entries must be non-negative");
    return static_cast<std::size_t>(v);
}

Shape read_shape(PyObject* obj) {
    PyRef shape(PyObject_GetAttrString(obj, "shape"));
    if (!shape) throw_internal_from_python("couldn't read shape");
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) {
        throw InternalError("shape must be a tuple of two non-negative integers");
    }
    Shape s{shape_entry(PyTuple_GET_ITEM(shape.get(), 0)),
            shape_entry(PyTuple_GET_ITEM(shape.get(), 1))};
    constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (s.cols != 0 && (s.rows > kMax / s.cols || s.rows * s.cols > kMax / sizeof(double))) {
        throw InternalError("shape too large: rows * cols does not fit in memory addresses");
    }
    return s;
}

// Large cell buffers are advised for huge pages before their first touch: page faults on
// fresh memory are otherwise a large share of a big conversion.
std::unique_ptr<double[]> cell_buffer(std::size_t n, bool zeroed) {
    auto cells = std::make_unique_for_overwrite<double[]>(n);
    detail::advise_huge_pages(cells.get(), n * sizeof(double));
    if (zeroed) std::fill_n(cells.get(), n, 0.0);
    return cells;
}

// Gap-free when the absolute strides are those of C or Fortran order (axes of length 1
// may have any stride).
bool gap_free(npy_intp rows, npy_intp cols, npy_intp s0, npy_intp s1, bool fortran) {
    const npy_intp e = static_cast<npy_intp>(sizeof(double));
    const npy_intp a0 = s0 < 0 ? -s0 : s0, a1 = s1 < 0 ? -s1 : s1;
    if (fortran) return (rows == 1 || a0 == e) && (cols == 1 || a1 == e * rows);
    return (cols == 1 || a1 == e) && (rows == 1 || a0 == e * cols);
}

// The two-dimensional float64 path: one block copy keeping the source's strides, or an
// element-wise row-major copy of a strided view.
ValueMatrix copy_float64(PyArrayObject* arr) {
    const npy_intp rows = PyArray_DIM(arr, 0), cols = PyArray_DIM(arr, 1);
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
    const auto n = static_cast<std::size_t>(rows * cols);
    // Every element is overwritten below, so the buffer is not zero-filled first.
    auto cells = cell_buffer(n, false);
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    if (n == 0)
        return ValueMatrix::row_major(static_cast<std::size_t>(rows),
                                      static_cast<std::size_t>(cols), std::move(cells));
    const bool c_order = gap_free(rows, cols, s0, s1, false);
    if (c_order || gap_free(rows, cols, s0, s1, true)) {
        const npy_intp e = static_cast<npy_intp>(sizeof(double));
        // Strides of length-1 axes carry no information; give them their canonical value.
        npy_intp r = rows == 1 ? (c_order ? cols * e : e) : s0;
        npy_intp c = cols == 1 ? (c_order ? e : rows * e) : s1;
        const npy_intp lowest = (r < 0 ? (rows - 1) * r : 0) + (c < 0 ? (cols - 1) * c : 0);
        std::memcpy(cells.get(), data + lowest, n * sizeof(double));
        ValueMatrix m{static_cast<std::size_t>(rows),
                      static_cast<std::size_t>(cols),
                      std::move(cells),
                      -lowest / e,
                      r / e,
                      c / e};
        return m;
    }
    for (npy_intp i = 0; i < rows; ++i) {
        for (npy_intp j = 0; j < cols; ++j) {
            std::memcpy(&cells[static_cast<std::size_t>(i * cols + j)], data + i * s0 + j * s1,
                        sizeof(double));
        }
    }
    return ValueMatrix::row_major(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols),
                                  std::move(cells));
}

// Reads cells into ColumnBuffers, deciding per column whether it holds numbers or text.
class CellReader {
  public:
    CellReader(std::size_t rows, std::size_t cols) : rows_(rows), buffers_(cols) {}

    void add(std::size_t j, PyObject* cell) {
        if (buffers_.is_object[j]) {
            buffers_.labels[j].push_back(cell_text(cell, store_));
            return;
        }
        double v;
        if (PyFloat_CheckExact(cell)) {
            v = PyFloat_AS_DOUBLE(cell);
        } else {
            v = PyFloat_AsDouble(cell);
            if (v == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                switch_to_text(j);
                buffers_.labels[j].push_back(cell_text(cell, store_));
                return;
            }
        }
        buffers_.numbers[j].push_back(v);
    }
    void add_number(std::size_t j, double v) { buffers_.numbers[j].push_back(v); }
    void reserve_numbers(std::size_t j) { buffers_.numbers[j].reserve(rows_); }
    ColumnBuffers& buffers() { return buffers_; }

  private:
    void switch_to_text(std::size_t j) {
        buffers_.is_object[j] = true;
        auto& labels = buffers_.labels[j];
        labels.reserve(rows_);
        for (double v : buffers_.numbers[j]) labels.push_back(store_.own(float_to_text(v)));
        std::vector<double>().swap(buffers_.numbers[j]);
    }

    std::size_t rows_;
    ColumnBuffers buffers_;
    LabelStore store_;  // keeps every label view valid until encoding has copied them
};

template <class T>
void read_numeric_column(CellReader& reader, const char* data, npy_intp stride, std::size_t rows,
                         std::size_t j) {
    reader.reserve_numbers(j);
    for (std::size_t i = 0; i < rows; ++i) {
        T value;
        std::memcpy(&value, data + static_cast<npy_intp>(i) * stride, sizeof(T));
        reader.add_number(j, static_cast<double>(value));
    }
}

// Reads every cell of an exact ndarray straight from its memory when item access would
// give the same result: object arrays (an empty slot reads as None) and native-order
// bool, integer and floating types. Returns false when the array needs item access.
bool read_array_directly(PyObject* target, Shape s, CellReader& reader) {
    if (!PyArray_CheckExact(target)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(target);
    if (PyArray_NDIM(arr) != 2 || PyArray_DIM(arr, 0) != static_cast<npy_intp>(s.rows) ||
        PyArray_DIM(arr, 1) != static_cast<npy_intp>(s.cols))
        return false;
    const int type = PyArray_TYPE(arr);
    if (type != NPY_OBJECT && !PyArray_ISNOTSWAPPED(arr)) return false;
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
    auto column = [&](std::size_t j) {
        return static_cast<const char*>(PyArray_DATA(arr)) + static_cast<npy_intp>(j) * s1;
    };
    switch (type) {
#define VANDRA_NUMERIC_CASE(NPY, CTYPE)                                   \
    case NPY:                                                             \
        for (std::size_t j = 0; j < s.cols; ++j)                          \
            read_numeric_column<CTYPE>(reader, column(j), s0, s.rows, j); \
        return true;
        VANDRA_NUMERIC_CASE(NPY_BOOL, npy_bool)
        VANDRA_NUMERIC_CASE(NPY_BYTE, npy_byte)
        VANDRA_NUMERIC_CASE(NPY_UBYTE, npy_ubyte)
        VANDRA_NUMERIC_CASE(NPY_SHORT, npy_short)
        VANDRA_NUMERIC_CASE(NPY_USHORT, npy_ushort)
        VANDRA_NUMERIC_CASE(NPY_INT, npy_int)
        VANDRA_NUMERIC_CASE(NPY_UINT, npy_uint)
        VANDRA_NUMERIC_CASE(NPY_LONG, npy_long)
        VANDRA_NUMERIC_CASE(NPY_ULONG, npy_ulong)
        VANDRA_NUMERIC_CASE(NPY_LONGLONG, npy_longlong)
        VANDRA_NUMERIC_CASE(NPY_ULONGLONG, npy_ulonglong)
        VANDRA_NUMERIC_CASE(NPY_FLOAT, npy_float)
        VANDRA_NUMERIC_CASE(NPY_DOUBLE, npy_double)
        VANDRA_NUMERIC_CASE(NPY_LONGDOUBLE, npy_longdouble)
#undef VANDRA_NUMERIC_CASE
        case NPY_OBJECT:
            for (std::size_t j = 0; j < s.cols; ++j) {
                for (std::size_t i = 0; i < s.rows; ++i) {
                    PyObject* slot;
                    std::memcpy(&slot, column(j) + static_cast<npy_intp>(i) * s0, sizeof slot);
                    // Hold the cell: Python code run by its conversion may overwrite the slot.
                    PyRef cell = PyRef::borrow(slot ? slot : Py_None);
                    reader.add(j, cell.get());
                }
            }
            return true;
        default:
            return false;
    }
}

// Every cell through target[(i, j)], column by column.
void read_by_item_access(PyObject* target, Shape s, CellReader& reader) {
    for (std::size_t j = 0; j < s.cols; ++j) {
        for (std::size_t i = 0; i < s.rows; ++i) {
            PyRef key = checked(
                Py_BuildValue("(nn)", static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(j)));
            PyRef cell(PyObject_GetItem(target, key.get()));
            if (!cell) {
                throw_internal_from_python("couldn't read cell (" + std::to_string(i) + ", " +
                                           std::to_string(j) + ")");
            }
            reader.add(j, cell.get());
        }
    }
}

// Steps shared by arrays and frames once the kind is known: shape, cells, encoding.
Conversion read_cells(PyObject* obj, OUT out, bool frame) {
    const Shape s = read_shape(obj);
    const std::size_t n = s.rows * s.cols;
    auto cells = cell_buffer(n, true);
    PyRef target;
    if (frame) {
        target.reset(PyObject_GetAttrString(obj, "values"));
        if (!target) throw_internal_from_python("couldn't read values");
    } else {
        target = PyRef::borrow(obj);
    }
    auto fit = std::make_unique<FitState>();
    if (n > 0) {
        CellReader reader(s.rows, s.cols);
        ensure_numpy_api();
        if (!read_array_directly(target.get(), s, reader)) {
            read_by_item_access(target.get(), s, reader);
        }
        target.reset();
        *fit = encode_object_array(s.rows, s.cols, reader.buffers(), cells.get());
    } else {
        // No cells, so no text column and an empty fit; encoded as a table of no columns.
        // Per-column buffers would cost tens of bytes per column for nothing, and a legal
        // shape like (0, 2**40) would fail with MemoryError.
        *fit = encode_object_array(s.rows, 0, ColumnBuffers(0), cells.get());
    }
    ValueMatrix matrix = ValueMatrix::row_major(s.rows, s.cols, std::move(cells));
    if (!matrix.cells && n != 0) throw InternalError("couldn't convert to ndarray");
    return Conversion{std::move(matrix), std::move(out), std::move(fit)};
}

}  // namespace

Conversion pyany_to_vec(PyObject* obj) {
    PyRef name_obj = checked(PyType_GetName(Py_TYPE(obj)));
    const std::string name = str_text_copy(name_obj.get());
    if (name == "DataFrame") {
        OUT out{OUT::Frame{column_labels(obj)}};
        return read_cells(obj, std::move(out), true);
    }
    if (name != "ndarray" && name != "memmap") refuse(obj, name);
    ensure_numpy_api();
    if (PyArray_Check(obj)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        if (PyArray_NDIM(arr) == 2 && PyArray_TYPE(arr) == NPY_DOUBLE &&
            PyArray_ISNOTSWAPPED(arr)) {
            return Conversion{copy_float64(arr), OUT{OUT::Array{}}, nullptr};
        }
    }
    return read_cells(obj, OUT{OUT::Array{}}, false);
}

}  // namespace vandra
