// Texts of numbers, exactly as the cell rules and Python write them.
#pragma once

#include <cstdint>
#include <string>

namespace vandra {

// A number read before its column's first text: its shortest round-trip digits in
// positional notation, without exponent or trailing ".0": 1.0 -> "1", 1e23 -> "1" and 23
// zeros, -0.0 -> "-0", NaN -> "NaN", infinities -> "inf" / "-inf".
std::string float_to_text(double value);

// Python's str() of a float (its repr): shortest round-trip digits, in exponent notation
// below 1e-4 and from 1e16 on (1e+16, 1.5e-05), otherwise positional with at least one
// decimal (1.0, 0.0001); "nan", "inf", "-inf".
std::string python_float_text(double value);

// Python's str() of an int.
std::string integer_text(std::int64_t value);
std::string integer_text(std::uint64_t value);

}  // namespace vandra
