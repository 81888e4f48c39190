// Column data that encoding reads in place instead of from per-column lists: numbers straight
// from another array's memory or looked up per row in a table of distinct values, and text
// columns whose labels are made inside their own encoding task (so their views exist only
// while that column is encoded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/code_map.hpp"
#include "lib/distinct_rows.hpp"
#include "lib/key_sort.hpp"

namespace vandra {

struct NumberView;

// A numeric column held in several pieces (an Arrow column's chunks): part k holds rows
// [starts[k], starts[k + 1]).
struct NumberParts {
    const NumberView* parts = nullptr;
    const std::size_t* starts = nullptr;  // count + 1 entries
    std::size_t count = 0;
};

// A numeric column in memory: element i is the value of `type` at data + i * stride bytes;
// for type `indexed`, the double at position index[i] of the table at `data`; for type
// `chunked`, element i of the part of `chunks` that holds row i.
struct NumberView {
    enum class Type : std::uint8_t {
        none,
        f64,
        f32,
        f16,
        longdouble,
        i8,
        i16,
        i32,
        i64,
        u8,
        u16,
        u32,
        u64,
        boolean,
        indexed,
        chunked
    };
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;
    Type type = Type::none;                // none: the column is not read from memory
    const std::uint32_t* index = nullptr;  // indexed only
    NumberParts chunks{};                  // chunked only
    bool swapped = false;                  // elements in the other byte order (not indexed)

    explicit operator bool() const noexcept { return type != Type::none; }
};

// Writes elements [lo, hi) of `v` as doubles to out[(i - lo) * out_stride]: each value as
// its float conversion gives it (integers rounded to nearest, a bool as 0 or 1).
void copy_numbers(const NumberView& v, std::size_t lo, std::size_t hi, double* out,
                  std::ptrdiff_t out_stride) noexcept;

// Columns of one element type copied side by side, at most this many (each is a stream read).
inline constexpr std::size_t kMaxSideBySide = 16;
// Rows [lo, hi) of `cols` (at most kMaxSideBySide) columns `views`, all of one plain element
// type and byte order (not indexed or chunked), to out row-major: element (i, j) at
// out[(i - lo) * cols + j], each as copy_numbers gives it. Each row is written whole, the
// columns read side by side, where copying column by column would write every row once per
// column.
void copy_rows_side_by_side(const NumberView* views, std::size_t cols, std::size_t lo,
                            std::size_t hi, double* out) noexcept;

// The labels of one text column, made on demand from memory that stays valid for the call.
class LabelSource {
  public:
    virtual ~LabelSource() = default;
    virtual std::size_t length() const = 0;
    // Label-encodes the column: codes[i] for row i, the fit returned. Runs on the worker pool.
    virtual CodeMap encode(double* codes) const = 0;
};

// The labels of a column read by its distinct values (lib/distinct_rows.hpp): each value has
// two forms, 2 * id (its number's text, taken by rows before `from`) and 2 * id + 1 (its own
// text, from `from` on). Encoding sorts only the forms some row takes (`named`) and then gives
// each row its form's code, never hashing a row's bytes.
class DistinctLabels final : public LabelSource {
  public:
    DistinctLabels(std::vector<std::string_view> forms, std::vector<std::uint32_t> named,
                   RowIds ids, std::size_t from)
        : forms_(std::move(forms)), named_(std::move(named)), ids_(std::move(ids)), from_(from) {}

    std::size_t length() const override { return ids_.size(); }
    CodeMap encode(double* codes) const override;

  private:
    std::vector<std::string_view> forms_;
    std::vector<std::uint32_t> named_;
    RowIds ids_;
    std::size_t from_;
};

// The text of a value on demand, from the key its texts are ordered by (so that texts
// rendered in order read their inputs in order). Safe to call from any thread.
class ValueRenderer {
  public:
    static constexpr std::size_t kMaxText = 64;
    virtual ~ValueRenderer() = default;
    // The text, written to `buf` (room for kMaxText characters) or held elsewhere; valid
    // until the next call with the same `buf`.
    virtual std::string_view text(const KeyedItem& value, char* buf) const = 0;
};

// The labels of a column read by its distinct values whose every row takes its value's own
// text, where the texts of most values are known to be distinct and to ascend with numbers
// (rendered datetimes, periods, a categorical's ascending categories): `ordered` lists those values
// (their keys and ids) in ascending order, rendered only when the fit is written; `others` are the
// few other values (cells boxed by Python: NaT, a missing marker) with their texts, merged in by
// comparing texts. Nothing is hashed or sorted by text.
class OrderedLabels final : public LabelSource {
  public:
    OrderedLabels(RowIds ids, std::size_t values, KeyedItems ordered,
                  std::vector<std::pair<std::uint32_t, std::string_view>> others,
                  std::shared_ptr<const ValueRenderer> renderer)
        : ids_(std::move(ids)),
          values_(values),
          ordered_(std::move(ordered)),
          others_(std::move(others)),
          renderer_(std::move(renderer)) {}

    std::size_t length() const override { return ids_.size(); }
    CodeMap encode(double* codes) const override;

  private:
    RowIds ids_;
    std::size_t values_;
    KeyedItems ordered_;
    std::vector<std::pair<std::uint32_t, std::string_view>> others_;
    std::shared_ptr<const ValueRenderer> renderer_;
};

// Distinct values with distinct dense keys and texts (a categorical's categories and their
// codes): value v has key key_of[v] in 0 .. keys - 1, or -1 for a missing value; in_order
// lists the values with a key as values_by_key does. A value's text is held per key, or per
// value where by_key is empty; the views' bytes are held by whoever owns this.
struct KeyedTexts {
    scratch::vector<std::int64_t> key_of;
    std::size_t keys = 0;
    KeyedItems in_order;
    scratch::vector<std::string_view> by_key;
    scratch::vector<std::string_view> by_value;

    // The text of an item {key, 0, value} of in_order.
    std::string_view text(const KeyedItem& v) const {
        return by_key.empty() ? by_value[v.item] : by_key[static_cast<std::size_t>(v.key)];
    }
    // Whether the texts strictly ascend with the keys.
    bool ascend() const {
        for (std::size_t k = 1; k < in_order.size(); ++k) {
            if (!(text(in_order[k - 1]) < text(in_order[k]))) return false;
        }
        return true;
    }
};

// The values of `key_of` with a key (>= 0) as items {key, 0, value}, by ascending key; keys
// are distinct.
KeyedItems values_by_key(const scratch::vector<std::int64_t>& key_of, std::size_t keys);

// The labels of a column whose every row takes its value's own text, the values' texts
// strictly ascending with their keys: a value's code is its key's rank among the keys, so
// nothing is hashed or sorted by text. Missing values, and texts that are missing labels,
// are NaN.
class KeyRankLabels final : public LabelSource {
  public:
    KeyRankLabels(RowIds ids, std::shared_ptr<const KeyedTexts> texts)
        : ids_(std::move(ids)), texts_(std::move(texts)) {}

    std::size_t length() const override { return ids_.size(); }
    CodeMap encode(double* codes) const override;

  private:
    RowIds ids_;
    std::shared_ptr<const KeyedTexts> texts_;
};

}  // namespace vandra
