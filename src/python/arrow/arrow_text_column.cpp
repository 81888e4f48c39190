#include "python/arrow/arrow_text_column.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
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

std::string last_error(ArrowArrayStream& stream, const char* what) {
    const char* text = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    return std::string(what) + (text ? std::string(": ") + text : std::string());
}

}  // namespace

std::size_t ArrowTextColumn::Chunk::start(std::size_t i) const {
    const auto k = array.offset + static_cast<std::int64_t>(i);
    return static_cast<std::size_t>(large ? offset_at<std::int64_t>(offsets, k)
                                          : offset_at<std::int32_t>(offsets, k));
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
    const std::string& format = schema->format;
    if (!schema->plain || schema->dictionary || (format != "u" && format != "U")) {
        why = "not a utf8 or large_utf8 column: format '" + format + "'";
        return std::nullopt;
    }
    const bool large = format == "U";
    ArrowTextColumn column;
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
        if (!array_ok(a, large, why)) return std::nullopt;
        Chunk& kept = column.chunks_.back();
        kept.begin = column.length_;
        kept.length = static_cast<std::size_t>(a.length);
        if (a.length > 0) {
            kept.validity = static_cast<const std::uint8_t*>(a.buffers[0]);
            kept.offsets = a.buffers[1];
            kept.data = static_cast<const char*>(a.buffers[2]);
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

void ArrowTextColumn::fill_range(std::size_t lo, std::size_t hi, std::string_view* out) const {
    const std::size_t first = first_valid_;
    auto chunk = std::upper_bound(chunks_.begin(), chunks_.end(), lo,
                                  [](std::size_t row, const Chunk& c) { return row < c.begin; });
    --chunk;  // the chunk holding row lo (chunks of no rows are passed by the loop)
    for (std::size_t row = lo; row < hi; ++chunk) {
        const std::size_t end = std::min(hi, chunk->begin + chunk->length);
        for (std::size_t i = row - chunk->begin; row < end; ++i, ++row) {
            if (!chunk->valid(i)) {
                out[row - lo] = row < first ? null_before_ : null_after_;
                continue;
            }
            const std::size_t a = chunk->start(i), b = chunk->start(i + 1);
            out[row - lo] = std::string_view(chunk->data + a, b - a);
        }
    }
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
    return label_encode(RowsOf(*this), codes);
}

std::string_view ArrowTextColumn::label(std::size_t row) const {
    auto chunk = std::upper_bound(chunks_.begin(), chunks_.end(), row,
                                  [](std::size_t r, const Chunk& c) { return r < c.begin; });
    --chunk;
    while (row >= chunk->begin + chunk->length) ++chunk;  // past chunks of no rows
    const std::size_t i = row - chunk->begin;
    if (!chunk->valid(i)) return row < first_valid_ ? null_before_ : null_after_;
    const std::size_t a = chunk->start(i), b = chunk->start(i + 1);
    return std::string_view(chunk->data + a, b - a);
}

void ArrowTextColumn::fill(std::string_view* out) const {
    pool::for_each_range(
        0, length_, [this, out](std::size_t lo, std::size_t hi) { fill_range(lo, hi, out + lo); });
}

}  // namespace vandra
