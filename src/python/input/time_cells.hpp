// Cells of datetime and timedelta values whose text is rendered here: numpy's datetime64 and
// timedelta64 scalars, and pandas' Timestamp and Timedelta.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/column_sources.hpp"
#include "lib/distinct_rows.hpp"
#include "lib/time_text.hpp"
#include "python/input/distinct_column.hpp"

namespace vandra {

// A datetime64 / timedelta64 dtype's unit as numpy.datetime_data gives it ("us", 1).
struct NumpyTimeUnit {
    std::string name;
    std::int64_t count = 1;
};
NumpyTimeUnit numpy_time_unit(PyObject* dtype);
// The unit as rendered here (counts other than 1 are not).
std::optional<TimeUnit> time_unit(const NumpyTimeUnit& unit);

inline constexpr std::int64_t kNaT = INT64_MIN;

// Whether a numpy datetime64 (or timedelta64) scalar of `unit` holding `v` converts to a
// Python date, datetime or timedelta (or, in nanoseconds, to an int), which is what its
// rendered text stands beside; else numpy hands out the scalar's count as an int.
bool converts_to_python(std::int64_t v, TimeUnit unit, bool timedelta);

// numpy datetime64 (or timedelta64) scalars of `unit`, for the distinct values `values`. A
// scalar's float value is that of the Python object it converts to: a date, datetime or
// timedelta has none (units from days to microseconds, within Python's ranges), an int
// (nanoseconds) is the count itself. Rendered: NaT, and the units from days to nanoseconds
// within those ranges; the others are boxed.
class NumpyTimeCells final : public DistinctCells {
  public:
    // `null_id`: a missing value's id (boxed), or DistinctRows::kNoId.
    NumpyTimeCells(Boxer boxer, std::vector<std::uint64_t> values, const NumpyTimeUnit& unit,
                   bool timedelta, std::uint32_t null_id);

  private:
    struct Texts;
    bool renders(std::uint32_t id) const override;
    std::optional<TextKey> text_key(std::uint32_t id) const override;
    std::optional<double> own_number(std::uint32_t id) const override;
    std::string_view own_text(std::uint32_t id) const override;
    std::shared_ptr<const ValueRenderer> renderer() const override;
    bool in_range(std::int64_t v) const { return converts_to_python(v, *unit_, timedelta_); }

    std::shared_ptr<const Texts> texts_;
    std::optional<TimeUnit> unit_;
    bool timedelta_;
    std::uint32_t null_id_;
    bool all_in_range_ = false;  // every value other than NaT converts to a Python object
};

// A UTC offset's rank among the ties of one wall-clock time: seconds east as they are, seconds
// west counted from kNegativeOffset. Offsets of kMaxOffsetSeconds or more are not rendered
// (Python's tzinfo keeps them under a day).
inline constexpr std::uint32_t kNegativeOffset = std::uint32_t{1} << 31;
inline constexpr std::int64_t kMaxOffsetSeconds = std::int64_t{1} << 30;

// str() of pandas Timestamps (wall-clock values of `unit`, and per value its UTC offset in
// seconds where the column has a time zone); values that are not `renderable` are boxed.
class TimestampCells final : public DistinctCells {
  public:
    TimestampCells(Boxer boxer, std::vector<std::int64_t> wall, TimeUnit unit,
                   std::vector<std::int64_t> offsets, std::vector<std::uint8_t> renderable);

  private:
    struct Texts;
    std::optional<TextKey> text_key(std::uint32_t id) const override;
    bool renders(std::uint32_t id) const override { return renderable_[id] != 0; }
    std::optional<double> own_number(std::uint32_t) const override { return std::nullopt; }
    std::string_view own_text(std::uint32_t id) const override;
    std::shared_ptr<const ValueRenderer> renderer() const override;

    std::shared_ptr<const Texts> texts_;
    std::vector<std::uint8_t> renderable_;
};

// str() of pandas Timedeltas of `unit`; missing values and NaT are boxed.
class TimedeltaCells final : public DistinctCells {
  public:
    TimedeltaCells(Boxer boxer, std::vector<std::uint64_t> values, TimeUnit unit,
                   std::uint32_t null_id);

  private:
    struct Texts;
    bool renders(std::uint32_t id) const override;
    std::optional<double> own_number(std::uint32_t) const override { return std::nullopt; }
    std::string_view own_text(std::uint32_t id) const override;
    std::optional<TextKey> text_key(std::uint32_t id) const override;
    std::shared_ptr<const ValueRenderer> renderer() const override;

    std::shared_ptr<const Texts> texts_;
    std::uint32_t null_id_;
};

}  // namespace vandra
