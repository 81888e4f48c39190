// An Arrow column of fixed-width values (integers, floats, bools, dates, timestamps,
// durations) or of dictionary indices, read through the Arrow C stream interface: in place
// where one array holds numbers without nulls, else as one 64-bit word and one validity flag
// per row. Pure C++.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lib/column_sources.hpp"
#include "python/arrow/arrow_c_data.hpp"

namespace vandra {

class ArrowWords {
  public:
    enum class Kind { signed_int, unsigned_int, floating, boolean, timestamp, duration, other };

    // The stream's schema format ("l", "tsu:UTC", ...; "dictionary:i:u" for int32 indices into
    // utf8 values), or nullopt if it has none.
    static std::optional<std::string> format_of(ArrowArrayStream& stream);
    // Drains `stream` (released either way) and takes over its arrays. nullopt, with the
    // reason in `why`, for any other layout or a malformed array.
    static std::optional<ArrowWords> import(ArrowArrayStream& stream, std::string& why);

    ArrowWords(ArrowWords&& other) noexcept;
    ArrowWords(const ArrowWords&) = delete;
    ArrowWords& operator=(const ArrowWords&) = delete;
    ArrowWords& operator=(ArrowWords&&) = delete;
    ~ArrowWords();

    Kind kind() const { return kind_; }
    // Timestamps and durations: "s", "ms", "us" or "ns".
    const std::string& unit() const { return unit_; }
    // Timestamps with a time zone.
    bool zoned() const { return zoned_; }
    std::size_t length() const { return length_; }
    bool has_nulls() const;
    // The numbers in place, where the arrays hold them without nulls in a width NumberView
    // reads; valid while this object lives. Else none.
    NumberView in_place();
    // Per row: integers as int64 or uint64, floats as the bits of the double, bools 0 or 1,
    // dates and times as their integer (0 where null); and whether it is valid. Dictionary
    // indices as the index, plus, where chunks carry different dictionaries, the number of
    // the chunk's dictionary above bit kDictionaryShift: equal words, one value. The vectors
    // are resized to length(), keeping their memory.
    void flatten(std::vector<std::uint64_t>& words, std::vector<std::uint8_t>& valid) const;

    static constexpr int kDictionaryShift = 40;

  private:
    struct Layout {
        Kind kind;
        int bytes;  // per value; 0 for bit-packed bools
        bool is_signed;
        bool is_float;
    };
    explicit ArrowWords(Layout layout) : kind_(layout.kind), layout_(layout) {}
    static std::optional<Layout> layout_of(const std::string& format, bool dictionary,
                                           std::string& unit);

    // For each array, the first array whose dictionary is the same (the same buffers).
    std::vector<std::size_t> dictionary_groups() const;

    Kind kind_;
    Layout layout_;
    bool dictionary_ = false;
    std::string unit_;
    bool zoned_ = false;
    std::vector<ArrowArray> arrays_;  // owned, none of length 0
    std::size_t length_ = 0;
    std::vector<NumberView> parts_;  // in_place()'s views of the arrays
    std::vector<std::size_t> starts_;
};

}  // namespace vandra
