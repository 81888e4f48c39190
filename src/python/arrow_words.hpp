// An Arrow column of fixed-width values (integers, floats, bools, dates, timestamps,
// durations) or of dictionary indices, read through the Arrow C stream interface as one
// 64-bit word and one validity flag per row. Pure C++.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/arrow_c_data.hpp"

namespace vandra {

struct ArrowWords {
    enum class Kind { signed_int, unsigned_int, floating, boolean, timestamp, duration, other };
    Kind kind = Kind::other;  // other: dates and dictionary indices (boxed by pandas)
    std::string unit;         // timestamps and durations: "s", "ms", "us" or "ns"
    // Per row: integers as int64 or uint64, floats as the bits of the double, bools 0 or 1,
    // dates, times and indices as their integer.
    std::vector<std::uint64_t> words;
    std::vector<std::uint8_t> valid;

    // The stream's schema format ("l", "tsu:UTC", ...), or nullopt if it has none.
    static std::optional<std::string> format_of(ArrowArrayStream& stream);
    // Drains and releases `stream`. nullopt, with the reason in `why`, for any other layout or
    // a malformed array.
    static std::optional<ArrowWords> import(ArrowArrayStream& stream, std::string& why);
};

}  // namespace vandra
