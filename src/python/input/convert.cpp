#include "python/input/convert.hpp"

#include <unistd.h>

#include <cerrno>
#include <limits>
#include <optional>
#include <string>

#include "lib/scratch.hpp"
#include "python/column_labels.hpp"
#include "python/encode_object_array.hpp"
#include "python/errors.hpp"
#include "python/input/array_input.hpp"
#include "python/input/cell_reader.hpp"
#include "python/input/cell_text.hpp"
#include "python/input/frame_input.hpp"
#include "python/numpy_api.hpp"
#include "python/pandas_compat.hpp"
#include "python/py_ref.hpp"

namespace vandra {
namespace {

// Writes the refused type's name and a line feed straight to file descriptor 1. The line is
// a courtesy: a closed or broken standard output (EBADF, EPIPE, ...) must never replace the
// TypeError that follows, so a failed write is dropped.
void print_refused_name(const std::string& name) {
    std::string line = name + "\n";
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

[[noreturn]] void refuse(const std::string& name) {
    print_refused_name(name);
    PyErr_Format(PyExc_TypeError,
                 "Unsupported type: '%s'. Supported types are: numpy.ndarray, pandas.DataFrame",
                 name.c_str());
    throw PythonError{};
}

struct Shape {
    std::size_t rows, cols;
};

// The shape's repr() for an error message, or "?" where that raises an ordinary error.
std::string shape_text(PyObject* shape) {
    PyRef text(PyObject_Repr(shape));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8) return utf8;
    clear_ordinary_error();
    return "?";
}

// An entry converts as the interpreter converts an integer argument (int, bool, NumPy
// integers, anything with __index__).
std::size_t shape_entry(PyObject* shape, Py_ssize_t k) {
    PyRef index(PyNumber_Index(PyTuple_GET_ITEM(shape, k)));
    if (!index) throw_internal_from_python("shape entries must be integers");
    const Py_ssize_t v = PyLong_AsSsize_t(index.get());
    if (v == -1 && PyErr_Occurred()) throw_internal_from_python("shape entry out of range");
    if (v < 0) throw InternalError("shape entries must be non-negative, got " + shape_text(shape));
    return static_cast<std::size_t>(v);
}

Shape read_shape(PyObject* obj) {
    PyRef shape(PyObject_GetAttrString(obj, "shape"));
    if (!shape) throw_internal_from_python("couldn't read shape");
    if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) {
        std::string message =
            "shape must be a tuple of two non-negative integers, got " + shape_text(shape.get());
        // A 1-D array is the usual slip: it reads as one column once it is 2-D.
        if (PyTuple_Check(shape.get()) && PyTuple_GET_SIZE(shape.get()) == 1) {
            message += "; for one column, pass arr.reshape(-1, 1)";
        }
        throw InternalError(message);
    }
    Shape s{shape_entry(shape.get(), 0), shape_entry(shape.get(), 1)};
    constexpr auto kMax = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (s.cols != 0 && (s.rows > kMax / s.cols || s.rows * s.cols > kMax / sizeof(double))) {
        throw InternalError("shape too large: rows * cols does not fit in memory addresses");
    }
    return s;
}

// A type's str attribute (__module__, __qualname__), or "" where it has none.
std::string type_attr_text(PyObject* type, const char* attr) {
    PyRef value(PyObject_GetAttrString(type, attr));
    const char* utf8 =
        value && PyUnicode_Check(value.get()) ? PyUnicode_AsUTF8(value.get()) : nullptr;
    if (utf8) return utf8;
    if (PyErr_Occurred()) clear_ordinary_error();
    return "";
}

// What a frame that has no `values` attribute is: a frame of another library often has the
// same type name, so the message names its full type and what is expected. Any other
// failure of `values` (pandas' own frames included) keeps the plain context. Runs with the
// attribute error pending and leaves it pending.
std::string values_context(PyObject* obj) {
    constexpr const char* kPlain = "couldn't read values";
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return kPlain;
    PyRef pending = take_pending_exception();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    const std::string module = type_attr_text(type, "__module__");
    std::string context = kPlain;
    if (module != "pandas" && !module.starts_with("pandas.")) {
        std::string name = type_attr_text(type, "__qualname__");
        if (name.empty()) name = Py_TYPE(obj)->tp_name;
        if (!module.empty() && module != "builtins") name = module + "." + name;
        context += " of a " + name + " (a pandas.DataFrame is expected";
        if (module == "polars" || module.starts_with("polars.")) {
            context += "; a polars frame converts with .to_pandas()";
        }
        context += ")";
    }
    restore_exception(std::move(pending));
    return context;
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

// The cells of a frame or of a non-float64 array, read into a new result array and encoded.
// Frames become frames whose float data pandas keeps as it is (columns contiguous), arrays
// become row-major arrays.
Conversion read_cells(PyObject* obj, OUT out, bool frame) {
    const Shape s = read_shape(obj);
    const std::size_t n = s.rows * s.cols;
    ValueMatrix matrix =
        new_value_matrix(s.rows, s.cols, frame && pandas_compat::frames_keep_fortran_floats());
    auto fit = std::make_unique<FitState>();
    const CellTarget target{matrix.cells, matrix.row_stride, matrix.col_stride};
    FrameColumns columns;  // what a frame's columns are read from, alive until encoded
    PyRef target_obj;      // likewise for the object cells are read from otherwise
    const bool by_column = frame && columns.plan(obj, s.rows, s.cols);
    if (frame && !by_column) {
        // Read before any cell, so that an error there reaches the caller even when there
        // is no cell to read.
        target_obj.reset(PyObject_GetAttrString(obj, "values"));
        if (!target_obj) throw_internal_from_python(values_context(obj));
    }
    if (n == 0) {
        // No cells, so no text column and an empty fit; encoded as a table of no columns.
        // Per-column buffers would cost tens of bytes per column for nothing, and a legal
        // shape like (0, 2**40) would fail with MemoryError.
        *fit = encode_object_array(s.rows, 0, ColumnBuffers(0), target);
        return Conversion{std::move(matrix), std::move(out), std::move(fit)};
    }
    CellReader reader(s.rows, s.cols);
    if (by_column) {
        columns.read(reader);
    } else {
        if (!frame) target_obj = PyRef::borrow(obj);
        ensure_numpy_api();
        if (!read_array_directly(target_obj.get(), s.rows, s.cols, reader)) {
            read_by_item_access(target_obj.get(), s, reader);
        }
    }
    check_signals();
    *fit = encode_object_array(s.rows, s.cols, reader.buffers(), target);
    check_signals();  // an interrupt during the parallel step stops the call here
    return Conversion{std::move(matrix), std::move(out), std::move(fit)};
}

}  // namespace

Conversion pyany_to_vec(PyObject* obj) {
    const MissingMarkerScope missing;
    // The buffers the cell readers kept from the last call, freed where this one needs none.
    const scratch::CallScope<std::string_view, double, char> scratch_scope;
    PyRef name_obj = checked(PyType_GetName(Py_TYPE(obj)));
    const std::string name = str_text_copy(name_obj.get());
    if (name == "DataFrame") {
        OUT out{column_labels(obj)};
        return read_cells(obj, std::move(out), true);
    }
    if (name != "ndarray" && name != "memmap") refuse(name);
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
