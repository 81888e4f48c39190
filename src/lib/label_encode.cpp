// Label encoding on the worker pool: deduplicate by hashing, sort only the distinct labels,
// then give every row its label's code.
//
// Deduplication takes one of two routes, chosen by a sample of the rows. Where labels repeat
// a lot, each fixed chunk of rows deduplicates in a small table of its own, and the chunks'
// distinct labels (few) are merged. Where most labels are distinct, per-chunk tables would
// hold nearly every row and the merge would repeat the work; instead the rows are grouped by
// hash bits into partitions whose tables stay in cache, and each partition deduplicates on
// its own. Both end in the same numbering: a radix sort of the distinct labels, codes by
// sorted position (missing-value texts skipped), and the code map filled in code order.
#include "lib/label_encode.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "lib/byte_hash.hpp"
#include "lib/huge_pages.hpp"
#include "lib/label_table.hpp"
#include "lib/sort_labels.hpp"
#include "pool/pool.hpp"

namespace vandra {

bool is_missing_label(std::string_view label) {
    return label == "nan" || label == "NaN" || label == "<NA>";
}

namespace {

using detail::LabelStrategy;
using detail::LabelTable;
using detail::uninitialized;

// Rows per chunk: many chunks per thread, and local ids that fit 16 bits.
constexpr std::size_t kChunkRows = std::size_t{1} << 16;
// Rows sampled to estimate how many distinct labels the column holds: runs of consecutive
// rows (cheap to fetch) spread evenly over it.
constexpr std::size_t kSampleRuns = 256, kSampleRun = 16;
// Per-chunk tables pay while the column is expected to hold at most this many labels (on
// 1,000,000 rows the two routes cost the same at about 14,000).
constexpr std::size_t kChunkTableLabels = 12000;
// Up to this many labels a chunk's table stays in the L1 cache, and fetching slots ahead
// costs more than it saves.
constexpr std::size_t kCachedTableLabels = 256;
// Chunks' distinct labels are merged in this many partitions, chosen by the hash's top bits.
constexpr unsigned kMergeBits = 6;
// Labels per partition the partitioned route aims at: table, views and hashes well inside a
// core's L2 cache.
constexpr std::size_t kPartitionLabels = std::size_t{1} << 13;
constexpr unsigned kMinPartitionBits = 4, kMaxPartitionBits = 12;
// How many rows ahead label bytes are fetched (and slots half as far ahead).
constexpr std::size_t kPrefetchAhead = 16;
// Sorted positions per block of the numbering scan.
constexpr std::size_t kScanBlock = std::size_t{1} << 14;

std::size_t partition_of(std::uint64_t hash, unsigned bits) {
    return static_cast<std::size_t>(hash >> (64 - bits));
}

// The distinct labels of all tables, back to back: table t's id d becomes base[t] + d.
std::unique_ptr<std::string_view[]> concatenate(const std::vector<LabelTable>& tables,
                                                std::vector<std::size_t>& base) {
    base.assign(tables.size() + 1, 0);
    for (std::size_t t = 0; t < tables.size(); ++t) base[t + 1] = base[t] + tables[t].size();
    auto all = uninitialized<std::string_view>(base.back());
    pool::for_each_index(0, tables.size(), [&](std::size_t t) {
        std::copy(tables[t].labels().begin(), tables[t].labels().end(), all.get() + base[t]);
    });
    return all;
}

// Sorts the m distinct labels, sets code_of[id] for each (NaN for missing-value texts) and
// returns the coded labels in code order. Two parallel passes over blocks of sorted
// positions: the first counts codes and bytes per block, the second, starting from the
// totals of the blocks before, numbers the labels and copies them into the map.
CodeMap number_distinct(const std::string_view* distinct, std::size_t m, double* code_of) {
    const auto sorted = detail::sort_distinct_labels(distinct, m);
    // Only texts of 3 or 4 bytes can be missing-value texts: others need no look at their bytes.
    auto missing = [&](const detail::SortedLabel& x) {
        return (x.size == 3 || x.size == 4) && is_missing_label(distinct[x.id]);
    };
    auto size_of = [&](const detail::SortedLabel& x) -> std::size_t {
        return x.size != detail::kHugeSize ? x.size : distinct[x.id].size();
    };
    struct Tally {
        std::size_t coded = 0;
        std::size_t bytes = 0;
    };
    const std::size_t blocks = (m + kScanBlock - 1) / kScanBlock;
    std::vector<Tally> before(blocks);
    pool::for_each_index(0, blocks, [&](std::size_t b) {
        Tally t;
        for (std::size_t s = b * kScanBlock, hi = std::min(m, s + kScanBlock); s < hi; ++s) {
            if (missing(sorted[s])) continue;
            ++t.coded;
            t.bytes += size_of(sorted[s]);
        }
        before[b] = t;
    });
    Tally total;
    for (Tally& t : before) {
        const Tally mine = t;
        t = total;
        total.coded += mine.coded;
        total.bytes += mine.bytes;
    }
    CodeMap map(total.coded, total.bytes);
    std::uint64_t* const offsets = map.offsets();
    char* const bytes = map.bytes();
    pool::for_each_index(0, blocks, [&](std::size_t b) {
        Tally at = before[b];
        for (std::size_t s = b * kScanBlock, hi = std::min(m, s + kScanBlock); s < hi; ++s) {
            // The views of later labels and then their bytes are fetched ahead.
            if (s + 2 * kPrefetchAhead < hi)
                __builtin_prefetch(&distinct[sorted[s + 2 * kPrefetchAhead].id]);
            if (s + kPrefetchAhead < hi)
                __builtin_prefetch(distinct[sorted[s + kPrefetchAhead].id].data());
            const std::uint32_t id = sorted[s].id;
            if (missing(sorted[s])) {
                code_of[id] = kQuietNaN;
                continue;
            }
            const std::string_view v = distinct[id];
            code_of[id] = static_cast<double>(at.coded);
            if (!v.empty()) std::memcpy(bytes + at.bytes, v.data(), v.size());
            at.bytes += v.size();
            offsets[++at.coded] = at.bytes;
        }
    });
    return map;
}

// The distinct labels of all tables, numbered: table t's id d has code code_of[base[t] + d].
struct Numbered {
    std::vector<std::size_t> base;
    std::unique_ptr<double[]> code_of;
    CodeMap map;
};

// Tables of many labels are many heap blocks of a few tens of KiB, which the allocator keeps
// once freed: handed back to the system before the sort takes memory of its own, they no
// longer add to the call's peak.
constexpr std::size_t kTrimBytes = std::size_t{64} << 20;
void release_free_heap() noexcept {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

// The tables go as soon as their labels are gathered: the sort needs memory of its own.
Numbered number_tables(std::vector<LabelTable>&& tables) {
    Numbered n;
    const auto distinct = concatenate(tables, n.base);
    std::vector<LabelTable>().swap(tables);
    const std::size_t m = n.base.back();
    if (m * sizeof(std::string_view) >= kTrimBytes) release_free_heap();
    n.code_of = uninitialized<double>(m);
    n.map = number_distinct(distinct.get(), m, n.code_of.get());
    return n;
}

// Calls f(first, views, count) for each block of rows [lo, hi) in order: `count` views of
// rows first, first + 1, ...
template <class F>
void for_each_block(const RowLabels& labels, std::size_t lo, std::size_t hi, F&& f) {
    constexpr std::size_t kBlock = RowLabels::kBlockRows;
    std::string_view buf[kBlock];
    for (std::size_t b = lo; b < hi; b += kBlock) {
        const std::size_t m = std::min(hi, b + kBlock) - b;
        f(b, labels.read(b, b + m, buf), m);
    }
}

// Labels expected in the whole column, from the distinct labels among the sampled rows: the
// D for which that many draws from D equally likely labels would show as many distinct ones.
// For a column of more than kSampleRuns * kSampleRun rows.
std::size_t estimate_distinct(const RowLabels& labels) {
    static_assert(kSampleRun <= RowLabels::kBlockRows);
    const std::size_t n = labels.size();
    const std::size_t s = kSampleRuns * kSampleRun;
    const ByteHash hash;
    LabelTable seen(s);
    std::string_view buf[kSampleRun];
    for (std::size_t r = 0; r < kSampleRuns; ++r) {
        const std::size_t start = r * (n - kSampleRun) / (kSampleRuns - 1);
        const std::string_view* v = labels.read(start, start + kSampleRun, buf);
        for (std::size_t i = 0; i < kSampleRun; ++i) seen.insert(v[i], hash(v[i]));
    }
    const std::size_t d = seen.size();
    if (d + s / 64 >= s) return n;  // nearly all distinct: no telling how many more
    const double draws = static_cast<double>(s), want = static_cast<double>(d);
    double lo = want, hi = static_cast<double>(n);
    for (int i = 0; i < 60; ++i) {
        const double mid = (lo + hi) / 2;
        (mid * -std::expm1(-draws / mid) < want ? lo : hi) = mid;
    }
    return static_cast<std::size_t>(hi);
}

// ---- Per-chunk tables ----

// Rows of a chunk that try the cache of recent views before it is kept or dropped.
constexpr std::size_t kRecentTrialRows = 2048;

// The ids of recently seen views, by address: a direct-mapped cache, one entry per slot.
class RecentViews {
  public:
    // cppcheck-suppress uninitMemberVar ; every entry is set here
    RecentViews() {
        for (Entry& e : entries_) e = {nullptr, SIZE_MAX, 0};  // matches no view
    }
    const std::uint32_t* find(std::string_view v) const noexcept {
        const Entry& e = entries_[slot(v.data())];
        return e.data == v.data() && e.size == v.size() ? &e.id : nullptr;
    }
    std::uint32_t put(std::string_view v, std::uint32_t id) noexcept {
        entries_[slot(v.data())] = {v.data(), v.size(), id};
        return id;
    }

  private:
    struct Entry {
        const char* data;
        std::size_t size;
        std::uint32_t id;
    };
    static constexpr std::size_t kSlots = 512;
    static std::size_t slot(const char* p) noexcept {
        const auto a = reinterpret_cast<std::uintptr_t>(p);
        return (a >> 4 ^ a >> 13) & (kSlots - 1);  // string objects lie 16 bytes apart or more
    }
    Entry entries_[kSlots];
};

// The ids of recently seen labels of at most 7 bytes, by content: the bytes and the length
// make one word, compared in one step, where a table lookup would hash and then compare the
// bytes again. A direct-mapped cache, one entry per slot.
class ShortLabels {
  public:
    static constexpr std::size_t kMaxSize = 7;

    // cppcheck-suppress uninitMemberVar ; every entry is set here
    ShortLabels() {
        for (Entry& e : entries_) e = {kNoKey, 0};
    }
    // v.size() <= kMaxSize.
    static std::uint64_t key_of(std::string_view v) noexcept {
        const char* p = v.data();
        const std::size_t n = v.size();
        std::uint64_t w;
        if (n >= 4) {
            // Two overlapping 4-byte loads, the second shifted to where its bytes lie.
            w = detail::load32(p) | detail::load32(p + n - 4) << (8 * (n - 4));
        } else if (n > 0) {
            // First, middle and last byte: all of its bytes, at this length.
            w = detail::byte_at(p, 0) | detail::byte_at(p, n >> 1) << 8 |
                detail::byte_at(p, n - 1) << 16;
        } else {
            w = 0;
        }
        return w | std::uint64_t{n} << 56;
    }
    // The id of v, from the cache or else from `insert`, which the cache then remembers.
    template <class Insert>
    std::uint32_t id(std::string_view v, Insert&& insert) {
        const std::uint64_t key = key_of(v);
        Entry& e = entries_[slot(key)];
        if (e.key != key) e = {key, insert()};
        return e.id;
    }

  private:
    static constexpr std::uint64_t kNoKey = ~std::uint64_t{0};  // length byte 0xFF: no label's
    // 2,048 slots of 16 bytes (32 KiB): few of at most kCachedTableLabels labels
    // share one.
    static constexpr unsigned kSlotBits = 11;
    struct Entry {
        std::uint64_t key;
        std::uint32_t id;
    };
    static std::size_t slot(std::uint64_t key) noexcept {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits));
    }
    Entry entries_[std::size_t{1} << kSlotBits];
};

struct Chunk {
    LabelTable table;
    // Local ids grouped by merge partition: those of partition p are
    // by_partition[starts[p], starts[p + 1]).
    std::size_t starts[(std::size_t{1} << kMergeBits) + 1] = {};
    std::vector<std::uint32_t> by_partition;
    std::vector<std::uint32_t> merged;  // local id -> id within its partition's merged table
};

CodeMap encode_by_chunks(const RowLabels& labels, double* codes, std::size_t expected) {
    static_assert(kRecentTrialRows % RowLabels::kBlockRows == 0);
    constexpr std::size_t kMerge = std::size_t{1} << kMergeBits;
    const std::size_t n = labels.size();
    const std::size_t chunks = (n + kChunkRows - 1) / kChunkRows;
    std::vector<Chunk> parts(chunks);
    auto local_ids = uninitialized<std::uint16_t>(n);
    const ByteHash hash;

    // 1. Deduplicate each chunk, numbering its rows by local id.
    pool::for_each_index(0, chunks, [&](std::size_t c) {
        Chunk& part = parts[c];
        LabelTable& table = part.table;
        const std::size_t lo = c * kChunkRows, hi = std::min(n, lo + kChunkRows);
        table.reserve(std::min(hi - lo, expected));
        std::uint16_t* const ids = local_ids.get();
        if (expected <= kCachedTableLabels) {
            // Where cells hold the same string object, equal labels are the same bytes: a row
            // whose view matches a recent one takes its id without hashing. A chunk whose
            // first rows rarely match drops the cache.
            RecentViews recent;
            auto recent_or_insert = [&](std::string_view v) {
                const std::uint32_t* id = recent.find(v);
                return id ? *id : recent.put(v, table.insert(v, hash(v)));
            };
            const std::size_t trial = std::min(hi, lo + kRecentTrialRows);
            std::size_t hits = 0;
            for_each_block(labels, lo, trial,
                           [&](std::size_t b, const std::string_view* v, std::size_t m) {
                               for (std::size_t i = 0; i < m; ++i) {
                                   const std::uint32_t* id = recent.find(v[i]);
                                   hits += id != nullptr;
                                   ids[b + i] = static_cast<std::uint16_t>(
                                       id ? *id : recent.put(v[i], table.insert(v[i], hash(v[i]))));
                               }
                           });
            // Otherwise labels of a few bytes are found by their content.
            const bool keep = 2 * hits >= kRecentTrialRows;
            ShortLabels short_labels;
            for_each_block(
                labels, trial, hi, [&](std::size_t b, const std::string_view* v, std::size_t m) {
                    for (std::size_t i = 0; i < m; ++i) {
                        const std::string_view x = v[i];
                        auto insert = [&] { return table.insert(x, hash(x)); };
                        ids[b + i] = static_cast<std::uint16_t>(keep ? recent_or_insert(x)
                                                                : x.size() <= ShortLabels::kMaxSize
                                                                    ? short_labels.id(x, insert)
                                                                    : insert());
                    }
                });
        } else {
            // Hashes run ahead of the inserts, so that the slot each insert probes is already
            // on its way.
            constexpr std::size_t kAhead = kPrefetchAhead / 2;
            std::uint64_t ahead[kAhead];
            for_each_block(labels, lo, hi,
                           [&](std::size_t b, const std::string_view* v, std::size_t m) {
                               for (std::size_t i = 0; i < std::min(m, kAhead); ++i)
                                   ahead[i] = hash(v[i]);
                               for (std::size_t i = 0; i < m; ++i) {
                                   const std::uint64_t h = ahead[i % kAhead];
                                   if (i + kPrefetchAhead < m)
                                       __builtin_prefetch(v[i + kPrefetchAhead].data());
                                   if (i + kAhead < m) {
                                       const std::uint64_t next = hash(v[i + kAhead]);
                                       table.prefetch(next);
                                       ahead[i % kAhead] = next;
                                   }
                                   ids[b + i] = static_cast<std::uint16_t>(table.insert(v[i], h));
                               }
                           });
        }
        table.release_slots();
        const auto& hashes = table.hashes();
        for (std::uint64_t h : hashes) ++part.starts[partition_of(h, kMergeBits) + 1];
        for (std::size_t p = 0; p < kMerge; ++p) part.starts[p + 1] += part.starts[p];
        std::size_t fill[kMerge];
        std::copy(part.starts, part.starts + kMerge, fill);
        part.by_partition.resize(table.size());
        for (std::size_t d = 0; d < hashes.size(); ++d) {
            part.by_partition[fill[partition_of(hashes[d], kMergeBits)]++] =
                static_cast<std::uint32_t>(d);
        }
        part.merged.resize(table.size());
    });

    // 2. Merge the chunks' distinct labels, each partition on its own, chunks in order.
    std::vector<LabelTable> merged(kMerge);
    pool::for_each_index(0, kMerge, [&](std::size_t p) {
        // At least as many labels as any one chunk gives the partition, usually far fewer
        // than all chunks together: start from the former and let it grow.
        std::size_t most = 0;
        for (const Chunk& part : parts) most = std::max(most, part.starts[p + 1] - part.starts[p]);
        LabelTable& table = merged[p];
        table.reserve(most);
        for (Chunk& part : parts) {
            const auto& views = part.table.labels();
            const auto& hashes = part.table.hashes();
            for (std::size_t k = part.starts[p]; k < part.starts[p + 1]; ++k) {
                const std::uint32_t d = part.by_partition[k];
                part.merged[d] = table.insert(views[d], hashes[d]);
            }
        }
        table.release_slots();
    });

    // 3. Number the distinct labels.
    Numbered numbered = number_tables(std::move(merged));
    const std::vector<std::size_t>& base = numbered.base;
    const double* const code_of = numbered.code_of.get();

    // 4. Codes reach the rows through their chunk's local ids.
    pool::for_each_index(0, chunks, [&](std::size_t c) {
        const Chunk& part = parts[c];
        const auto& hashes = part.table.hashes();
        std::vector<double> local_code(hashes.size());
        for (std::size_t d = 0; d < hashes.size(); ++d) {
            local_code[d] = code_of[base[partition_of(hashes[d], kMergeBits)] + part.merged[d]];
        }
        const std::size_t lo = c * kChunkRows, hi = std::min(n, lo + kChunkRows);
        for (std::size_t i = lo; i < hi; ++i) codes[i] = local_code[local_ids[i]];
    });
    return std::move(numbered.map);
}

// ---- Hash partitions ----

// A row as its partition sees it. Labels of 4 GiB or more do not fit; such a column takes
// the per-chunk route.
struct Entry {
    const char* data;
    std::uint32_t size;
    std::uint32_t row;
    std::uint64_t hash;
};

// A row and its label's id within its partition.
struct RowId {
    std::uint32_t row;
    std::uint32_t id;
};

unsigned partition_bits_for(std::size_t expected) {
    unsigned bits = kMinPartitionBits;
    while (bits < kMaxPartitionBits && (kPartitionLabels << bits) < expected) ++bits;
    return bits;
}

std::optional<CodeMap> encode_by_partitions(const RowLabels& labels, double* codes,
                                            std::size_t expected) {
    const std::size_t n = labels.size();
    const unsigned bits = partition_bits_for(expected);
    const std::size_t parts = std::size_t{1} << bits;
    const std::size_t chunks = (n + kChunkRows - 1) / kChunkRows;
    const ByteHash hash;

    // 1. Hash every row and count each chunk's rows per partition.
    auto hashes = uninitialized<std::uint64_t>(n);
    std::vector<std::size_t> at(chunks * parts, 0);
    std::atomic<bool> too_long{false};
    pool::for_each_index(0, chunks, [&](std::size_t c) {
        std::size_t* count = &at[c * parts];
        bool long_label = false;
        const std::size_t lo = c * kChunkRows, hi = std::min(n, lo + kChunkRows);
        for_each_block(labels, lo, hi,
                       [&](std::size_t b, const std::string_view* v, std::size_t m) {
                           for (std::size_t i = 0; i < m; ++i) {
                               if (i + kPrefetchAhead < m)
                                   __builtin_prefetch(v[i + kPrefetchAhead].data());
                               const std::uint64_t h = hash(v[i]);
                               hashes[b + i] = h;
                               ++count[partition_of(h, bits)];
                               long_label |= v[i].size() > UINT32_MAX;
                           }
                       });
        if (long_label) too_long.store(true, std::memory_order_relaxed);
    });
    if (too_long.load(std::memory_order_relaxed)) return std::nullopt;

    // 2. Entries by partition, and inside one in row order: at[c * parts + p] becomes where
    // chunk c's first row of partition p goes.
    std::vector<std::size_t> starts(parts + 1, 0);
    std::size_t pos = 0;
    for (std::size_t p = 0; p < parts; ++p) {
        starts[p] = pos;
        for (std::size_t c = 0; c < chunks; ++c) pos += std::exchange(at[c * parts + p], pos);
    }
    starts[parts] = pos;
    auto entries = uninitialized<Entry>(n);
    pool::for_each_index(0, chunks, [&](std::size_t c) {
        std::size_t* fill = &at[c * parts];
        const std::size_t lo = c * kChunkRows, hi = std::min(n, lo + kChunkRows);
        for_each_block(labels, lo, hi,
                       [&](std::size_t b, const std::string_view* v, std::size_t m) {
                           for (std::size_t i = 0; i < m; ++i) {
                               const std::uint64_t h = hashes[b + i];
                               entries[fill[partition_of(h, bits)]++] = {
                                   v[i].data(), static_cast<std::uint32_t>(v[i].size()),
                                   static_cast<std::uint32_t>(b + i), h};
                           }
                       });
    });
    hashes.reset();

    // 3. Deduplicate each partition; each entry's row gets its label's id within the
    // partition, kept apart so that the entries can go before the labels are sorted.
    std::vector<LabelTable> tables(parts);
    auto row_ids = uninitialized<RowId>(n);
    const std::size_t per_part = expected / parts + expected / parts / 4 + 16;
    pool::for_each_index(0, parts, [&](std::size_t p) {
        LabelTable& table = tables[p];
        const std::size_t lo = starts[p], hi = starts[p + 1];
        table.reserve(std::min(hi - lo, per_part));
        constexpr std::size_t kSlotAhead = kPrefetchAhead / 2;
        for (std::size_t k = lo; k < hi; ++k) {
            if (k + kPrefetchAhead < hi) __builtin_prefetch(entries[k + kPrefetchAhead].data);
            if (k + kSlotAhead < hi) table.prefetch(entries[k + kSlotAhead].hash);
            const Entry& e = entries[k];
            row_ids[k] = {e.row, table.insert(std::string_view(e.data, e.size), e.hash)};
        }
        table.release_slots();
    });
    entries.reset();

    // 4. Number the distinct labels.
    Numbered numbered = number_tables(std::move(tables));
    const std::vector<std::size_t>& base = numbered.base;

    // 5. Each entry's code goes to its row.
    pool::for_each_index(0, parts, [&](std::size_t p) {
        const double* const code = numbered.code_of.get() + base[p];
        for (std::size_t k = starts[p], hi = starts[p + 1]; k < hi; ++k) {
            codes[row_ids[k].row] = code[row_ids[k].id];
        }
    });
    return std::move(numbered.map);
}

}  // namespace

namespace detail {

CodeMap label_encode_with(const RowLabels& labels, double* codes, LabelStrategy strategy) {
    const std::size_t n = labels.size();
    if (n == 0) return {};
    if (n >= LabelTable::kMaxLabels) throw std::bad_alloc();
    const std::size_t expected = n <= kChunkRows ? n : estimate_distinct(labels);
    if (strategy == LabelStrategy::automatic) {
        strategy = n <= kChunkRows || expected <= kChunkTableLabels
                       ? LabelStrategy::chunk_tables
                       : LabelStrategy::hash_partitions;
    }
    if (strategy == LabelStrategy::hash_partitions) {
        if (auto map = encode_by_partitions(labels, codes, expected)) return std::move(*map);
    }
    return encode_by_chunks(labels, codes, expected);
}

}  // namespace detail

CodeMap label_encode(const RowLabels& labels, double* codes) {
    return detail::label_encode_with(labels, codes, detail::LabelStrategy::automatic);
}

CodeMap label_encode(std::span<const std::string_view> labels, double* codes) {
    return label_encode(ViewLabels(labels), codes);
}

LabelEncoding label_encode(std::span<const std::string_view> labels) {
    LabelEncoding out;
    out.codes.reserve(labels.size());
    detail::advise_huge_pages(out.codes.data(), labels.size() * sizeof(double));
    out.codes.resize(labels.size());
    out.code_map = label_encode(labels, out.codes.data());
    return out;
}

}  // namespace vandra
