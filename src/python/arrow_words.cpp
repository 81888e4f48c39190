#include "python/arrow_words.hpp"

#include <bit>
#include <cstring>
#include <limits>

namespace vandra {
namespace {

struct Layout {
    ArrowWords::Kind kind;
    int bytes;  // per value; 0 for bit-packed bools
    bool is_signed;
    bool is_float;
};

std::optional<Layout> layout_of(const std::string& format, bool dictionary, std::string& unit) {
    using K = ArrowWords::Kind;
    const K ints = dictionary ? K::other : K::signed_int;
    const K uints = dictionary ? K::other : K::unsigned_int;
    if (format == "c") return Layout{ints, 1, true, false};
    if (format == "C") return Layout{uints, 1, false, false};
    if (format == "s") return Layout{ints, 2, true, false};
    if (format == "S") return Layout{uints, 2, false, false};
    if (format == "i") return Layout{ints, 4, true, false};
    if (format == "I") return Layout{uints, 4, false, false};
    if (format == "l") return Layout{ints, 8, true, false};
    if (format == "L") return Layout{uints, 8, false, false};
    if (dictionary) return std::nullopt;
    if (format == "f") return Layout{K::floating, 4, true, true};
    if (format == "g") return Layout{K::floating, 8, true, true};
    if (format == "b") return Layout{K::boolean, 0, false, false};
    if (format == "tdD") return Layout{K::other, 4, true, false};
    if (format == "tdm") return Layout{K::other, 8, true, false};
    const bool duration = format.size() == 3 && format.starts_with("tD");
    if (duration || (format.size() >= 4 && format.starts_with("ts") && format[3] == ':')) {
        const char u = format[2];
        unit = u == 's' ? "s" : u == 'm' ? "ms" : u == 'u' ? "us" : u == 'n' ? "ns" : "";
        if (unit.empty()) return std::nullopt;
        return Layout{duration ? K::duration : K::timestamp, 8, true, false};
    }
    return std::nullopt;
}

std::uint64_t word_at(const char* values, std::int64_t k, const Layout& l) {
    if (l.bytes == 0) return (static_cast<unsigned char>(values[k >> 3]) >> (k & 7)) & 1;
    const char* p = values + k * l.bytes;
    if (l.is_float) {
        if (l.bytes == 4) {
            float f;
            std::memcpy(&f, p, 4);
            return std::bit_cast<std::uint64_t>(static_cast<double>(f));
        }
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    }
    std::uint64_t w = 0;
    std::memcpy(&w, p, static_cast<std::size_t>(l.bytes));
    if (l.is_signed && l.bytes < 8) {  // sign-extend
        const int shift = 64 - 8 * l.bytes;
        w = static_cast<std::uint64_t>(static_cast<std::int64_t>(w << shift) >> shift);
    }
    return w;
}

struct StreamGuard {
    ArrowArrayStream& stream;
    ~StreamGuard() {
        if (stream.release != nullptr) stream.release(&stream);
    }
};

struct ArrayGuard {
    ArrowArray& array;
    ~ArrayGuard() {
        if (array.release != nullptr) array.release(&array);
    }
};

}  // namespace

std::optional<std::string> ArrowWords::format_of(ArrowArrayStream& stream) {
    if (stream.release == nullptr || !stream.get_schema) return std::nullopt;
    ArrowSchema schema{};
    if (stream.get_schema(&stream, &schema) != 0) return std::nullopt;
    std::string format = schema.format ? schema.format : "";
    if (schema.dictionary != nullptr) format = "dictionary:" + format;
    if (schema.release != nullptr) schema.release(&schema);
    return format;
}

std::optional<ArrowWords> ArrowWords::import(ArrowArrayStream& stream, std::string& why) {
    if (stream.release == nullptr || !stream.get_schema || !stream.get_next) {
        why = "stream already released";
        return std::nullopt;
    }
    StreamGuard guard{stream};
    ArrowSchema schema{};
    if (stream.get_schema(&stream, &schema) != 0) {
        why = "no schema";
        return std::nullopt;
    }
    const std::string format = schema.format ? schema.format : "";
    const bool dictionary = schema.dictionary != nullptr;
    const bool plain = schema.n_children == 0;
    if (schema.release != nullptr) schema.release(&schema);
    ArrowWords out;
    const auto layout = plain ? layout_of(format, dictionary, out.unit) : std::nullopt;
    if (!layout) {
        why = "format '" + format + "' is not read here";
        return std::nullopt;
    }
    out.kind = layout->kind;
    for (;;) {
        ArrowArray a{};
        if (stream.get_next(&stream, &a) != 0) {
            why = "stream failed";
            return std::nullopt;
        }
        if (a.release == nullptr) break;  // end of stream
        ArrayGuard owned{a};
        constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max() / 16;
        if (a.length < 0 || a.offset < 0 || a.length > kMax || a.offset > kMax ||
            a.n_buffers != 2 || a.buffers == nullptr || a.n_children != 0 ||
            (a.dictionary == nullptr) == dictionary) {
            why = "malformed array";
            return std::nullopt;
        }
        if (a.length == 0) continue;
        const auto* validity = static_cast<const unsigned char*>(a.buffers[0]);
        const auto* values = static_cast<const char*>(a.buffers[1]);
        if (values == nullptr) {
            why = "missing buffer";
            return std::nullopt;
        }
        for (std::int64_t i = 0; i < a.length; ++i) {
            const std::int64_t k = a.offset + i;
            const bool ok = validity == nullptr || ((validity[k >> 3] >> (k & 7)) & 1);
            out.valid.push_back(ok ? 1 : 0);
            out.words.push_back(ok ? word_at(values, k, *layout) : 0);
        }
    }
    return out;
}

}  // namespace vandra
