// pandas' masked nullable columns (Int8 ... UInt64, Float32/64, boolean): a row's value is
// its number unless the mask marks it missing, where every frame hands out pd.NA or NaN.
#include "python/input/array_input.hpp"
#include "python/input/frame_readers.hpp"

namespace vandra {

ColumnRead read_masked(PyObject* values, std::size_t rows) {
    auto parts = pandas_compat::masked_parts(values);
    if (!parts) return {};
    auto* data = reinterpret_cast<PyArrayObject*>(parts->data.get());
    auto* mask = reinterpret_cast<PyArrayObject*>(parts->mask.get());
    if (PyArray_NDIM(data) != 1 || PyArray_NDIM(mask) != 1 ||
        PyArray_DIM(data, 0) != static_cast<npy_intp>(rows) ||
        PyArray_DIM(mask, 0) != static_cast<npy_intp>(rows) || PyArray_TYPE(mask) != NPY_BOOL ||
        !PyArray_ISNOTSWAPPED(data))
        return {};
    const NumberView::Type type = number_type(data);
    if (type == NumberView::Type::none || type == NumberView::Type::longdouble) return {};
    const NumberView numbers{static_cast<const char*>(PyArray_DATA(data)), PyArray_STRIDE(data, 0),
                             type};
    const char* m = static_cast<const char*>(PyArray_DATA(mask));
    const npy_intp ms = PyArray_STRIDE(mask, 0);
    auto missing = [m, ms](std::size_t i) { return m[static_cast<npy_intp>(i) * ms] != 0; };
    for (std::size_t i = 0; i < rows; ++i) {
        if (missing(i)) return numbers_with_gaps(numbers, rows, missing);
    }
    return ColumnRead(numbers);  // in place, alone or not
}

}  // namespace vandra
