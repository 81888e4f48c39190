// The hash table behind label deduplication: a set of label views that numbers the distinct
// labels 0, 1, 2, ... in order of first insertion.
//
// Open addressing with linear probing over a power-of-two array of 8-byte slots, at most half
// full. A slot holds 32 bits of the label's hash (the tag, never 0 in a used slot) and the
// label's id; a probe compares tags first and reads a stored label only when the tag matches,
// so most mismatches cost no access beyond the slot. Labels are views of the caller's bytes
// (never copied) and must outlive the table; ids index labels() and hashes().
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "lib/byte_hash.hpp"

namespace vandra::detail {

// Equality of two byte ranges of length n; up to 32 bytes without a call, by overlapping
// word loads.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    if (a == b) return true;  // e.g. cells holding the same string object
    if (n >= 8) {
        if (n > 32) return std::memcmp(a, b, n) == 0;
        const std::uint64_t head = load64(a) ^ load64(b),
                            tail = load64(a + n - 8) ^ load64(b + n - 8);
        if (n <= 16) return (head | tail) == 0;
        return (head | tail | (load64(a + 8) ^ load64(b + 8)) |
                (load64(a + n - 16) ^ load64(b + n - 16))) == 0;
    }
    if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

class LabelTable {
  public:
    // Most ids a table hands out: they are 32-bit.
    static constexpr std::size_t kMaxLabels = std::size_t{1} << 31;

    // Room for `expected` labels before the first growth. Throws std::bad_alloc.
    explicit LabelTable(std::size_t expected = 0) { reserve(expected); }

    // The id of `label`, inserted if new; `hash` is its ByteHash. Throws std::bad_alloc.
    [[gnu::always_inline]] std::uint32_t insert(std::string_view label, std::uint64_t hash) {
        const std::uint64_t tag = tag_of(hash);
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const std::uint64_t s = slots_[i];
            if (s == 0) return add(i, tag, label, hash);
            if ((s & kTagMask) == tag) {
                const auto id = static_cast<std::uint32_t>(s >> 32);
                const std::string_view have = labels_[id];
                if (have.size() == label.size() &&
                    same_bytes(have.data(), label.data(), label.size())) {
                    return id;
                }
            }
        }
    }

    // Starts loading the slot a label of this hash probes first.
    void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(&slots_[hash & mask_]); }

    // Room for `expected` labels in all, in one step instead of doubling there. Sized at most
    // a quarter full: fewer probes past the first slot, whose unpredictable branches cost
    // more than the slots' memory.
    void reserve(std::size_t expected) {
        if (expected > kMaxLabels) throw std::bad_alloc();
        std::size_t capacity = 16;
        while (capacity < 4 * expected) capacity *= 2;
        if (capacity > slots_.size()) rehash(capacity);
        labels_.reserve(expected);
        hashes_.reserve(expected);
    }

    // Frees the slots once no more inserts come; ids, labels and hashes stay.
    void release_slots() noexcept {
        std::vector<std::uint64_t>().swap(slots_);
        mask_ = 0;
    }

    std::size_t size() const noexcept { return labels_.size(); }
    const std::vector<std::string_view>& labels() const noexcept { return labels_; }
    const std::vector<std::uint64_t>& hashes() const noexcept { return hashes_; }

  private:
    static constexpr std::uint64_t kTagMask = 0xFFFFFFFFull;
    // Bits above those that pick the first slot of any table this size, forced nonzero.
    static std::uint64_t tag_of(std::uint64_t hash) noexcept {
        return ((hash >> 24) & kTagMask) | 1;
    }

    [[gnu::noinline]] std::uint32_t add(std::size_t slot, std::uint64_t tag, std::string_view label,
                                        std::uint64_t hash) {
        const auto id = static_cast<std::uint32_t>(labels_.size());
        labels_.push_back(label);
        hashes_.push_back(hash);
        slots_[slot] = tag | (std::uint64_t{id} << 32);
        if (2 * labels_.size() > slots_.size()) grow();
        return id;
    }
    void grow() {
        if (labels_.size() >= kMaxLabels) throw std::bad_alloc();
        rehash(slots_.size() * 2);
    }
    void rehash(std::size_t capacity) {
        std::vector<std::uint64_t> fresh(capacity, 0);
        const std::size_t mask = capacity - 1;
        for (const std::uint64_t s : slots_) {
            if (s == 0) continue;
            std::size_t i = hashes_[s >> 32] & mask;
            while (fresh[i] != 0) i = (i + 1) & mask;
            fresh[i] = s;
        }
        slots_.swap(fresh);
        mask_ = mask;
    }

    std::vector<std::uint64_t> slots_;  // 0: empty; else tag | id << 32
    std::size_t mask_ = 0;
    std::vector<std::string_view> labels_;
    std::vector<std::uint64_t> hashes_;
};

}  // namespace vandra::detail
