#include "lib/column_sources.hpp"

#include <algorithm>
#include <bit>
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

// IEEE binary16, stored as its bits.
struct Half {
    std::uint16_t bits;
};

// Exact, as numpy widens a float16 (NaN payloads and signs kept).
double half_to_double(std::uint16_t h) {
    const std::uint64_t sign = static_cast<std::uint64_t>(h >> 15) << 63;
    const std::uint64_t exp = (h >> 10) & 0x1f, mant = h & 0x3ff;
    if (exp == 0) {  // zero or subnormal: mant * 2^-24, exactly
        const double m = static_cast<double>(mant) * 0x1p-24;
        return sign ? -m : m;
    }
    const std::uint64_t wide_exp = exp == 0x1f ? 0x7ff : exp + (1023 - 15);
    return std::bit_cast<double>(sign | wide_exp << 52 | mant << 42);
}

// The other byte order: one instruction for 2, 4 and 8 bytes.
template <class T>
T swap_bytes(T value) noexcept {
    if constexpr (sizeof(T) == 2) {
        return std::bit_cast<T>(__builtin_bswap16(std::bit_cast<std::uint16_t>(value)));
    } else if constexpr (sizeof(T) == 4) {
        return std::bit_cast<T>(__builtin_bswap32(std::bit_cast<std::uint32_t>(value)));
    } else if constexpr (sizeof(T) == 8) {
        return std::bit_cast<T>(__builtin_bswap64(std::bit_cast<std::uint64_t>(value)));
    } else {
        unsigned char b[sizeof(T)];
        std::memcpy(b, &value, sizeof(T));
        std::reverse(b, b + sizeof(T));
        std::memcpy(&value, b, sizeof(T));
        return value;
    }
}

template <class T, bool kSwapped>
double as_double(const char* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof(T));  // any alignment
    if constexpr (kSwapped) value = swap_bytes(value);
    if constexpr (std::is_same_v<T, BoolByte>) {
        // 1 for any non-zero byte, without a branch (random bools would mispredict it).
        return static_cast<double>(static_cast<unsigned>(-static_cast<int>(value.byte)) >> 31);
    } else if constexpr (std::is_same_v<T, Half>) {
        return half_to_double(value.bits);
    } else {
        return static_cast<double>(value);
    }
}

// f(Element<T>{}) for a view of plain elements of C++ type T; false for the other types
// (indexed, chunked, none), which f is not called for.
template <class T>
struct Element {
    using type = T;
};
template <class F>
bool with_element(NumberView::Type type, F&& f) {
    using T = NumberView::Type;
    switch (type) {
        case T::f64: f(Element<double>{}); return true;
        case T::f32: f(Element<float>{}); return true;
        case T::f16: f(Element<Half>{}); return true;
        case T::longdouble: f(Element<long double>{}); return true;
        case T::i8: f(Element<std::int8_t>{}); return true;
        case T::i16: f(Element<std::int16_t>{}); return true;
        case T::i32: f(Element<std::int32_t>{}); return true;
        case T::i64: f(Element<std::int64_t>{}); return true;
        case T::u8: f(Element<std::uint8_t>{}); return true;
        case T::u16: f(Element<std::uint16_t>{}); return true;
        case T::u32: f(Element<std::uint32_t>{}); return true;
        case T::u64: f(Element<std::uint64_t>{}); return true;
        case T::boolean: f(Element<BoolByte>{}); return true;
        default: return false;
    }
}

template <class T, bool kSwapped>
void copy_in_order(const char* data, std::ptrdiff_t stride, std::size_t lo, std::size_t hi,
                   double* out, std::ptrdiff_t out_stride) noexcept {
    const char* p = data + static_cast<std::ptrdiff_t>(lo) * stride;
    if (stride == static_cast<std::ptrdiff_t>(sizeof(T)) && out_stride == 1) {
        // Both sides contiguous: a loop the compiler turns into vector conversions.
        for (std::size_t k = 0; k < hi - lo; ++k)
            out[k] = as_double<T, kSwapped>(p + k * sizeof(T));
        return;
    }
    for (std::size_t i = lo; i < hi; ++i, p += stride, out += out_stride) {
        *out = as_double<T, kSwapped>(p);
    }
}

template <class T>
void copy_as_double(const NumberView& v, std::size_t lo, std::size_t hi, double* out,
                    std::ptrdiff_t out_stride) noexcept {
    if (v.swapped) return copy_in_order<T, true>(v.data, v.stride, lo, hi, out, out_stride);
    copy_in_order<T, false>(v.data, v.stride, lo, hi, out, out_stride);
}

template <class T, bool kSwapped>
void side_by_side(const NumberView* views, std::size_t cols, std::size_t lo, std::size_t hi,
                  double* out) noexcept {
    const char* at[kMaxSideBySide];
    std::ptrdiff_t step[kMaxSideBySide];
    for (std::size_t j = 0; j < cols; ++j) {
        step[j] = views[j].stride;
        at[j] = views[j].data + static_cast<std::ptrdiff_t>(lo) * step[j];
    }
    for (std::size_t i = lo; i < hi; ++i, out += cols) {
        for (std::size_t j = 0; j < cols; ++j) {
            out[j] = as_double<T, kSwapped>(at[j]);
            at[j] += step[j];
        }
    }
}

template <class T>
void side_by_side_as(const NumberView* views, std::size_t cols, std::size_t lo, std::size_t hi,
                     double* out) noexcept {
    if (views[0].swapped) return side_by_side<T, true>(views, cols, lo, hi, out);
    side_by_side<T, false>(views, cols, lo, hi, out);
}

}  // namespace

void copy_rows_side_by_side(const NumberView* views, std::size_t cols, std::size_t lo,
                            std::size_t hi, double* out) noexcept {
    if (cols == 0) return;
    const bool plain = with_element(views[0].type, [&](auto e) {
        side_by_side_as<typename decltype(e)::type>(views, cols, lo, hi, out);
    });
    if (plain) return;
    for (std::size_t j = 0; j < cols; ++j)  // one column at a time, as copy_numbers reads them
        copy_numbers(views[j], lo, hi, out + j, static_cast<std::ptrdiff_t>(cols));
}

void copy_numbers(const NumberView& v, std::size_t lo, std::size_t hi, double* out,
                  std::ptrdiff_t out_stride) noexcept {
    using T = NumberView::Type;
    if (v.type == T::f64 && v.stride == sizeof(double) && out_stride == 1 && !v.swapped) {
        std::memcpy(out, v.data + lo * sizeof(double), (hi - lo) * sizeof(double));
        return;
    }
    const bool plain = with_element(v.type, [&](auto e) {
        copy_as_double<typename decltype(e)::type>(v, lo, hi, out, out_stride);
    });
    if (plain) return;
    switch (v.type) {
        case T::indexed:
            for (std::size_t i = lo; i < hi; ++i, out += out_stride) {
                std::memcpy(out, v.data + static_cast<std::size_t>(v.index[i]) * sizeof(double),
                            sizeof(double));
            }
            return;
        case T::chunked: {
            const NumberParts& p = v.chunks;
            const std::size_t* const end = p.starts + p.count;
            std::size_t k =
                static_cast<std::size_t>(std::upper_bound(p.starts, end, lo) - p.starts) - 1;
            for (std::size_t row = lo; row < hi; ++k) {
                const std::size_t upto = std::min(hi, p.starts[k + 1]);
                copy_numbers(p.parts[k], row - p.starts[k], upto - p.starts[k], out, out_stride);
                out += static_cast<std::ptrdiff_t>(upto - row) * out_stride;
                row = upto;
            }
            return;
        }
        default: return;  // none; the plain types are copied above
    }
}

CodeMap DistinctLabels::encode(double* codes) const {
    // The named forms, encoded as a column of their own: equal texts get one code.
    std::vector<std::string_view> labels(named_.size());
    for (std::size_t k = 0; k < named_.size(); ++k) labels[k] = forms_[named_[k]];
    const auto label_codes = std::make_unique_for_overwrite<double[]>(labels.size());
    CodeMap map = label_encode(labels, label_codes.get());
    auto form_codes = std::make_unique_for_overwrite<double[]>(forms_.size());
    for (std::size_t k = 0; k < named_.size(); ++k) form_codes[named_[k]] = label_codes[k];
    const double* const code_of = form_codes.get();
    const std::uint32_t* const ids = ids_.data();
    const std::size_t from = from_;
    pool::for_each_range(0, ids_.size(), [=](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) codes[i] = code_of[2 * ids[i] + (i >= from ? 1 : 0)];
    });
    return map;
}

CodeMap OrderedLabels::encode(double* codes) const {
    // Where each other value goes among the ordered ones (found by rendering a few of those).
    std::vector<std::pair<std::uint32_t, std::string_view>> others = others_;
    std::sort(others.begin(), others.end(),
              [](const auto& a, const auto& b) { return a.second < b.second; });
    char probe_buf[ValueRenderer::kMaxText];
    auto probe = [&](std::size_t k) { return renderer_->text(ordered_[k], probe_buf); };
    std::vector<std::size_t> at(others.size());
    for (std::size_t r = 0; r < others.size(); ++r) {
        std::size_t lo = 0, hi = ordered_.size();
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (probe(mid) < others[r].second) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        at[r] = lo;
    }
    // The texts in ascending order, each once: each value's code, and the fit. Ordered texts
    // are distinct, so an other text can only equal the ordered text it goes before, or the
    // other text before it. Ordered texts are rendered straight into the fit's bytes.
    std::vector<double> code_of(values_, kQuietNaN);
    std::vector<std::uint64_t> offsets{0};
    offsets.reserve(ordered_.size() + others.size() + 1);
    // The fit's bytes as they are written; grown without zero-filling (each byte is written
    // once, and pages never written are never touched).
    std::size_t capacity = std::max<std::size_t>(ordered_.size() * 32, ValueRenderer::kMaxText);
    auto buffer = std::make_unique_for_overwrite<char[]>(capacity);
    std::size_t used = 0;
    auto room = [&](std::size_t n) {
        if (capacity - used >= n) return;
        capacity = std::max(capacity * 2, used + n);
        auto grown = std::make_unique_for_overwrite<char[]>(capacity);
        if (used > 0) std::memcpy(grown.get(), buffer.get(), used);
        buffer = std::move(grown);
    };
    auto append = [&](std::string_view t) {  // a new label: its code
        room(t.size());
        if (!t.empty()) std::memcpy(buffer.get() + used, t.data(), t.size());
        used += t.size();
        offsets.push_back(used);
        return static_cast<double>(offsets.size() - 2);
    };
    std::size_t r = 0;
    // The other values that go before ordered value k (all that are left when `next`, its
    // text, is null); those equal to `next` are returned, to take its code.
    auto add_others_before = [&](std::size_t k, const std::string_view* next) {
        std::vector<std::uint32_t> equal_to_next;
        for (; r < others.size() && at[r] == k; ++r) {
            const auto& [id, t] = others[r];
            if (is_missing_label(t)) continue;  // code_of holds the missing code already
            if (next && t == *next) {
                equal_to_next.push_back(id);
            } else if (r > 0 && at[r - 1] == k && others[r - 1].second == t) {
                code_of[id] = code_of[others[r - 1].first];
            } else {
                code_of[id] = append(t);
            }
        }
        return equal_to_next;
    };
    for (std::size_t k = 0; k < ordered_.size(); ++k) {
        room(ValueRenderer::kMaxText);
        std::string_view text = renderer_->text(ordered_[k], buffer.get() + used);
        if (text.data() != buffer.get() + used) {  // held elsewhere: copied into the fit
            room(text.size());
            if (!text.empty()) std::memcpy(buffer.get() + used, text.data(), text.size());
            text = std::string_view(buffer.get() + used, text.size());
        }
        const std::size_t n = text.size();
        if (r < others.size() && at[r] == k) {
            // Merge the others first; the rendered text moves along behind them.
            const std::string text_copy(text);
            const std::string_view next = text_copy;
            const auto equal = add_others_before(k, &next);
            const double code = is_missing_label(text_copy) ? kQuietNaN : append(text_copy);
            code_of[ordered_[k].item] = code;
            for (const std::uint32_t id : equal) code_of[id] = code;
            continue;
        }
        if (is_missing_label(text)) continue;  // its code is the missing one already
        used += n;
        offsets.push_back(used);
        code_of[ordered_[k].item] = static_cast<double>(offsets.size() - 2);
    }
    add_others_before(ordered_.size(), nullptr);
    CodeMap map(offsets.size() - 1, used);
    std::copy(offsets.begin(), offsets.end(), map.offsets());
    if (used > 0) std::memcpy(map.bytes(), buffer.get(), used);
    const double* const code = code_of.data();
    const std::uint32_t* const ids = ids_.data();
    pool::for_each_range(0, ids_.size(), [=](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) codes[i] = code[ids[i]];
    });
    return map;
}

KeyedItems values_by_key(const scratch::vector<std::int64_t>& key_of, std::size_t keys) {
    KeyedItems in_order;
    in_order.reserve(key_of.size());
    constexpr auto kNone = DistinctRows::kNoId;
    if (keys <= 64 * key_of.size()) {  // a slot per key
        scratch::vector<std::uint32_t> slot(keys, kNone);
        for (std::uint32_t v = 0; v < key_of.size(); ++v) {
            if (key_of[v] >= 0) slot[static_cast<std::size_t>(key_of[v])] = v;
        }
        for (std::size_t key = 0; key < keys; ++key) {
            if (slot[key] != kNone)
                in_order.push_back(KeyedItem{static_cast<std::int64_t>(key), 0, slot[key]});
        }
    } else {
        for (std::uint32_t v = 0; v < key_of.size(); ++v) {
            if (key_of[v] >= 0) in_order.push_back(KeyedItem{key_of[v], 0, v});
        }
        std::sort(in_order.begin(), in_order.end(),
                  [](const KeyedItem& a, const KeyedItem& b) { return a.key < b.key; });
    }
    return in_order;
}

CodeMap KeyRankLabels::encode(double* codes) const {
    const KeyedTexts& t = *texts_;
    const KeyedItems& in_order = t.in_order;
    // The labels' sizes first, so that the fit is written once, in place.
    std::size_t labels = 0, bytes = 0;
    for (const KeyedItem& v : in_order) {
        const std::string_view text = t.text(v);
        if (is_missing_label(text)) continue;
        ++labels;
        bytes += text.size();
    }
    CodeMap map(labels, bytes);
    scratch::vector<double> code_of(t.key_of.size(), kQuietNaN);
    std::uint64_t* const offsets = map.offsets();
    std::size_t label = 0, used = 0;
    for (const KeyedItem& v : in_order) {
        const std::string_view text = t.text(v);
        if (is_missing_label(text)) continue;
        if (!text.empty()) std::memcpy(map.bytes() + used, text.data(), text.size());
        used += text.size();
        offsets[label + 1] = used;
        code_of[v.item] = static_cast<double>(label++);
    }
    const double* const code = code_of.data();
    const std::uint32_t* const ids = ids_.data();
    pool::for_each_range(0, ids_.size(), [=](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) codes[i] = code[ids[i]];
    });
    return map;
}

}  // namespace vandra
