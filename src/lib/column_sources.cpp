#include "lib/column_sources.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
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
        case T::chunked: {
            const NumberParts& p = v.chunks;
            const std::size_t* const end = p.starts + p.count;
            std::size_t k = static_cast<std::size_t>(std::upper_bound(p.starts, end, lo) - p.starts) - 1;
            for (std::size_t row = lo; row < hi; ++k) {
                const std::size_t upto = std::min(hi, p.starts[k + 1]);
                copy_numbers(p.parts[k], row - p.starts[k], upto - p.starts[k], out, out_stride);
                out += static_cast<std::ptrdiff_t>(upto - row) * out_stride;
                row = upto;
            }
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

void DistinctLabels::fill(std::string_view* out) const {
    pool::for_each_range(0, ids_.size(), [this, out](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) out[i] = forms_[form_of(i)];
    });
}

CodeMap DistinctLabels::encode(double* codes) const {
    auto form_codes = std::make_unique_for_overwrite<double[]>(forms_.size());
    CodeMap map;
    if (!ordered_.empty()) {
        map = encode_ordered(form_codes.get());
    } else {
        // The named forms, encoded as a column of their own: equal texts get one code.
        std::vector<std::string_view> labels(named_.size());
        for (std::size_t k = 0; k < named_.size(); ++k) labels[k] = forms_[named_[k]];
        const auto label_codes = std::make_unique_for_overwrite<double[]>(labels.size());
        map = label_encode(labels, label_codes.get());
        for (std::size_t k = 0; k < named_.size(); ++k) form_codes[named_[k]] = label_codes[k];
    }
    const double* const code_of = form_codes.get();
    pool::for_each_range(0, ids_.size(), [this, code_of, codes](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) codes[i] = code_of[form_of(i)];
    });
    return map;
}

CodeMap DistinctLabels::encode_ordered(double* form_codes) const {
    // The named forms outside the ordered ones, sorted by text.
    std::vector<bool> in_order(forms_.size(), false);
    for (const std::uint32_t f : ordered_) in_order[f] = true;
    std::vector<std::uint32_t> rest;
    for (const std::uint32_t f : named_) {
        if (!in_order[f]) rest.push_back(f);
    }
    auto text_less = [this](std::uint32_t a, std::uint32_t b) { return forms_[a] < forms_[b]; };
    std::sort(rest.begin(), rest.end(), text_less);
    // Where each of them goes among the ordered forms (ascending, as they are).
    std::vector<std::size_t> at(rest.size());
    for (std::size_t r = 0; r < rest.size(); ++r) {
        at[r] = static_cast<std::size_t>(
            std::lower_bound(ordered_.begin(), ordered_.end(), rest[r], text_less) - ordered_.begin());
    }
    // Merged: forms in ascending order of text, forms of one text next to each other.
    std::vector<std::uint32_t> merged;
    std::vector<std::uint8_t> same_as_previous;  // 1: shares the text of the form before
    merged.reserve(ordered_.size() + rest.size());
    same_as_previous.reserve(ordered_.size() + rest.size());
    bool previous_from_rest = false;
    auto push = [&](std::uint32_t f, bool from_rest) {
        // Two ordered forms never share a text; only a merged-in one may.
        const bool compare = !merged.empty() && (from_rest || previous_from_rest);
        same_as_previous.push_back(compare && forms_[merged.back()] == forms_[f]);
        merged.push_back(f);
        previous_from_rest = from_rest;
    };
    std::size_t r = 0;
    for (std::size_t k = 0; k < ordered_.size(); ++k) {
        while (r < rest.size() && at[r] == k) push(rest[r++], true);
        push(ordered_[k], false);
    }
    while (r < rest.size()) push(rest[r++], true);
    std::vector<std::string_view> labels;
    labels.reserve(merged.size());
    for (std::size_t k = 0; k < merged.size(); ++k) {
        if (!same_as_previous[k]) labels.push_back(forms_[merged[k]]);
    }
    const auto label_codes = std::make_unique_for_overwrite<double[]>(labels.size());
    CodeMap map = label_encode_sorted(labels, label_codes.get());
    std::size_t label = 0;
    for (std::size_t k = 0; k < merged.size(); ++k) {
        if (k > 0 && !same_as_previous[k]) ++label;
        form_codes[merged[k]] = label_codes[label];
    }
    return map;
}

}  // namespace vandra
