// Column data that encoding reads in place instead of from per-column lists: numbers straight
// from another array's memory, and text columns whose label views are made inside their own
// encoding task (so they exist only while that column is encoded).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vandra {

// A numeric column in memory: element i is the value of `type` at data + i * stride bytes.
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
        boolean
    };
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;
    Type type = Type::none;  // none: the column is not read from memory

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
};

}  // namespace vandra
