#include "lib/fixed_text.hpp"

#include <cstdint>
#include <cstring>

namespace vandra {

std::optional<std::string> ucs4_text(const char* data, std::size_t width) {
    std::size_t n = width / 4;
    auto at = [data](std::size_t k) {
        std::uint32_t c;
        std::memcpy(&c, data + 4 * k, 4);
        return c;
    };
    while (n > 0 && at(n - 1) == 0) --n;
    std::string out;
    out.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t c = at(k);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return std::nullopt;
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x110000) {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::string_view bytes_value(const char* data, std::size_t width) {
    while (width > 0 && data[width - 1] == '\0') --width;
    return std::string_view(data, width);
}

std::string bytes_repr(std::string_view bytes) {
    const bool single =
        bytes.find('\'') == std::string_view::npos || bytes.find('"') != std::string_view::npos;
    const char quote = single ? '\'' : '"';
    std::string out = "b";
    out += quote;
    constexpr char kHex[] = "0123456789abcdef";
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == quote || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c >= 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += ch;
        }
    }
    out += quote;
    return out;
}

bool may_be_number(std::string_view utf8) {
    if (utf8.empty()) return false;
    for (const char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F) continue;  // spaces, controls, non-ASCII
        if (std::strchr("0123456789+-._eEiInNfFtTyYaA", ch) == nullptr) return false;
    }
    return true;
}

}  // namespace vandra
