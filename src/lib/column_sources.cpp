#include "lib/column_sources.hpp"

#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "lib/label_encode.hpp"
#include "pool/pool.hpp"

namespace vandra {
namespace {

// Bools are read as bytes (any non-zero byte is true), never as C++ bool.
struct BoolByte {
    unsigned char byte;
};

template <class T>
void copy_as_double(const char* data, std::ptrdiff_t stride, std::size_t lo, std::size_t hi,
                    double* out, std::ptrdiff_t out_stride) noexcept {
    const char* p = data + static_cast<std::ptrdiff_t>(lo) * stride;
    for (std::size_t i = lo; i < hi; ++i, p += stride, out += out_stride) {
        T value;
        std::memcpy(&value, p, sizeof(T));  // any alignment
        if constexpr (std::is_same_v<T, BoolByte>) {
            *out = value.byte != 0 ? 1.0 : 0.0;
        } else {
            *out = static_cast<double>(value);
        }
    }
}

}  // namespace

void copy_numbers(const NumberView& v, std::size_t lo, std::size_t hi, double* out,
                  std::ptrdiff_t out_stride) noexcept {
    using T = NumberView::Type;
    switch (v.type) {
        case T::f64:
            if (v.stride == sizeof(double) && out_stride == 1) {
                std::memcpy(out, v.data + lo * sizeof(double), (hi - lo) * sizeof(double));
                return;
            }
            return copy_as_double<double>(v.data, v.stride, lo, hi, out, out_stride);
        case T::f32: return copy_as_double<float>(v.data, v.stride, lo, hi, out, out_stride);
        case T::longdouble:
            return copy_as_double<long double>(v.data, v.stride, lo, hi, out, out_stride);
        case T::i8: return copy_as_double<std::int8_t>(v.data, v.stride, lo, hi, out, out_stride);
        case T::i16: return copy_as_double<std::int16_t>(v.data, v.stride, lo, hi, out, out_stride);
        case T::i32: return copy_as_double<std::int32_t>(v.data, v.stride, lo, hi, out, out_stride);
        case T::i64: return copy_as_double<std::int64_t>(v.data, v.stride, lo, hi, out, out_stride);
        case T::u8: return copy_as_double<std::uint8_t>(v.data, v.stride, lo, hi, out, out_stride);
        case T::u16:
            return copy_as_double<std::uint16_t>(v.data, v.stride, lo, hi, out, out_stride);
        case T::u32:
            return copy_as_double<std::uint32_t>(v.data, v.stride, lo, hi, out, out_stride);
        case T::u64:
            return copy_as_double<std::uint64_t>(v.data, v.stride, lo, hi, out, out_stride);
        case T::boolean: return copy_as_double<BoolByte>(v.data, v.stride, lo, hi, out, out_stride);
        case T::indexed: {
            const auto* table = reinterpret_cast<const double*>(v.data);
            for (std::size_t i = lo; i < hi; ++i, out += out_stride) *out = table[v.index[i]];
            return;
        }
        case T::none: return;
    }
}

CodeMap LabelSource::encode(double* codes) const {
    std::vector<std::string_view> labels(length());
    fill(labels.data());
    return label_encode(labels, codes);
}

void IndexedLabels::fill(std::string_view* out) const {
    pool::for_each_range(0, index_.size(), [this, out](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) out[i] = entries_[index_[i]];
    });
}

CodeMap IndexedLabels::encode(double* codes) const {
    // The named entries, encoded as a column of their own: equal texts get one code.
    std::vector<std::uint32_t> named(entries_.size(), 0);  // position among named, plus one
    std::vector<std::string_view> labels;
    for (const std::uint32_t e : index_) {
        if (named[e] == 0) {
            labels.push_back(entries_[e]);
            named[e] = static_cast<std::uint32_t>(labels.size());
        }
    }
    const auto label_codes = std::make_unique_for_overwrite<double[]>(labels.size());
    CodeMap map = label_encode(labels, label_codes.get());
    const double* const code_of = label_codes.get();
    const std::uint32_t* const position = named.data();
    const std::uint32_t* const index = index_.data();
    pool::for_each_range(0, index_.size(), [=](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) codes[i] = code_of[position[index[i]] - 1];
    });
    return map;
}

}  // namespace vandra
