// Column data that encoding reads in place instead of from per-column lists: numbers straight
// from another array's memory or looked up per row in a table of distinct values, and text
// columns whose labels are made inside their own encoding task (so their views exist only
// while that column is encoded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "lib/code_map.hpp"

namespace vandra {

// A numeric column in memory: element i is the value of `type` at data + i * stride bytes;
// for type `indexed`, the double at position index[i] of the table at `data`.
struct NumberView {
    enum class Type : std::uint8_t {
        none,
        f64,
        f32,
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
        indexed
    };
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;
    Type type = Type::none;  // none: the column is not read from memory
    const std::uint32_t* index = nullptr;  // indexed only

    explicit operator bool() const noexcept { return type != Type::none; }
};

// Writes elements [lo, hi) of `v` as doubles to out[(i - lo) * out_stride]: each value as
// its float conversion gives it (integers rounded to nearest, a bool as 0 or 1).
void copy_numbers(const NumberView& v, std::size_t lo, std::size_t hi, double* out,
                  std::ptrdiff_t out_stride) noexcept;

// The labels of one text column, made on demand from memory that stays valid for the call.
class LabelSource {
  public:
    virtual ~LabelSource() = default;
    virtual std::size_t length() const = 0;
    // Writes length() views, one per row in row order. Safe to call from any thread.
    virtual void fill(std::string_view* out) const = 0;
    // Label-encodes the column: codes[i] for row i, the fit returned. By default from the
    // views fill() makes.
    virtual CodeMap encode(double* codes) const;
};

// Rows that each name one of a few labels by index: row i's label is entries[index[i]].
// Encoding sorts only the entries that some row names and then looks each row's code up by
// its index, never hashing a row's bytes. Entries no row names may be anything.
class IndexedLabels final : public LabelSource {
  public:
    IndexedLabels(std::vector<std::string_view> entries, std::vector<std::uint32_t> index)
        : entries_(std::move(entries)), index_(std::move(index)) {}

    std::size_t length() const override { return index_.size(); }
    void fill(std::string_view* out) const override;
    CodeMap encode(double* codes) const override;

  private:
    std::vector<std::string_view> entries_;
    std::vector<std::uint32_t> index_;
};

}  // namespace vandra
