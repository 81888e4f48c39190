#include "python/arrow/arrow_words.hpp"

#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "lib/distinct_rows.hpp"

namespace vandra {
namespace {

bool valid_at(const ArrowArray& a, std::int64_t k) {
    const auto* bits = static_cast<const unsigned char*>(a.buffers[0]);
    return bits == nullptr || ((bits[k >> 3] >> (k & 7)) & 1);
}

}  // namespace

// How values of an Arrow format are laid out; nullopt for a format not read here.
// Dictionary indices are integers whatever the dictionary holds: pandas boxes its entries.
std::optional<ArrowWords::Layout> ArrowWords::layout_of(const std::string& format, bool dictionary,
                                                        std::string& unit) {
    using K = Kind;
    struct Integer {
        const char* format;
        int bytes;
        bool is_signed;
    };
    constexpr Integer kIntegers[] = {{"c", 1, true},  {"C", 1, false}, {"s", 2, true},
                                     {"S", 2, false}, {"i", 4, true},  {"I", 4, false},
                                     {"l", 8, true},  {"L", 8, false}};
    for (const Integer& i : kIntegers) {
        if (format != i.format) continue;
        const K kind = dictionary ? K::other : i.is_signed ? K::signed_int : K::unsigned_int;
        return Layout{kind, i.bytes, i.is_signed, false};
    }
    if (dictionary) return std::nullopt;
    if (format == "f") return Layout{K::floating, 4, true, true};
    if (format == "g") return Layout{K::floating, 8, true, true};
    if (format == "b") return Layout{K::boolean, 0, false, false};
    if (format == "tdD") return Layout{K::other, 4, true, false};  // date32: days
    if (format == "tdm") return Layout{K::other, 8, true, false};  // date64: milliseconds
    const bool duration = format.size() == 3 && format.starts_with("tD");
    if (!duration && !(format.size() >= 4 && format.starts_with("ts") && format[3] == ':'))
        return std::nullopt;
    const char u = format[2];
    unit = u == 's' ? "s" : u == 'm' ? "ms" : u == 'u' ? "us" : u == 'n' ? "ns" : "";
    if (unit.empty()) return std::nullopt;
    return Layout{duration ? K::duration : K::timestamp, 8, true, false};
}

std::optional<std::string> ArrowWords::format_of(ArrowArrayStream& stream) {
    std::string why;
    const auto schema = arrow_stream_schema(stream, why);
    if (!schema) return std::nullopt;
    if (!schema->dictionary) return schema->format;
    return "dictionary:" + schema->format + ":" + schema->dictionary_format;
}

std::optional<ArrowWords> ArrowWords::import(ArrowArrayStream& stream, std::string& why) {
    const auto schema = arrow_stream_schema(stream, why);
    if (!schema) return std::nullopt;
    ArrowStreamGuard guard{stream};
    const std::string& format = schema->format;
    const bool dictionary = schema->dictionary, plain = schema->plain;
    std::optional<Layout> layout;
    std::string unit;
    if (plain) layout = layout_of(format, dictionary, unit);
    if (!layout) {
        why = "format '" + format + "' is not read here";
        return std::nullopt;
    }
    ArrowWords out(*layout);
    out.unit_ = unit;
    out.zoned_ = layout->kind == Kind::timestamp && format.size() > 4;  // "tsu:" names no zone
    out.dictionary_ = dictionary;
    for (;;) {
        ArrowArray a{};
        if (stream.get_next(&stream, &a) != 0) {
            why = "stream failed";
            return std::nullopt;
        }
        if (a.release == nullptr) break;  // end of stream
        out.arrays_.push_back(a);         // owned from here on, also if it is refused
        constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max() / 16;
        if (a.length < 0 || a.offset < 0 || a.length > kMax || a.offset > kMax ||
            a.n_buffers != 2 || a.buffers == nullptr || a.n_children != 0 ||
            (a.dictionary == nullptr) == dictionary || (a.length > 0 && a.buffers[1] == nullptr)) {
            why = "malformed array";
            return std::nullopt;
        }
        if (a.length == 0) {
            out.arrays_.back().release(&out.arrays_.back());
            out.arrays_.pop_back();
            continue;
        }
        out.length_ += static_cast<std::size_t>(a.length);
    }
    return out;
}

ArrowWords::ArrowWords(ArrowWords&& other) noexcept
    : kind_(other.kind_),
      layout_(other.layout_),
      dictionary_(other.dictionary_),
      unit_(std::move(other.unit_)),
      zoned_(other.zoned_),
      arrays_(std::move(other.arrays_)),
      length_(std::exchange(other.length_, 0)) {
    other.arrays_.clear();
}

ArrowWords::~ArrowWords() {
    for (ArrowArray& a : arrays_) {
        if (a.release != nullptr) a.release(&a);
    }
}

bool ArrowWords::has_nulls() const {
    for (const ArrowArray& a : arrays_) {
        if (a.buffers[0] == nullptr || a.null_count == 0) continue;
        for (std::int64_t k = a.offset; k < a.offset + a.length; ++k) {
            if (!valid_at(a, k)) return true;
        }
    }
    return false;
}

NumberView ArrowWords::in_place() {
    using T = NumberView::Type;
    if (layout_.bytes == 0 || has_nulls()) return {};
    if (kind_ != Kind::signed_int && kind_ != Kind::unsigned_int && kind_ != Kind::floating)
        return {};
    T type = T::none;
    switch (layout_.bytes) {
        case 1: type = layout_.is_signed ? T::i8 : T::u8; break;
        case 2: type = layout_.is_signed ? T::i16 : T::u16; break;
        case 4: type = layout_.is_float ? T::f32 : layout_.is_signed ? T::i32 : T::u32; break;
        case 8: type = layout_.is_float ? T::f64 : layout_.is_signed ? T::i64 : T::u64; break;
        default: return {};
    }
    parts_.clear();
    starts_.assign(1, 0);
    for (const ArrowArray& a : arrays_) {
        parts_.push_back(
            NumberView{static_cast<const char*>(a.buffers[1]) + a.offset * layout_.bytes,
                       layout_.bytes, type});
        starts_.push_back(starts_.back() + static_cast<std::size_t>(a.length));
    }
    if (parts_.size() == 1) return parts_.front();
    NumberView chunked;
    chunked.type = T::chunked;
    chunked.chunks = NumberParts{parts_.data(), starts_.data(), parts_.size()};
    return chunked;
}

namespace {

// Rows [lo, hi) of one array's values of type T into words (nulls as 0, and their flags).
template <class T>
void flatten_values(const ArrowArray& a, std::uint64_t* words, std::uint8_t* valid) {
    const auto* values = static_cast<const char*>(a.buffers[1]);
    const bool all_valid = a.buffers[0] == nullptr || a.null_count == 0;
    for (std::int64_t i = 0; i < a.length; ++i) {
        const std::int64_t k = a.offset + i;
        const bool ok = all_valid || valid_at(a, k);
        valid[i] = ok ? 1 : 0;
        std::uint64_t w;
        if constexpr (std::is_same_v<T, bool>) {
            w = (static_cast<unsigned char>(values[k >> 3]) >> (k & 7)) & 1;
        } else {
            T v;
            std::memcpy(&v, values + k * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
            w = number_word(v);
        }
        words[i] = ok ? w : 0;
    }
}

}  // namespace

namespace {

bool same_array(const ArrowArray& a, const ArrowArray& b) {
    if (a.length != b.length || a.offset != b.offset || a.n_buffers != b.n_buffers ||
        a.n_children != 0 || b.n_children != 0 || a.dictionary || b.dictionary)
        return false;
    for (std::int64_t k = 0; k < a.n_buffers; ++k) {
        if (a.buffers[k] != b.buffers[k]) return false;
    }
    return true;
}

}  // namespace

std::vector<std::size_t> ArrowWords::dictionary_groups() const {
    std::vector<std::size_t> group(arrays_.size());
    std::vector<std::size_t> firsts;  // the first array of each group
    for (std::size_t k = 0; k < arrays_.size(); ++k) {
        group[k] = k;
        for (const std::size_t f : firsts) {
            if (same_array(*arrays_[f].dictionary, *arrays_[k].dictionary)) {
                group[k] = f;
                break;
            }
        }
        if (group[k] == k) firsts.push_back(k);
    }
    return group;
}

void ArrowWords::flatten(std::vector<std::uint64_t>& words,
                         std::vector<std::uint8_t>& valid) const {
    words.resize(length_);
    valid.resize(length_);
    std::size_t row = 0;
    const Layout l = layout_;
    // Each chunk's indices point into its own dictionary: an index names a value only
    // together with the dictionary it is read through.
    const std::vector<std::size_t> groups =
        dictionary_ ? dictionary_groups() : std::vector<std::size_t>(arrays_.size(), 0);
    for (std::size_t k = 0; k < arrays_.size(); ++k) {
        const ArrowArray& a = arrays_[k];
        std::uint64_t* w = words.data() + row;
        std::uint8_t* v = valid.data() + row;
        if (l.bytes == 0) {
            flatten_values<bool>(a, w, v);
        } else if (l.is_float) {
            if (l.bytes == 4) {
                flatten_values<float>(a, w, v);
            } else {
                flatten_values<double>(a, w, v);
            }
        } else if (l.is_signed) {
            switch (l.bytes) {
                case 1: flatten_values<std::int8_t>(a, w, v); break;
                case 2: flatten_values<std::int16_t>(a, w, v); break;
                case 4: flatten_values<std::int32_t>(a, w, v); break;
                default: flatten_values<std::int64_t>(a, w, v); break;
            }
        } else {
            switch (l.bytes) {
                case 1: flatten_values<std::uint8_t>(a, w, v); break;
                case 2: flatten_values<std::uint16_t>(a, w, v); break;
                case 4: flatten_values<std::uint32_t>(a, w, v); break;
                default: flatten_values<std::uint64_t>(a, w, v); break;
            }
        }
        if (groups[k] != 0) {
            const std::uint64_t tag = std::uint64_t{groups[k]} << kDictionaryShift;
            const std::uint64_t index_mask = (std::uint64_t{1} << kDictionaryShift) - 1;
            for (std::int64_t i = 0; i < a.length; ++i) {
                if (v[i]) w[i] = (w[i] & index_mask) | tag;
            }
        }
        row += static_cast<std::size_t>(a.length);
    }
}

}  // namespace vandra
