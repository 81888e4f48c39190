#include "lib/key_sort.hpp"

#include <algorithm>
#include <cstddef>

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

}  // namespace

void sort_by_key(KeyedItems& items) {
    const std::size_t n = items.size();
    if (n < 256) {
        std::sort(items.begin(), items.end(), [](const KeyedItem& a, const KeyedItem& b) {
            return a.key != b.key ? a.key < b.key : a.tie < b.tie;
        });
        return;
    }
    // Keys in a range of at most twice as many values (dates, codes): one counting pass.
    auto [lo, hi] = std::minmax_element(items.begin(), items.end(),
                                        [](const auto& a, const auto& b) { return a.key < b.key; });
    const auto span = static_cast<std::uint64_t>(hi->key) - static_cast<std::uint64_t>(lo->key);
    if (span < 2 * static_cast<std::uint64_t>(n)) {
        const std::int64_t base = lo->key;
        scratch::vector<std::uint32_t> at(span + 2, 0);
        for (const KeyedItem& x : items) ++at[static_cast<std::size_t>(x.key - base) + 1];
        for (std::size_t k = 1; k < at.size(); ++k) at[k] += at[k - 1];
        KeyedItems sorted(n);
        for (const KeyedItem& x : items) sorted[at[static_cast<std::size_t>(x.key - base)]++] = x;
        items.swap(sorted);
        sort_ties(items);
        return;
    }
    // LSD radix sort of (key, position) pairs on the key's digits (the sign bit flipped, so
    // that unsigned order is the signed one), skipping digits that all items share.
    struct Slim {
        std::uint64_t key;
        std::uint32_t at;
    };
    scratch::vector<Slim> slim(n), spare(n);
    for (std::size_t i = 0; i < n; ++i) {
        slim[i] = Slim{static_cast<std::uint64_t>(items[i].key) ^ (std::uint64_t{1} << 63),
                       static_cast<std::uint32_t>(i)};
    }
    constexpr int kBits = 11;  // 6 passes for 64 bits, each bucket table in L1
    constexpr int kPasses = (64 + kBits - 1) / kBits;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    // Every pass's counts in one read of the items.
    std::vector<std::size_t> counts(kPasses * (kBuckets + 1), 0);
    for (const Slim& x : slim) {
        for (int p = 0; p < kPasses; ++p) {
            ++counts[p * (kBuckets + 1) + ((x.key >> (p * kBits)) & (kBuckets - 1)) + 1];
        }
    }
    for (int p = 0; p < kPasses; ++p) {
        std::size_t* at = &counts[p * (kBuckets + 1)];
        if (std::any_of(at + 1, at + kBuckets + 1, [n](std::size_t c) { return c == n; })) continue;
        for (std::size_t b = 0; b < kBuckets; ++b) at[b + 1] += at[b];
        const int shift = p * kBits;
        for (const Slim& x : slim) spare[at[(x.key >> shift) & (kBuckets - 1)]++] = x;
        slim.swap(spare);
    }
    KeyedItems sorted(n);
    for (std::size_t i = 0; i < n; ++i) sorted[i] = items[slim[i].at];
    items.swap(sorted);
    sort_ties(items);
}

}  // namespace vandra
