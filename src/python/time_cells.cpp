#include "python/time_cells.hpp"

#include <utility>

#include <algorithm>

#include "lib/internal_error.hpp"
#include "python/cell_text.hpp"

namespace vandra {
NumpyTimeUnit numpy_time_unit(PyObject* dtype) {
    PyRef numpy = checked(PyImport_ImportModule("numpy"));
    PyRef data = checked(PyObject_CallMethod(numpy.get(), "datetime_data", "O", dtype));
    NumpyTimeUnit unit;
    PyObject* name = nullptr;
    long long count = 0;
    if (!PyArg_ParseTuple(data.get(), "UL", &name, &count)) throw PythonError{};
    unit.name = str_text_copy(name);
    unit.count = count;
    return unit;
}

std::optional<TimeUnit> time_unit(const NumpyTimeUnit& unit) {
    if (unit.count != 1) return std::nullopt;
    const std::string& n = unit.name;
    if (n == "D") return TimeUnit::day;
    if (n == "h") return TimeUnit::hour;
    if (n == "m") return TimeUnit::minute;
    if (n == "s") return TimeUnit::second;
    if (n == "ms") return TimeUnit::milli;
    if (n == "us") return TimeUnit::micro;
    if (n == "ns") return TimeUnit::nano;
    return std::nullopt;
}

NumpyDatetimeCells::NumpyDatetimeCells(Boxer boxer, const std::vector<std::uint64_t>& values,
                                       const NumpyTimeUnit& unit, std::uint32_t null_id)
    : DistinctCells(std::move(boxer)), values_(values), unit_(time_unit(unit)), null_id_(null_id) {
    if (!unit_) return;
    std::int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (std::size_t id = 0; id < values_.size(); ++id) {
        const auto v = static_cast<std::int64_t>(values_[id]);
        if (id == null_id_ || v == kNaT) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    all_written_ = lo > hi || (in_written_years(lo, *unit_) && in_written_years(hi, *unit_));
}

std::optional<double> NumpyDatetimeCells::own_number(std::uint32_t id) const {
    const auto v = static_cast<std::int64_t>(values_[id]);
    if (unit_ != TimeUnit::nano || v == kNaT) return std::nullopt;
    return static_cast<double>(v);
}

bool NumpyDatetimeCells::renders(std::uint32_t id) const {
    if (id == null_id_) return false;
    const auto v = static_cast<std::int64_t>(values_[id]);
    return v == kNaT || (unit_ && (all_written_ || in_written_years(v, *unit_)));
}

std::string_view NumpyDatetimeCells::own_text(std::uint32_t id) const {
    const auto v = static_cast<std::int64_t>(values_[id]);
    if (v == kNaT) return "NaT";
    numpy_datetime_text(v, *unit_, scratch_);
    return scratch_;
}

// ISO texts of one unit are of one width in the years 1 to 9999: they ascend with time.
std::optional<DistinctCells::TextKey> NumpyDatetimeCells::text_key(std::uint32_t id) const {
    const auto v = static_cast<std::int64_t>(values_[id]);
    if (v == kNaT) return std::nullopt;
    return TextKey{v, 0};
}

// Timestamp texts ascend with their wall-clock time: a whole second is a prefix of the texts
// of its fractions, and 6 fraction digits (microseconds) one of the 9 of a nanosecond value;
// the UTC offset that follows starts with '+' or '-', which sort before '.' and the digits.
// Equal wall-clock times (the hour repeated when clocks go back) ascend by offset text: "+"
// before "-", then "+HH:MM[:SS]" by size and "-HH:MM[:SS]" by magnitude.
std::optional<DistinctCells::TextKey> TimestampCells::text_key(std::uint32_t id) const {
    if (offsets_.empty()) return TextKey{wall_[id], 0};
    const std::int64_t off = offsets_[id];
    const auto rank = off >= 0 ? static_cast<std::uint64_t>(off)
                               : (std::uint64_t{1} << 62) + static_cast<std::uint64_t>(-off);
    return TextKey{wall_[id], rank};
}

TimestampCells::TimestampCells(Boxer boxer, std::vector<std::int64_t> wall, TimeUnit unit,
                               std::vector<std::int64_t> offsets,
                               std::vector<std::uint8_t> renderable)
    : DistinctCells(std::move(boxer)),
      wall_(std::move(wall)),
      unit_(unit),
      offsets_(std::move(offsets)),
      renderable_(std::move(renderable)) {}

std::string_view TimestampCells::own_text(std::uint32_t id) const {
    std::optional<std::int64_t> offset;
    if (!offsets_.empty()) offset = offsets_[id];
    if (!timestamp_text(wall_[id], unit_, offset, scratch_)) {
        throw InternalError("a Timestamp outside the years 1 to 9999 was not boxed");
    }
    return scratch_;
}

}  // namespace vandra
