#include "python/arrow/arrow_text_column.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "lib/label_encode.hpp"
#include "lib/utf8.hpp"
#include "pool/pool.hpp"

namespace vandra {
namespace {

void release(ArrowArray& a) noexcept {
    if (a.release != nullptr) a.release(&a);
}

template <class Offset>
std::int64_t offset_at(const void* offsets, std::int64_t k) noexcept {
    Offset v;
    std::memcpy(&v, static_cast<const char*>(offsets) + k * static_cast<std::int64_t>(sizeof v),
                sizeof v);
    return static_cast<std::int64_t>(v);
}

// Checks an array's offsets and bytes: offsets non-negative and in order, the bytes they span
// valid UTF-8, and every offset at a character boundary, so that every label is valid too.
template <class Offset>
bool offsets_and_text_ok(const ArrowArray& a, std::string& why) {
    const void* offsets = a.buffers[1];
    const char* data = static_cast<const char*>(a.buffers[2]);
    const std::int64_t first = offset_at<Offset>(offsets, a.offset);
    if (first < 0) {
        why = "negative offset";
        return false;
    }
    std::int64_t prev = first;
    for (std::int64_t k = a.offset + 1; k <= a.offset + a.length; ++k) {
        const std::int64_t o = offset_at<Offset>(offsets, k);
        if (o < prev) {
            why = "offsets out of order";
            return false;
        }
        prev = o;
    }
    const auto bytes = static_cast<std::size_t>(prev - first);
    if (bytes == 0) return true;
    if (data == nullptr) {
        why = "no data buffer";
        return false;
    }
    const char* text = data + first;
    if (is_ascii(text, bytes)) return true;  // valid, and every offset starts a character
    if (!is_valid_utf8(text, bytes)) {
        why = "labels are not valid UTF-8";
        return false;
    }
    for (std::int64_t k = a.offset; k < a.offset + a.length; ++k) {
        const auto at = static_cast<std::size_t>(offset_at<Offset>(offsets, k) - first);
        if (!is_utf8_boundary(text, bytes, at)) {
            why = "a label starts inside a character";
            return false;
        }
    }
    return true;
}

bool array_ok(const ArrowArray& a, bool large, std::string& why) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    if (a.length < 0 || a.offset < 0 || a.length > kMax - 1 - a.offset) {
        why = "bad length or offset";
        return false;
    }
    if (a.n_buffers != 3 || a.buffers == nullptr || a.n_children != 0 || a.dictionary) {
        why = "not a string array";
        return false;
    }
    if (a.length == 0) return true;
    if (a.buffers[1] == nullptr) {
        why = "no offsets buffer";
        return false;
    }
    return large ? offsets_and_text_ok<std::int64_t>(a, why)
                 : offsets_and_text_ok<std::int32_t>(a, why);
}

// Calls f with a value of the C++ type of an Arrow integer format; false for any other format.
template <class F>
bool with_index_type(char format, F&& f) {
    switch (format) {
        case 'c': f(std::int8_t{}); return true;
        case 'C': f(std::uint8_t{}); return true;
        case 's': f(std::int16_t{}); return true;
        case 'S': f(std::uint16_t{}); return true;
        case 'i': f(std::int32_t{}); return true;
        case 'I': f(std::uint32_t{}); return true;
        case 'l': f(std::int64_t{}); return true;
        case 'L': f(std::uint64_t{}); return true;
        default: return false;
    }
}

// Index k of a buffer of T, widened; unsigned 64-bit indices beyond INT64_MAX come out
// negative, as out of range.
template <class T>
std::int64_t index_at(const void* indices, std::int64_t k) {
    T v;
    std::memcpy(&v, static_cast<const char*>(indices) + k * static_cast<std::int64_t>(sizeof v),
                sizeof v);
    return static_cast<std::int64_t>(v);
}

bool bit_set(const void* bitmap, std::int64_t bit) {
    return (static_cast<const std::uint8_t*>(bitmap)[bit >> 3] >> (bit & 7)) & 1;
}

// Checks a dictionary-encoded array: its indices buffer, its dictionary (a valid string array
// without nulls) and that every valid row's index names one of the dictionary's entries.
bool dictionary_array_ok(const ArrowArray& a, char format, bool large, std::string& why) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max() / 16;
    if (a.length < 0 || a.offset < 0 || a.length > kMax || a.offset > kMax) {
        why = "bad length or offset";
        return false;
    }
    if (a.n_buffers != 2 || a.buffers == nullptr || a.n_children != 0 || !a.dictionary) {
        why = "not a dictionary array";
        return false;
    }
    const ArrowArray& d = *a.dictionary;
    if (!array_ok(d, large, why)) return false;
    if (d.length > 0 && d.null_count != 0 && d.buffers[0] != nullptr) {
        for (std::int64_t k = d.offset; k < d.offset + d.length; ++k) {
            if (!bit_set(d.buffers[0], k)) {
                why = "dictionary holds nulls";
                return false;
            }
        }
    }
    if (a.length == 0) return true;
    if (a.buffers[1] == nullptr) {
        why = "no indices buffer";
        return false;
    }
    const void* validity = a.buffers[0];
    bool out_of_range = false;
    with_index_type(format, [&]<class T>(T) {
        for (std::int64_t i = a.offset; i < a.offset + a.length; ++i) {
            const std::int64_t k = index_at<T>(a.buffers[1], i);
            out_of_range |=
                (k < 0 || k >= d.length) && (validity == nullptr || bit_set(validity, i));
        }
    });
    if (out_of_range) {
        why = "an index names no entry";
        return false;
    }
    return true;
}

std::string last_error(ArrowArrayStream& stream, const char* what) {
    const char* text = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    return std::string(what) + (text ? std::string(": ") + text : std::string());
}

}  // namespace

std::size_t ArrowTextColumn::Chunk::entry(std::size_t i) const {
    std::int64_t k = static_cast<std::int64_t>(i);
    with_index_type(index_format, [&]<class T>(T) { k = index_at<T>(indices, array.offset + k); });
    return static_cast<std::size_t>(k);
}

template <class F>
void ArrowTextColumn::Chunk::for_each_entry(std::size_t i0, std::size_t n, F&& f) const {
    with_index_type(index_format, [&]<class T>(T) {
        const std::int64_t first = array.offset + static_cast<std::int64_t>(i0);
        if (validity == nullptr) {
            for (std::size_t k = 0; k < n; ++k)
                f(i0 + k, true,
                  static_cast<std::size_t>(
                      index_at<T>(indices, first + static_cast<std::int64_t>(k))));
            return;
        }
        for (std::size_t k = 0; k < n; ++k) {
            const bool ok = valid(i0 + k);
            f(i0 + k, ok,
              ok ? static_cast<std::size_t>(
                       index_at<T>(indices, first + static_cast<std::int64_t>(k)))
                 : 0);
        }
    });
}

std::size_t ArrowTextColumn::Chunk::start(std::size_t k) const {
    const auto at = first_entry + static_cast<std::int64_t>(k);
    return static_cast<std::size_t>(large ? offset_at<std::int64_t>(offsets, at)
                                          : offset_at<std::int32_t>(offsets, at));
}

bool ArrowTextColumn::Chunk::valid(std::size_t i) const {
    if (validity == nullptr) return true;
    const auto bit = static_cast<std::size_t>(array.offset) + i;
    return (validity[bit >> 3] >> (bit & 7)) & 1;
}

std::optional<ArrowTextColumn> ArrowTextColumn::import(ArrowArrayStream& stream, std::string& why) {
    const auto schema = arrow_stream_schema(stream, why);
    if (!schema) return std::nullopt;
    ArrowStreamGuard guard{stream};
    const bool dictionary = schema->dictionary;
    const std::string& format = dictionary ? schema->dictionary_format : schema->format;
    const char index_format = dictionary && schema->format.size() == 1 ? schema->format[0] : 0;
    if (!schema->plain || (format != "u" && format != "U") ||
        (dictionary && !with_index_type(index_format, [](auto) {}))) {
        why = "not a utf8 or large_utf8 column: format '" + schema->format + "'";
        return std::nullopt;
    }
    const bool large = format == "U";
    ArrowTextColumn column;
    column.dictionary_ = dictionary;
    for (;;) {
        ArrowArray a{};
        if (stream.get_next(&stream, &a) != 0) {
            why = last_error(stream, "stream failed");
            return std::nullopt;
        }
        if (a.release == nullptr) break;  // end of stream
        Chunk c;
        c.array = a;
        c.large = large;
        column.chunks_.push_back(c);  // owned from here on, also if it is refused
        if (dictionary ? !dictionary_array_ok(a, index_format, large, why)
                       : !array_ok(a, large, why))
            return std::nullopt;
        Chunk& kept = column.chunks_.back();
        kept.begin = column.length_;
        kept.length = static_cast<std::size_t>(a.length);
        if (a.length > 0) {
            kept.validity = static_cast<const std::uint8_t*>(a.buffers[0]);
            const ArrowArray& text = dictionary ? *a.dictionary : a;
            kept.offsets = text.buffers[1];
            kept.first_entry = text.offset;
            kept.data = static_cast<const char*>(text.buffers[2]);
            if (dictionary) {
                kept.indices = a.buffers[1];
                kept.index_format = index_format;
                kept.entries = static_cast<std::size_t>(a.dictionary->length);
            }
        }
        column.length_ += kept.length;
    }
    column.first_valid_ = column.length_;
    for (const Chunk& c : column.chunks_) {
        std::size_t i = 0;
        while (i < c.length && !c.valid(i)) ++i;
        if (i < c.length) {
            column.first_valid_ = c.begin + i;
            break;
        }
    }
    return column;
}

ArrowTextColumn::ArrowTextColumn(ArrowTextColumn&& other) noexcept
    : chunks_(std::move(other.chunks_)),
      length_(std::exchange(other.length_, 0)),
      first_valid_(std::exchange(other.first_valid_, 0)),
      dictionary_(other.dictionary_),
      null_before_(other.null_before_),
      null_after_(other.null_after_) {
    other.chunks_.clear();
}

ArrowTextColumn::~ArrowTextColumn() {
    for (Chunk& c : chunks_) release(c.array);
}

std::optional<std::size_t> ArrowTextColumn::first_valid() const {
    if (first_valid_ == length_) return std::nullopt;
    return first_valid_;
}

template <class F>
void ArrowTextColumn::for_each_piece(std::size_t lo, std::size_t hi, F&& f) const {
    auto chunk = std::upper_bound(chunks_.begin(), chunks_.end(), lo,
                                  [](std::size_t row, const Chunk& c) { return row < c.begin; });
    --chunk;  // the chunk holding row lo (chunks of no rows are passed by the loop)
    for (std::size_t row = lo; row < hi; ++chunk) {
        const std::size_t end = std::min(hi, chunk->begin + chunk->length);
        if (end > row) f(*chunk, static_cast<std::size_t>(chunk - chunks_.begin()), row, end);
        row = std::max(row, end);
    }
}

void ArrowTextColumn::fill_range(std::size_t lo, std::size_t hi, std::string_view* out) const {
    for_each_piece(lo, hi, [&](const Chunk& c, std::size_t, std::size_t row, std::size_t end) {
        for (std::size_t i = row - c.begin; row < end; ++i, ++row) {
            if (!c.valid(i)) {
                out[row - lo] = row < first_valid_ ? null_before_ : null_after_;
                continue;
            }
            const std::size_t k = c.entry(i), a = c.start(k), b = c.start(k + 1);
            out[row - lo] = std::string_view(c.data + a, b - a);
        }
    });
}

namespace {

// The rows' labels made from the offsets a block at a time, never all at once.
class RowsOf final : public RowLabels {
  public:
    explicit RowsOf(const ArrowTextColumn& column) noexcept : column_(column) {}
    std::size_t size() const noexcept override { return column_.length(); }
    const std::string_view* read(std::size_t lo, std::size_t hi,
                                 std::string_view* buf) const override {
        column_.fill_range(lo, hi, buf);
        return buf;
    }

  private:
    const ArrowTextColumn& column_;
};

}  // namespace

CodeMap ArrowTextColumn::encode(double* codes) const {
    // Null rows' labels are missing-value texts, which take no code and leave the others'
    // codes as they are: a dictionary column can be encoded by its used entries alone.
    if (dictionary_ && is_missing_label(null_before_) && is_missing_label(null_after_))
        return encode_by_entries(codes);
    return label_encode(RowsOf(*this), codes);
}

// Encodes the dictionary entries that valid rows name, each chunk's in order of first use,
// then gives each row its entry's code: rows are never hashed.
CodeMap ArrowTextColumn::encode_by_entries(double* codes) const {
    constexpr std::uint32_t kUnused = UINT32_MAX;
    std::vector<std::vector<std::uint32_t>> used_at(chunks_.size());  // entry -> its place
    std::vector<std::string_view> used;
    for (std::size_t ci = 0; ci < chunks_.size(); ++ci) {
        const Chunk& c = chunks_[ci];
        std::vector<std::uint32_t>& at = used_at[ci];
        at.assign(c.entries, kUnused);
        c.for_each_entry(0, c.length, [&](std::size_t, bool valid, std::size_t k) {
            if (!valid || at[k] != kUnused) return;
            if (used.size() >= kUnused) throw std::bad_alloc();
            at[k] = static_cast<std::uint32_t>(used.size());
            const std::size_t a = c.start(k), b = c.start(k + 1);
            used.emplace_back(c.data + a, b - a);
        });
    }
    std::vector<double> code_of(used.size());
    CodeMap map = label_encode(used, code_of.data());
    pool::for_each_range(0, length_, [&](std::size_t lo, std::size_t hi) {
        for_each_piece(lo, hi,
                       [&](const Chunk& c, std::size_t ci, std::size_t row, std::size_t end) {
                           const std::uint32_t* at = used_at[ci].data();
                           double* out = codes + c.begin;
                           c.for_each_entry(row - c.begin, end - row,
                                            [&](std::size_t i, bool valid, std::size_t k) {
                                                out[i] = valid ? code_of[at[k]] : kQuietNaN;
                                            });
                       });
    });
    return map;
}

std::string_view ArrowTextColumn::label(std::size_t row) const {
    auto chunk = std::upper_bound(chunks_.begin(), chunks_.end(), row,
                                  [](std::size_t r, const Chunk& c) { return r < c.begin; });
    --chunk;
    while (row >= chunk->begin + chunk->length) ++chunk;  // past chunks of no rows
    const std::size_t i = row - chunk->begin;
    if (!chunk->valid(i)) return row < first_valid_ ? null_before_ : null_after_;
    const std::size_t k = chunk->entry(i), a = chunk->start(k), b = chunk->start(k + 1);
    return std::string_view(chunk->data + a, b - a);
}

void ArrowTextColumn::fill(std::string_view* out) const {
    pool::for_each_range(
        0, length_, [this, out](std::size_t lo, std::size_t hi) { fill_range(lo, hi, out + lo); });
}

}  // namespace vandra
