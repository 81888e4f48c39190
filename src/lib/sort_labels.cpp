// MSD radix sort of distinct labels.
//
// Every item carries the 8-byte word of its label at the current offset, big-endian and
// zero-padded, so that comparing words compares bytes. A group is split by one byte of that
// word per pass (a pass whose byte all items share moves on past all the bytes they share);
// once a group shares the whole word, the items that end inside it come first, shortest
// first (each is a prefix of all the others), and the rest load their next word. Groups of up to
// kSmallGroup items go to a comparison sort. The largest bucket of a split is taken by the loop
// rather than by recursion, so the stack stays shallow however long the shared prefixes are. A
// split scatters from one buffer into the other, and the groups go on from there; a group that ends
// in the scratch buffer is copied back once.
#include "lib/sort_labels.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "lib/byte_hash.hpp"
#include "lib/huge_pages.hpp"
#include "pool/pool.hpp"

namespace vandra::detail {
namespace {

// word: of labels[id] at the group's offset.
using Item = SortedLabel;

constexpr std::size_t kSmallGroup = 32;
// Groups at least this large are counted and scattered in parallel, in blocks of kBlock.
constexpr std::size_t kParallelGroup = std::size_t{1} << 15;
constexpr std::size_t kBlock = std::size_t{1} << 14;

std::uint64_t word_at(std::string_view s, std::size_t offset) noexcept {
    if (offset >= s.size()) return 0;
    return prefix_word(std::string_view(s.data() + offset, s.size() - offset));
}

// Mostly a few items: a loop, not a call.
void copy_items(const Item* from, std::size_t n, Item* to) noexcept {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
}

unsigned digit(const Item& x, int shift) noexcept {
    return static_cast<unsigned>(x.word >> shift) & 0xFF;
}

struct Sorter {
    const std::string_view* labels;

    // Items of one group share every byte before `offset`.
    void sort_small(Item* a, std::size_t n, std::size_t offset) const {
        std::sort(a, a + n, [this, offset](const Item& x, const Item& y) {
            if (x.word != y.word) return x.word < y.word;
            const std::string_view p = labels[x.id], q = labels[y.id];
            const std::size_t from = std::min({offset, p.size(), q.size()});
            return p.substr(from) < q.substr(from);
        });
    }

    // For a group that shares its whole word at `offset`: moves the items ending inside it to
    // the front, shortest first, and loads the next word of the others. Returns how many ended.
    std::size_t next_word(Item* a, std::size_t n, std::size_t offset) const {
        const std::size_t next = offset + 8;
        Item* rest =
            std::partition(a, a + n, [&](const Item& x) { return labels[x.id].size() <= next; });
        std::sort(a, rest, [&](const Item& x, const Item& y) {
            return labels[x.id].size() < labels[y.id].size();
        });
        auto load = [&](std::size_t lo, std::size_t hi) {
            for (Item* p = rest + lo; p < rest + hi; ++p) p->word = word_at(labels[p->id], next);
        };
        const auto left = static_cast<std::size_t>(a + n - rest);
        if (left >= kParallelGroup) {
            pool::for_each_range(0, left, load);
        } else {
            load(0, left);
        }
        return static_cast<std::size_t>(rest - a);
    }

    // Position within a group: its items, scratch space of the same length, and which byte
    // of the current word decides next.
    struct Group {
        Item* a;    // the items
        Item* tmp;  // as many, at the same place in the other buffer
        std::size_t n;
        std::size_t offset;
        int shift;
        bool in_scratch;  // a is in the scratch buffer

        // Bucket [start, start + count) of a split that scattered a into tmp.
        Group bucket(std::size_t start, std::size_t count) const {
            return {tmp + start, a + start, count, offset, shift, !in_scratch};
        }
    };

    // Sorts a group too small to split, and puts it where it belongs.
    void finish(const Group& g) const {
        if (g.n > 1) sort_small(g.a, g.n, g.offset);
        if (g.in_scratch) copy_items(g.a, g.n, g.tmp);
    }

    // Moves g on past the byte at g.shift, whose value all its items share.
    void descend(Group& g) const {
        if (g.shift > 0) {
            g.shift -= 8;
            return;
        }
        const std::size_t ended = next_word(g.a, g.n, g.offset);
        if (g.in_scratch) copy_items(g.a, ended, g.tmp);
        g.a += ended;
        g.tmp += ended;
        g.n -= ended;
        g.offset += 8;
        g.shift = 56;
    }

    // For a group whose items all share the byte at g.shift: moves on past every later byte of
    // the word they share too, in one pass rather than a count per byte (long shared
    // prefixes: paths, URLs).
    void skip_shared(Group& g) const {
        const std::uint64_t first = g.a[0].word;
        std::uint64_t diff = 0;
        for (std::size_t i = 1; i < g.n; ++i) diff |= g.a[i].word ^ first;
        const std::uint64_t below = g.shift == 0 ? 0 : diff & ((std::uint64_t{1} << g.shift) - 1);
        if (below == 0) {
            g.shift = 0;  // the rest of the word is shared: on to the next one
            descend(g);
            if (g.n > kSmallGroup) skip_shared_words(g);
            return;
        }
        g.shift = (63 - std::countl_zero(below)) / 8 * 8;
    }

    // Moves g on past the whole words from g.offset that all its items share, found by
    // comparing each label with the first once, instead of a word at a time. An item that ends
    // inside them is a prefix of the others; its zero-padded word still sorts it first.
    void skip_shared_words(Group& g) const {
        const std::string_view first = labels[g.a[0].id];
        if (first.size() <= g.offset) return;
        const char* base = first.data() + g.offset;
        std::size_t common = first.size() - g.offset;
        for (std::size_t i = 1; i < g.n && common >= 8; ++i) {
            const std::string_view s = labels[g.a[i].id];
            const std::size_t room = s.size() > g.offset ? s.size() - g.offset : 0;
            const std::size_t limit = std::min(common, room);
            const char* p = s.data() + g.offset;
            common = static_cast<std::size_t>(std::mismatch(base, base + limit, p).first - base);
        }
        if (common < 8) return;
        g.offset += common / 8 * 8;
        for (std::size_t i = 0; i < g.n; ++i) g.a[i].word = word_at(labels[g.a[i].id], g.offset);
    }

    void serial(Group g) const {
        for (;;) {
            if (g.n <= kSmallGroup) {
                finish(g);
                return;
            }
            std::uint32_t count[256] = {};
            for (std::size_t i = 0; i < g.n; ++i) ++count[digit(g.a[i], g.shift)];
            const unsigned biggest =
                static_cast<unsigned>(std::max_element(count, count + 256) - count);
            if (count[biggest] == g.n) {
                skip_shared(g);
                continue;
            }
            std::uint32_t start[257];
            start[0] = 0;
            for (unsigned d = 0; d < 256; ++d) start[d + 1] = start[d] + count[d];
            std::uint32_t fill[256];
            std::copy(start, start + 256, fill);
            for (std::size_t i = 0; i < g.n; ++i) g.tmp[fill[digit(g.a[i], g.shift)]++] = g.a[i];
            for (unsigned d = 0; d < 256; ++d) {
                if (d == biggest || count[d] == 0) continue;
                Group s = g.bucket(start[d], count[d]);
                if (s.n <= kSmallGroup) {
                    finish(s);  // the word still orders them: no need to move past this byte
                    continue;
                }
                descend(s);
                serial(s);
            }
            g = g.bucket(start[biggest], count[biggest]);
            descend(g);
        }
    }

    void parallel(Group g) const {
        for (;;) {
            if (g.n < kParallelGroup) {
                serial(g);
                return;
            }
            const std::size_t blocks = (g.n + kBlock - 1) / kBlock;
            std::vector<std::array<std::size_t, 256>> counts(blocks);
            pool::for_each_index(0, blocks, [&](std::size_t b) {
                auto& c = counts[b];
                c.fill(0);
                for (std::size_t i = b * kBlock, hi = std::min(g.n, i + kBlock); i < hi; ++i) {
                    ++c[digit(g.a[i], g.shift)];
                }
            });
            std::size_t total[256] = {};
            for (const auto& c : counts) {
                for (unsigned d = 0; d < 256; ++d) total[d] += c[d];
            }
            const unsigned biggest =
                static_cast<unsigned>(std::max_element(total, total + 256) - total);
            if (total[biggest] == g.n) {
                skip_shared(g);
                continue;
            }
            std::size_t start[257];
            start[0] = 0;
            for (unsigned d = 0; d < 256; ++d) start[d + 1] = start[d] + total[d];
            // counts[b][d] becomes where block b's first item of digit d goes.
            for (unsigned d = 0; d < 256; ++d) {
                std::size_t at = start[d];
                for (auto& c : counts) at += std::exchange(c[d], at);
            }
            pool::for_each_index(0, blocks, [&](std::size_t b) {
                auto& fill = counts[b];
                for (std::size_t i = b * kBlock, hi = std::min(g.n, i + kBlock); i < hi; ++i) {
                    g.tmp[fill[digit(g.a[i], g.shift)]++] = g.a[i];
                }
            });
            pool::for_each_index(0, 256, [&](std::size_t d) {
                if (d == biggest || total[d] == 0) return;
                Group s = g.bucket(start[d], total[d]);
                if (s.n > 1) descend(s);
                parallel(s);
            });
            g = g.bucket(start[biggest], total[biggest]);
            descend(g);
        }
    }
};

}  // namespace

std::unique_ptr<SortedLabel[]> sort_distinct_labels(const std::string_view* labels, std::size_t n) {
    auto items = uninitialized<Item>(n);
    if (n == 0) return items;
    auto scratch = uninitialized<Item>(n);
    pool::for_each_range(0, n, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
            const std::size_t size = labels[i].size();
            items[i] = {word_at(labels[i], 0), static_cast<std::uint32_t>(i),
                        size < kHugeSize ? static_cast<std::uint32_t>(size) : kHugeSize};
        }
    });
    Sorter{labels}.parallel({items.get(), scratch.get(), n, 0, 56, false});
    return items;
}

}  // namespace vandra::detail
