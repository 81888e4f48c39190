#include "python/input/array_input.hpp"

#include <cstring>

#include "lib/distinct_rows.hpp"
#include "python/errors.hpp"
#include "python/input/distinct_column.hpp"
#include "python/input/text_array_input.hpp"
#include "python/input/time_cells.hpp"
#include "python/lookup.hpp"

namespace vandra {
namespace {

// Gap-free when the absolute strides are those of C or Fortran order (axes of length 1 may
// have any stride).
bool gap_free(npy_intp rows, npy_intp cols, npy_intp s0, npy_intp s1, bool fortran) {
    const auto e = static_cast<npy_intp>(sizeof(double));
    const npy_intp a0 = s0 < 0 ? -s0 : s0, a1 = s1 < 0 ? -s1 : s1;
    if (fortran) return (rows == 1 || a0 == e) && (cols == 1 || a1 == e * rows);
    return (cols == 1 || a1 == e) && (rows == 1 || a0 == e * cols);
}

// Column j of a datetime64 / timedelta64 array by its distinct values: rendered where
// NumpyTimeCells can, everything else boxed by item access.
void read_time_column(PyArrayObject* arr, std::size_t j, const NumpyTimeUnit& unit,
                      CellReader& reader) {
    const auto rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
    const npy_intp s0 = PyArray_STRIDE(arr, 0);
    const char* column = static_cast<const char*>(PyArray_DATA(arr)) +
                         static_cast<npy_intp>(j) * PyArray_STRIDE(arr, 1);
    DistinctWords values = distinct_words(rows, column, s0);
    NumpyTimeCells cells(item_boxer(reinterpret_cast<PyObject*>(arr), values.rows, j),
                         std::move(values.values), unit, PyArray_TYPE(arr) == NPY_TIMEDELTA,
                         DistinctRows::kNoId);
    read_distinct(reader, j, values.rows, cells);
}

}  // namespace

ValueMatrix copy_float64(PyArrayObject* arr) {
    const npy_intp rows = PyArray_DIM(arr, 0), cols = PyArray_DIM(arr, 1);
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
    const auto n = static_cast<std::size_t>(rows * cols);
    const bool c_order = gap_free(rows, cols, s0, s1, false);
    // Fortran order only for a source stored that way with positive strides; reversed or
    // strided sources come out row-major, as every other copy does.
    const bool fortran = !c_order && gap_free(rows, cols, s0, s1, true) && s0 > 0 && s1 > 0;
    ValueMatrix m =
        new_value_matrix(static_cast<std::size_t>(rows), static_cast<std::size_t>(cols), fortran);
    if (n == 0) return m;
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    const bool forward = (rows == 1 || s0 > 0) && (cols == 1 || s1 > 0);
    if ((c_order || fortran) && forward) {
        std::memcpy(m.cells, data, n * sizeof(double));
        return m;
    }
    for (npy_intp i = 0; i < rows; ++i) {
        const char* row = data + i * s0;
        double* out = m.cells + i * cols;
        for (npy_intp j = 0; j < cols; ++j) std::memcpy(out + j, row + j * s1, sizeof(double));
    }
    return m;
}

NumberView::Type number_type(PyArrayObject* arr, bool any_byte_order) {
    using T = NumberView::Type;
    if (!any_byte_order && !PyArray_ISNOTSWAPPED(arr)) return T::none;
    switch (PyArray_TYPE(arr)) {
        case NPY_BOOL: return T::boolean;
        case NPY_BYTE: return T::i8;
        case NPY_UBYTE: return T::u8;
        case NPY_SHORT: return T::i16;
        case NPY_USHORT: return T::u16;
        case NPY_INT: return T::i32;
        case NPY_UINT: return T::u32;
        case NPY_LONG: return sizeof(npy_long) == 8 ? T::i64 : T::i32;
        case NPY_ULONG: return sizeof(npy_ulong) == 8 ? T::u64 : T::u32;
        case NPY_LONGLONG: return T::i64;
        case NPY_ULONGLONG: return T::u64;
        case NPY_HALF: return T::f16;
        case NPY_FLOAT: return T::f32;
        case NPY_DOUBLE: return T::f64;
        case NPY_LONGDOUBLE: return T::longdouble;
        default: return T::none;
    }
}

namespace {

// Whether item access of the array subclass `obj` gives the cells an ndarray's would: its
// class keeps ndarray's __getitem__, or numpy.memmap's, which differs only for slices.
bool items_like_ndarray(PyObject* obj) {
    if (!PyArray_Check(obj)) return false;
    PyRef own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__getitem__"));
    if (!own) {
        clear_ordinary_error();
        return false;
    }
    PyRef plain(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyArray_Type), "__getitem__"));
    if (!plain) throw PythonError{};
    if (own.get() == plain.get()) return true;
    PyRef memmap = imported_attr("numpy", "memmap");
    PyRef memmap_items = memmap ? attr_or_null(memmap.get(), "__getitem__") : PyRef();
    return memmap_items && own.get() == memmap_items.get() &&
           PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(obj)), memmap.get()) == 1;
}

}  // namespace

bool read_array_directly(PyObject* target, std::size_t rows, std::size_t cols, CellReader& reader) {
    if (!PyArray_CheckExact(target) && !items_like_ndarray(target)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(target);
    if (PyArray_NDIM(arr) != 2 || PyArray_DIM(arr, 0) != static_cast<npy_intp>(rows) ||
        PyArray_DIM(arr, 1) != static_cast<npy_intp>(cols))
        return false;
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    if (PyArray_TYPE(arr) == NPY_OBJECT) {
        for (std::size_t j = 0; j < cols; ++j) {
            reader.add_slots(j, data + static_cast<npy_intp>(j) * s1, s0);
        }
        return true;
    }
    if (is_text_array(arr)) {
        for (std::size_t j = 0; j < cols; ++j) read_text_array_column(arr, j, reader);
        return true;
    }
    if ((PyArray_TYPE(arr) == NPY_DATETIME || PyArray_TYPE(arr) == NPY_TIMEDELTA) &&
        PyArray_ISNOTSWAPPED(arr)) {
        const NumpyTimeUnit unit = numpy_time_unit(reinterpret_cast<PyObject*>(PyArray_DESCR(arr)));
        for (std::size_t j = 0; j < cols; ++j) read_time_column(arr, j, unit, reader);
        return true;
    }
    const NumberView::Type type = number_type(arr, true);
    if (type == NumberView::Type::none) return false;
    for (std::size_t j = 0; j < cols; ++j) {
        NumberView column{data + static_cast<npy_intp>(j) * s1, s0, type};
        column.swapped = !PyArray_ISNOTSWAPPED(arr);
        reader.set_numbers(j, column);
    }
    return true;
}

}  // namespace vandra
