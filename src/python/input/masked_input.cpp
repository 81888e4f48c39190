// pandas' masked nullable columns (Int8 ... UInt64, Float32/64, boolean): a row's value is
// its number unless the mask marks it missing; all missing rows share one boxed value.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "python/input/array_input.hpp"
#include "python/input/frame_readers.hpp"

namespace vandra {
namespace {

// Element i of a 1-D array of T as a 64-bit word of the given type.
template <class T>
std::uint64_t word_at(const char* data, npy_intp stride, std::size_t i) {
    T v;
    std::memcpy(&v, data + static_cast<npy_intp>(i) * stride, sizeof v);
    return number_word(v);
}

template <class T>
std::unique_ptr<ColumnPlan> plan_of(const char* data, npy_intp stride, const char* mask,
                                    npy_intp mask_stride, std::size_t rows, WordType type) {
    auto word = [=](std::size_t i) { return word_at<T>(data, stride, i); };
    auto valid = [=](std::size_t i) { return mask[static_cast<npy_intp>(i) * mask_stride] == 0; };
    DistinctWords words = std::is_floating_point_v<T>
                              ? distinct_words(rows, word, valid)
                              : distinct_integers(rows, word, valid, std::is_signed_v<T>);
    return number_plan(std::move(words), type);
}

}  // namespace

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
    const char* d = static_cast<const char*>(PyArray_DATA(data));
    const npy_intp ds = PyArray_STRIDE(data, 0);
    const char* m = static_cast<const char*>(PyArray_DATA(mask));
    const npy_intp ms = PyArray_STRIDE(mask, 0);
    using T = NumberView::Type;
    const T type = number_type(data);
    bool missing = false;
    for (std::size_t i = 0; i < rows && !missing; ++i)
        missing = m[static_cast<npy_intp>(i) * ms] != 0;
    if (!missing && type != T::none && type != T::longdouble) {
        return ColumnRead(NumberView{d, ds, type});  // numbers, alone or not
    }
    switch (type) {
        case T::boolean: return {plan_of<std::uint8_t>(d, ds, m, ms, rows, WordType::boolean)};
        case T::i8: return {plan_of<std::int8_t>(d, ds, m, ms, rows, WordType::i64)};
        case T::i16: return {plan_of<std::int16_t>(d, ds, m, ms, rows, WordType::i64)};
        case T::i32: return {plan_of<std::int32_t>(d, ds, m, ms, rows, WordType::i64)};
        case T::i64: return {plan_of<std::int64_t>(d, ds, m, ms, rows, WordType::i64)};
        case T::u8: return {plan_of<std::uint8_t>(d, ds, m, ms, rows, WordType::u64)};
        case T::u16: return {plan_of<std::uint16_t>(d, ds, m, ms, rows, WordType::u64)};
        case T::u32: return {plan_of<std::uint32_t>(d, ds, m, ms, rows, WordType::u64)};
        case T::u64: return {plan_of<std::uint64_t>(d, ds, m, ms, rows, WordType::u64)};
        case T::f32: return {plan_of<float>(d, ds, m, ms, rows, WordType::f64)};
        case T::f64: return {plan_of<double>(d, ds, m, ms, rows, WordType::f64)};
        default: return {};
    }
}

}  // namespace vandra
