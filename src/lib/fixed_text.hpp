// The texts of numpy's fixed-width string elements ("U": UCS-4, "S": bytes) as item access
// hands them out: trailing NULs dropped, an "S" element as a bytes object, whose str() is its
// repr (b'...').
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vandra {

// The UTF-8 form of a little-endian UCS-4 element of `width` bytes, trailing NULs dropped;
// nullopt when it holds a code point that is a surrogate or beyond U+10FFFF (str() of such
// an element is not its plain UTF-8 form).
std::optional<std::string> ucs4_text(const char* data, std::size_t width);

// A bytes element's value, trailing NULs dropped.
std::string_view bytes_value(const char* data, std::size_t width);

// Python's repr() of a bytes object.
std::string bytes_repr(std::string_view bytes);

// False when the text cannot be read as a float by any parser of numbers: it holds a
// printable ASCII character that appears in no number, "inf" or "nan" spelling. Empty text
// is not a number either. Non-ASCII characters (Unicode digits) and spaces leave it possible.
bool may_be_number(std::string_view utf8);

}  // namespace vandra
