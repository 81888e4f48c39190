// 64-bit hash for short byte strings, and the big-endian prefix word that orders them.
//
// The hash folds 128-bit products of 8-byte words (read with memcpy, so any alignment is
// fine). Strings up to 16 bytes take one product plus the finish, up to 32 two independent
// products plus the finish; longer ones two independent products per 32 bytes. Every byte is read
// and the length is mixed in, so "a" and "a\0" differ. The seed is drawn once per process, which
// keeps inputs from being crafted to collide.
#pragma once

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vandra {

namespace detail {

__extension__ typedef unsigned __int128 HashU128;

inline constexpr std::uint64_t kHashK0 = 0x9E3779B97F4A7C15ull;
inline constexpr std::uint64_t kHashK1 = 0xC2B2AE3D27D4EB4Full;
inline constexpr std::uint64_t kHashK2 = 0x165667B19E3779F9ull;
inline constexpr std::uint64_t kHashK3 = 0xD6E8FEB86659FD93ull;

// Both halves of the full product, xor-ed: every input bit reaches many output bits.
inline std::uint64_t fold_mul(std::uint64_t a, std::uint64_t b) noexcept {
    const HashU128 r = static_cast<HashU128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t load64(const char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline std::uint64_t load32(const char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

inline std::uint64_t byte_at(const char* p, std::size_t i) noexcept {
    return static_cast<unsigned char>(p[i]);
}

inline std::uint64_t make_process_seed() noexcept {
    static const int anchor = 0;  // its address varies with address-space randomisation
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return fold_mul(reinterpret_cast<std::uintptr_t>(&anchor) ^ kHashK0, now ^ kHashK1);
}

}  // namespace detail

// The seed of ByteHash's default constructor: fixed for the life of the process.
inline std::uint64_t process_hash_seed() noexcept {
    static const std::uint64_t seed = detail::make_process_seed();
    return seed;
}

[[gnu::always_inline]] inline std::uint64_t hash_bytes(const char* p, std::size_t n,
                                                       std::uint64_t seed) noexcept {
    using namespace detail;
    std::uint64_t s = seed ^ kHashK0;
    std::uint64_t m;
    if (n <= 16) {
        std::uint64_t a, b;
        if (n >= 8) {
            a = load64(p);
            b = load64(p + n - 8);
        } else if (n >= 4) {
            a = load32(p);
            b = load32(p + n - 4);
        } else if (n > 0) {
            // 1 to 3 bytes: first, middle and last cover them all.
            a = (byte_at(p, 0) << 16) | (byte_at(p, n >> 1) << 8) | byte_at(p, n - 1);
            b = 0;
        } else {
            a = b = 0;
        }
        m = fold_mul(a ^ s ^ kHashK1, b ^ s ^ kHashK2);
    } else {
        // The state enters both factors, so no input word can zero a product without knowing
        // the seed. Two independent products per step keep the chain of multiplications short.
        const char* const end = p + n;
        if (n > 32) {
            std::uint64_t t = s ^ kHashK3;
            for (std::size_t left = n; left > 32; left -= 32, p += 32) {
                s = fold_mul(load64(p) ^ s ^ kHashK1, load64(p + 8) ^ s ^ kHashK2);
                t = fold_mul(load64(p + 16) ^ t ^ kHashK3, load64(p + 24) ^ t ^ kHashK0);
            }
            s ^= t;
            p = end - 32;  // the last 32 bytes, overlapping what the loop read
        }
        // 17 to 32 bytes from p: its first 16 and the last 16 (overlapping when fewer).
        m = fold_mul(load64(p) ^ s ^ kHashK1, load64(p + 8) ^ s ^ kHashK2) ^
            fold_mul(load64(end - 16) ^ s ^ kHashK3, load64(end - 8) ^ s ^ kHashK0);
    }
    return fold_mul(m ^ kHashK3, static_cast<std::uint64_t>(n) ^ s ^ kHashK0);
}

// Hash functor for label deduplication.
struct ByteHash {
    std::uint64_t seed = process_hash_seed();

    [[gnu::always_inline]] std::uint64_t operator()(std::string_view s) const noexcept {
        return hash_bytes(s.data(), s.size(), seed);
    }
};

// The first 8 bytes of s as a big-endian number, zero-padded. If prefix_word(x) <
// prefix_word(y) then x < y in unsigned byte-wise order; equal words need a full compare.
inline std::uint64_t prefix_word(std::string_view s) noexcept {
    if (s.size() >= 8) {
        std::uint64_t v = detail::load64(s.data());
        if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
        return v;
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < s.size(); ++i) v |= detail::byte_at(s.data(), i) << (56 - 8 * i);
    return v;
}

}  // namespace vandra
