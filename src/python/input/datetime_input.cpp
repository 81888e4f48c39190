// pandas' numpy-backed datetime-like columns (DatetimeArray, TimedeltaArray, PeriodArray): a
// row's 64-bit count is its distinct value. Datetimes, timedeltas and periods of the
// frequencies known here are rendered; other periods are boxed once per distinct value.
#include <cstdint>

#include "python/errors.hpp"
#include "python/input/cell_text.hpp"
#include "python/input/frame_readers.hpp"
#include "python/input/time_cells.hpp"
#include "python/numpy_api.hpp"

namespace vandra {

std::unique_ptr<ColumnPlan> read_datetime_like(PyObject* values, pandas_compat::ArrayKind kind,
                                               std::size_t k, std::size_t rows) {
    PyRef inner = pandas_compat::backing_ndarray(values);
    if (!inner) return nullptr;
    auto* arr = reinterpret_cast<PyArrayObject*>(inner.get());
    if (PyArray_NDIM(arr) != 2 || PyArray_DIM(arr, 1) != static_cast<npy_intp>(rows) ||
        static_cast<npy_intp>(k) >= PyArray_DIM(arr, 0) || PyArray_ITEMSIZE(arr) != 8 ||
        !PyArray_ISNOTSWAPPED(arr))
        return nullptr;
    const int type = PyArray_TYPE(arr);
    const bool datetime = kind == pandas_compat::ArrayKind::datetime;
    if (type != (datetime                                      ? NPY_DATETIME
                 : kind == pandas_compat::ArrayKind::timedelta ? NPY_TIMEDELTA
                                                               : NPY_INT64))
        return nullptr;
    const char* column = static_cast<const char*>(PyArray_DATA(arr)) +
                         static_cast<npy_intp>(k) * PyArray_STRIDE(arr, 0);
    const npy_intp stride = PyArray_STRIDE(arr, 1);
    DistinctWords words = distinct_words(rows, column, stride);
    if (kind == pandas_compat::ArrayKind::period) {
        PyRef dtype = checked(PyObject_GetAttrString(values, "dtype"));
        PyRef name = checked(PyObject_Str(dtype.get()));
        if (const auto freq = period_freq(str_text_copy(name.get())))
            return period_plan(std::move(words), *freq);
        return std::make_unique<BoxedPlan>(std::move(words.rows));
    }
    const NumpyTimeUnit unit = numpy_time_unit(reinterpret_cast<PyObject*>(PyArray_DESCR(arr)));
    if (!datetime) return timedelta_plan(std::move(words), unit, TimeArray::pandas);
    PyRef tz(PyObject_GetAttrString(values, "tz"));
    if (!tz) {
        clear_ordinary_error();
        return datetime_plan(std::move(words), unit);
    }
    return datetime_plan(std::move(words), unit, TimeArray::pandas, std::move(tz),
                         ZonedColumn{PyRef::borrow(values), k});
}

}  // namespace vandra
