// UTF-8 validation for text that arrives as raw bytes (Arrow buffers) rather than from str
// objects, which are valid by construction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vandra {

// True when every byte of [0, n) is below 0x80. Words are or-ed together without a branch
// per word, so this runs at memory speed.
inline bool is_ascii(const char* text, std::size_t n) noexcept {
    std::uint64_t any = 0;
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        std::uint64_t w[4];
        std::memcpy(w, text + i, 32);
        any |= w[0] | w[1] | w[2] | w[3];
    }
    for (; i < n; ++i) any |= static_cast<unsigned char>(text[i]);
    return (any & 0x8080808080808080ull) == 0;
}

// True when bytes [0, n) are well-formed UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF, no truncated sequence at the end.
inline bool is_valid_utf8(const char* text, std::size_t n) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    auto cont = [s](std::size_t k) { return (s[k] & 0xC0) == 0x80; };
    std::size_t i = 0;
    while (i < n) {
        if (i + 8 <= n) {  // ASCII runs eight bytes at a time
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
        } else if (c < 0xC2) {
            return false;  // a continuation byte, or an overlong two-byte form
        } else if (c < 0xE0) {
            if (i + 1 >= n || !cont(i + 1)) return false;
            i += 2;
        } else if (c < 0xF0) {
            if (i + 2 >= n || !cont(i + 1) || !cont(i + 2)) return false;
            if (c == 0xE0 && s[i + 1] < 0xA0) return false;  // overlong
            if (c == 0xED && s[i + 1] > 0x9F) return false;  // surrogates
            i += 3;
        } else if (c < 0xF5) {
            if (i + 3 >= n || !cont(i + 1) || !cont(i + 2) || !cont(i + 3)) return false;
            if (c == 0xF0 && s[i + 1] < 0x90) return false;  // overlong
            if (c == 0xF4 && s[i + 1] > 0x8F) return false;  // above U+10FFFF
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

// True when position k of a valid UTF-8 text starts a character (or is its end).
inline bool is_utf8_boundary(const char* text, std::size_t n, std::size_t k) noexcept {
    return k >= n || (static_cast<unsigned char>(text[k]) & 0xC0) != 0x80;
}

}  // namespace vandra
