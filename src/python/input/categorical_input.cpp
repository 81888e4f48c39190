// Categorical columns: a row's category code is its distinct value; the frame boxes each
// category used (and the missing value) once.
#include <cstdint>
#include <cstring>

#include "python/input/array_input.hpp"
#include "python/input/frame_readers.hpp"

namespace vandra {
namespace {

template <class T>
std::unique_ptr<ColumnPlan> by_codes(const char* data, npy_intp stride, std::size_t rows,
                                     std::size_t categories) {
    // Codes run from -1 (missing) to categories - 1; anything else is not a Categorical's.
    for (std::size_t i = 0; i < rows; ++i) {
        T c;
        std::memcpy(&c, data + static_cast<npy_intp>(i) * stride, sizeof c);
        if (c < -1 || static_cast<std::int64_t>(c) >= static_cast<std::int64_t>(categories))
            return nullptr;
    }
    DistinctRows d = distinct_codes(rows, categories + 1, [=](std::size_t i) {
        T c;
        std::memcpy(&c, data + static_cast<npy_intp>(i) * stride, sizeof c);
        return static_cast<std::size_t>(static_cast<std::int64_t>(c) + 1);
    });
    return std::make_unique<BoxedPlan>(std::move(d));
}

}  // namespace

std::unique_ptr<ColumnPlan> read_categorical(PyObject* values, std::size_t rows) {
    auto codes = pandas_compat::categorical_codes(values);
    if (!codes) return nullptr;
    auto* arr = reinterpret_cast<PyArrayObject*>(codes->codes.get());
    if (PyArray_NDIM(arr) != 1 || PyArray_DIM(arr, 0) != static_cast<npy_intp>(rows) ||
        !PyArray_ISNOTSWAPPED(arr))
        return nullptr;
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp stride = PyArray_STRIDE(arr, 0);
    const std::size_t n = codes->categories;
    using T = NumberView::Type;
    switch (number_type(arr)) {
        case T::i8: return by_codes<std::int8_t>(data, stride, rows, n);
        case T::i16: return by_codes<std::int16_t>(data, stride, rows, n);
        case T::i32: return by_codes<std::int32_t>(data, stride, rows, n);
        case T::i64: return by_codes<std::int64_t>(data, stride, rows, n);
        default: return nullptr;
    }
}

}  // namespace vandra
