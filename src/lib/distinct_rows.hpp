// The rows of one column numbered by their distinct values, so that work done per value
// (boxing, float conversion, rendering text) is done once per value instead of once per row.
// Ids count from 0 in order of first occurrence: value k first occurs at first_row[k], and
// first_row ascends.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>
#include <vector>

#include "lib/byte_hash.hpp"
#include "lib/label_table.hpp"
#include "lib/scratch.hpp"

namespace vandra {

// Per-row ids live only while a call runs: their memory is the call's scratch.
using RowIds = scratch::vector<std::uint32_t>;

struct DistinctRows {
    RowIds ids;                              // one per row
    scratch::vector<std::size_t> first_row;  // one per distinct value
    static constexpr std::uint32_t kNoId = 0xFFFFFFFF;

    std::size_t rows() const noexcept { return ids.size(); }
    std::size_t count() const noexcept { return first_row.size(); }
};

namespace detail {

// Ids must leave room for twice their number (a value's two label forms, see to_entries).
inline void check_rows(std::size_t rows) {
    if (rows >= LabelTable::kMaxLabels) throw std::bad_alloc();
}

}  // namespace detail

// Rows given as codes 0 <= code(i) < codes (category codes, dictionary indices).
template <class Code>
DistinctRows distinct_codes(std::size_t rows, std::size_t codes, Code code) {
    detail::check_rows(rows);
    DistinctRows d;
    d.ids.resize(rows);
    scratch::vector<std::uint32_t> id_of(codes, DistinctRows::kNoId);
    for (std::size_t i = 0; i < rows; ++i) {
        std::uint32_t& id = id_of[code(i)];
        if (id == DistinctRows::kNoId) {
            id = static_cast<std::uint32_t>(d.first_row.size());
            d.first_row.push_back(i);
        }
        d.ids[i] = id;
    }
    return d;
}

// Rows given as 64-bit words (numbers, datetimes, durations); rows that are not valid(i)
// (nulls) share one id whatever their word. `values` holds each id's word (0 for the nulls).
struct DistinctWords {
    DistinctRows rows;
    std::vector<std::uint64_t> values;
    std::uint32_t null_id = DistinctRows::kNoId;
};

// A number as its 64-bit word: integers as int64 or uint64 bits, floats as the bits of the
// double they widen to.
template <class T>
std::uint64_t number_word(T v) {
    if constexpr (std::is_floating_point_v<T>) {
        return std::bit_cast<std::uint64_t>(static_cast<double>(v));
    } else if constexpr (std::is_signed_v<T>) {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
    } else {
        return static_cast<std::uint64_t>(v);
    }
}

// A set of 64-bit words numbered in order of insertion: open addressing, linear probing, at
// most half full.
class WordTable {
  public:
    // The id of `word`, inserted with id `next` if new.
    [[gnu::always_inline]] std::uint32_t insert(std::uint64_t word, std::uint32_t next) {
        for (std::size_t i = slot_of(word);; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (s.id_plus_one == 0) {
                s = Slot{word, next + 1};
                if (2 * ++size_ > slots_.size()) grow();
                return next;
            }
            if (s.word == word) return s.id_plus_one - 1;
        }
    }
    // Starts loading the slot `word` probes first.
    void prefetch(std::uint64_t word) const noexcept { __builtin_prefetch(&slots_[slot_of(word)]); }
    // Room for `words` distinct words without growing (an empty table only).
    void reserve(std::size_t words) {
        std::size_t n = slots_.size();
        while (n < 2 * words) n *= 2;
        if (n == slots_.size()) return;
        slots_ = scratch::vector<Slot>(n, Slot{0, 0});
        mask_ = n - 1;
    }

  private:
    struct Slot {
        std::uint64_t word;
        std::uint32_t id_plus_one;  // 0: empty
    };
    std::size_t slot_of(std::uint64_t word) const noexcept {
        return detail::fold_mul(word ^ seed_, detail::kHashK1) & mask_;
    }
    void grow() {
        scratch::vector<Slot> old(slots_.size() * 2, Slot{0, 0});
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        for (const Slot& s : old) {
            if (s.id_plus_one == 0) continue;
            std::size_t i = slot_of(s.word);
            while (slots_[i].id_plus_one != 0) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    std::uint64_t seed_ = process_hash_seed();
    scratch::vector<Slot> slots_ = scratch::vector<Slot>(64, Slot{0, 0});
    std::size_t mask_ = 63;
    std::size_t size_ = 0;
};

namespace detail {

// Numbers rows by `lookup(word)`, a function giving a word's id or inserting it with the id
// passed: the part shared by the hashed and the direct tables.
template <class Word, class Valid, class Lookup>
DistinctWords number_words(std::size_t rows, Word word, Valid valid, Lookup lookup,
                           std::size_t expected = 0) {
    check_rows(rows);
    DistinctWords d;
    d.rows.ids.resize(rows);
    d.values.reserve(expected);
    d.rows.first_row.reserve(expected);
    for (std::size_t i = 0; i < rows; ++i) {
        const auto next = static_cast<std::uint32_t>(d.values.size());
        std::uint32_t id;
        std::uint64_t w = 0;
        if (!valid(i)) {
            if (d.null_id == DistinctRows::kNoId) d.null_id = next;
            id = d.null_id;
        } else {
            w = word(i);
            id = lookup(w, next, i);
        }
        if (id == next) {
            d.values.push_back(w);
            d.rows.first_row.push_back(i);
        }
        d.rows.ids[i] = id;
    }
    return d;
}

}  // namespace detail

template <class Word, class Valid>
DistinctWords distinct_words(std::size_t rows, Word word, Valid valid) {
    constexpr std::size_t kAhead = 8;  // rows whose slot is fetched ahead
    WordTable table;
    std::size_t expected = 0;
    // Where the first rows are nearly all distinct, so is the column, most likely (times of
    // events): the table is sized for every row at once instead of doubling a dozen times.
    constexpr std::size_t kSample = 1024;
    if (rows >= 4 * kSample) {
        WordTable sample;
        std::size_t distinct = 0;
        for (std::size_t i = 0; i < kSample; ++i) {
            if (valid(i) &&
                sample.insert(word(i), static_cast<std::uint32_t>(distinct)) == distinct)
                ++distinct;
        }
        if (distinct >= kSample - kSample / 16) {
            table.reserve(rows);
            expected = rows;
        }
    }
    return detail::number_words(
        rows, word, valid,
        [&](std::uint64_t w, std::uint32_t next, std::size_t i) {
            if (i + kAhead < rows && valid(i + kAhead)) table.prefetch(word(i + kAhead));
            return table.insert(w, next);
        },
        expected);
}

// Every row of a column of 8-byte values at data + i * stride bytes (datetimes, durations,
// period ordinals). Where the values other than INT64_MIN (NaT) span a range not much wider
// than the rows (periods, dates in days), a table indexed by value replaces the hashing, with
// one more slot for NaT.
inline DistinctWords distinct_words(std::size_t rows, const char* data, std::ptrdiff_t stride) {
    auto word = [=](std::size_t i) {
        std::uint64_t w;
        std::memcpy(&w, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof w);
        return w;
    };
    auto all = [](std::size_t) { return true; };
    constexpr std::uint64_t kNaT = std::uint64_t{1} << 63;
    std::uint64_t lo = UINT64_MAX, hi = 0;  // as signed values shifted to unsigned order
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint64_t w = word(i);
        if (w == kNaT) continue;
        const std::uint64_t k = w ^ kNaT;
        lo = k < lo ? k : lo;
        hi = k > hi ? k : hi;
    }
    const std::size_t limit = rows < (std::size_t{1} << 16) ? std::size_t{1} << 16 : rows;
    if (lo > hi || hi - lo >= limit) return distinct_words(rows, word, all);
    const std::size_t nat_slot = hi - lo + 1;
    scratch::vector<std::uint32_t> id_of(nat_slot + 1, DistinctRows::kNoId);
    return detail::number_words(
        rows, word, all, [&](std::uint64_t w, std::uint32_t next, std::size_t) {
            std::uint32_t& id = id_of[w == kNaT ? nat_slot : (w ^ kNaT) - lo];
            if (id == DistinctRows::kNoId) id = next;
            return id;
        });
}

// The same for integers (int64 bits when `is_signed`, else uint64): where they span a range
// not much wider than the rows, a table indexed by value replaces the hashing.
template <class Word, class Valid>
DistinctWords distinct_integers(std::size_t rows, Word word, Valid valid, bool is_signed) {
    auto key = [is_signed](std::uint64_t w) {  // order-preserving as unsigned
        return is_signed ? w ^ (std::uint64_t{1} << 63) : w;
    };
    std::uint64_t lo = UINT64_MAX, hi = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        if (!valid(i)) continue;
        const std::uint64_t k = key(word(i));
        lo = k < lo ? k : lo;
        hi = k > hi ? k : hi;
    }
    const std::size_t limit = rows < (std::size_t{1} << 16) ? std::size_t{1} << 16 : rows;
    if (lo > hi || hi - lo >= limit) return distinct_words(rows, word, valid);
    scratch::vector<std::uint32_t> id_of(hi - lo + 1, DistinctRows::kNoId);
    return detail::number_words(rows, word, valid,
                                [&](std::uint64_t w, std::uint32_t next, std::size_t) {
                                    std::uint32_t& id = id_of[key(w) - lo];
                                    if (id == DistinctRows::kNoId) id = next;
                                    return id;
                                });
}

// Rows given as byte strings (fixed-width or variable-width text); rows that are not valid(i)
// share one id. `views` holds each id's bytes, as view(i) gave them (empty for the nulls);
// they must stay valid as long as they are used.
struct DistinctBytes {
    DistinctRows rows;
    std::vector<std::string_view> views;
    std::uint32_t null_id = DistinctRows::kNoId;
};

template <class View, class Valid>
DistinctBytes distinct_bytes(std::size_t rows, View view, Valid valid) {
    detail::check_rows(rows);
    DistinctBytes d;
    d.rows.ids.resize(rows);
    detail::LabelTable table;
    const ByteHash hash;
    std::vector<std::uint32_t> id_of;  // table id -> value id, when there are nulls
    for (std::size_t i = 0; i < rows; ++i) {
        const auto next = static_cast<std::uint32_t>(d.views.size());
        std::uint32_t id;
        if (!valid(i)) {
            if (d.null_id == DistinctRows::kNoId) d.null_id = next;
            id = d.null_id;
            if (id == next) d.views.emplace_back();
        } else {
            const std::string_view v = view(i);
            const std::uint32_t t = table.insert(v, hash(v));
            if (t == id_of.size()) {
                id_of.push_back(next);
                d.views.push_back(v);
            }
            id = id_of[t];
        }
        if (id == next) d.rows.first_row.push_back(i);
        d.rows.ids[i] = id;
    }
    return d;
}

// The ids found in rows [from, rows()), in order of their first occurrence there.
std::vector<std::uint32_t> ids_from(const DistinctRows& d, std::size_t from);

}  // namespace vandra
