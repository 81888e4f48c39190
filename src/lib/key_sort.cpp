#include "lib/key_sort.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace vandra {
namespace {

// Runs of equal keys (rare: the same wall-clock time at two UTC offsets) by their ties.
void sort_ties(KeyedItems& items) {
    const std::size_t n = items.size();
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && items[j].key == items[i].key) ++j;
        if (j - i > 1) {
            std::sort(items.begin() + static_cast<std::ptrdiff_t>(i),
                      items.begin() + static_cast<std::ptrdiff_t>(j),
                      [](const KeyedItem& a, const KeyedItem& b) { return a.tie < b.tie; });
        }
        i = j;
    }
}

// LSD radix sort of `v` by key_of's values, all below 2^width, in as few passes of at most 11
// bits (each bucket table in L1) as the width needs, skipping digits that all items share.
template <class E, class KeyOf>
void radix_sort(scratch::vector<E>& v, int width, KeyOf key_of) {
    const std::size_t n = v.size();
    const int passes = (width + 10) / 11;
    const int bits = (width + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << bits;
    // Every pass's counts in one read of the items.
    std::vector<std::size_t> counts(static_cast<std::size_t>(passes) * (buckets + 1), 0);
    for (const E& x : v) {
        const std::uint64_t key = key_of(x);
        for (int p = 0; p < passes; ++p)
            ++counts[p * (buckets + 1) + ((key >> (p * bits)) & (buckets - 1)) + 1];
    }
    scratch::vector<E> spare(n);
    for (int p = 0; p < passes; ++p) {
        std::size_t* at = &counts[p * (buckets + 1)];
        if (std::any_of(at + 1, at + buckets + 1, [n](std::size_t c) { return c == n; })) continue;
        for (std::size_t b = 0; b < buckets; ++b) at[b + 1] += at[b];
        const int shift = p * bits;
        for (const E& x : v) spare[at[(key_of(x) >> shift) & (buckets - 1)]++] = x;
        v.swap(spare);
    }
}

// Whether every key is a multiple of Step from `base` (a constant divisor: no division).
template <std::uint64_t Step>
bool on_steps(const KeyedItems& items, std::uint64_t base, std::uint64_t span) {
    return span >= Step && std::all_of(items.begin(), items.end(), [base](const KeyedItem& x) {
               return (static_cast<std::uint64_t>(x.key) - base) % Step == 0;
           });
}

// Sorts by the offsets (key - base) / Step, all at most `range`, then by ties where `ties`
// (else all ties are equal, and the sorts here are stable).
template <std::uint64_t Step>
void sort_by_offset(KeyedItems& items, std::uint64_t base, std::uint64_t range, bool ties) {
    const std::size_t n = items.size();
    auto offset = [base](const KeyedItem& x) {
        return (static_cast<std::uint64_t>(x.key) - base) / Step;
    };
    KeyedItems sorted(n);
    if (range < 2 * static_cast<std::uint64_t>(n)) {
        // A range of at most twice as many values (dates, codes). Distinct offsets (category
        // codes) mark their slots and are read back in slot order; else one counting pass.
        scratch::vector<std::uint32_t> at(range + 2, 0);
        bool distinct = true;
        for (std::size_t i = 0; i < n && distinct; ++i) {
            std::uint32_t& slot = at[offset(items[i]) + 1];
            distinct = slot == 0;
            slot = static_cast<std::uint32_t>(i + 1);
        }
        if (distinct) {
            std::size_t k = 0;
            for (std::size_t o = 1; o < at.size(); ++o) {
                if (at[o] != 0) sorted[k++] = items[at[o] - 1];
            }
        } else {
            std::fill(at.begin(), at.end(), 0);
            for (const KeyedItem& x : items) ++at[offset(x) + 1];
            for (std::size_t k = 1; k < at.size(); ++k) at[k] += at[k - 1];
            for (const KeyedItem& x : items) sorted[at[offset(x)]++] = x;
        }
    } else if (const auto width = static_cast<int>(std::bit_width(range)); width <= 32) {
        // Offset and position packed in one word: half the bytes to move per pass.
        scratch::vector<std::uint64_t> packed(n);
        for (std::size_t i = 0; i < n; ++i) packed[i] = offset(items[i]) << 32 | i;
        radix_sort(packed, width, [](std::uint64_t x) { return x >> 32; });
        for (std::size_t i = 0; i < n; ++i) sorted[i] = items[packed[i] & 0xffffffffu];
    } else {
        struct Slim {
            std::uint64_t key;
            std::uint32_t at;
        };
        scratch::vector<Slim> slim(n);
        for (std::size_t i = 0; i < n; ++i)
            slim[i] = Slim{offset(items[i]), static_cast<std::uint32_t>(i)};
        radix_sort(slim, width, [](const Slim& x) { return x.key; });
        for (std::size_t i = 0; i < n; ++i) sorted[i] = items[slim[i].at];
    }
    items.swap(sorted);
    if (ties) sort_ties(items);
}

}  // namespace

void sort_by_key(KeyedItems& items) {
    if (items.size() < 256) {
        std::sort(items.begin(), items.end(), [](const KeyedItem& a, const KeyedItem& b) {
            return a.key != b.key ? a.key < b.key : a.tie < b.tie;
        });
        return;
    }
    // Keys as offsets from the least, in steps of a power of 1,000 where all are multiples of
    // one (times of whole seconds in nanoseconds): fewer digits to sort by.
    std::int64_t lo = INT64_MAX, hi = INT64_MIN;
    std::uint32_t tie_bits = 0;
    for (const KeyedItem& x : items) {
        lo = std::min(lo, x.key);
        hi = std::max(hi, x.key);
        tie_bits |= x.tie;
    }
    const bool ties = tie_bits != 0;
    const auto base = static_cast<std::uint64_t>(lo);
    const std::uint64_t span = static_cast<std::uint64_t>(hi) - base;
    constexpr std::uint64_t kThousand = 1'000, kMillion = 1'000'000, kBillion = 1'000'000'000;
    if (on_steps<kBillion>(items, base, span))
        return sort_by_offset<kBillion>(items, base, span / kBillion, ties);
    if (on_steps<kMillion>(items, base, span))
        return sort_by_offset<kMillion>(items, base, span / kMillion, ties);
    if (on_steps<kThousand>(items, base, span))
        return sort_by_offset<kThousand>(items, base, span / kThousand, ties);
    sort_by_offset<1>(items, base, span, ties);
}

}  // namespace vandra
