// Texts of datetimes, exactly as numpy's datetime64 and pandas' Timestamp write them, for
// the years 1 to 9999 (nullopt outside: such values are left to Python).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vandra {

enum class TimeUnit { day, hour, minute, second, milli, micro, nano };

inline constexpr std::int64_t kSecondsPerDay = 86400;
// How many of `unit` make a day (1 for days, 86400 for seconds, ...).
std::int64_t units_per_day(TimeUnit unit);

// Whether a count of units since 1970-01-01T00:00 lies in the years 1 to 9999.
bool in_written_years(std::int64_t value, TimeUnit unit);

// A count of units since 1970-01-01T00:00 as numpy's str() writes a datetime64 of that unit:
// ISO 8601 down to the unit ("2013-01-01", "2013-01-01T05", ..., "2013-01-01T05:00:00.000000"
// for microseconds). Replaces the contents of `out`; false (out unspecified) outside the years.
bool numpy_datetime_text(std::int64_t value, TimeUnit unit, std::string& out);

// The same count (wall-clock time) as pandas writes a Timestamp: "2013-01-01 05:00:00", with
// 6 fraction digits when it has microseconds, 9 when it has nanoseconds, and the UTC offset
// when it has one ("+00:00", "-04:56:02"). Units from second down; false for others.
bool timestamp_text(std::int64_t value, TimeUnit unit, std::optional<std::int64_t> offset_seconds,
                    std::string& out);
// The same written to `out`, which has room for kTimeTextMax characters: their number, or 0
// where none is written. kNoOffset stands for no offset.
inline constexpr std::size_t kTimeTextMax = 64;
inline constexpr std::int64_t kNoOffset = INT64_MIN;
std::size_t timestamp_text(std::int64_t value, TimeUnit unit, std::int64_t offset_seconds,
                           char* out);
std::size_t numpy_datetime_text(std::int64_t value, TimeUnit unit, char* out);

// A count of units as pandas writes a Timedelta: "0 days 00:00:01", "-1 days +23:59:59.500000"
// (whole days rounded down, the rest of the day after them), 6 fraction digits when it has
// microseconds, 9 when it has nanoseconds. Units from second down; false for others.
bool timedelta_text(std::int64_t value, TimeUnit unit, std::string& out);
std::size_t timedelta_text(std::int64_t value, TimeUnit unit, char* out);

// Keys in the byte order of the Timedelta texts of a set of values of one unit. Those texts
// sort by sign ("-" first), then by the digits of their whole days as text ("10 days" before
// "9 days"), then by the rest of the day, which ascends with time (a clock of one width and
// its fraction). So each distinct day is ranked by its text, and a value's key is its day's
// rank followed by its units into that day.
class TimedeltaTextOrder {
  public:
    // nullopt where the unit is not written here or the keys would not fit in 63 bits.
    static std::optional<TimedeltaTextOrder> of(std::vector<std::int64_t> values, TimeUnit unit);
    // The key of one of the values given, and the value of a key.
    std::int64_t key(std::int64_t value) const;
    std::int64_t value(std::int64_t key) const;

  private:
    static constexpr std::uint64_t kDenseDays = std::uint64_t{1} << 16;
    TimeUnit unit_ = TimeUnit::second;
    bool dense_ = false;  // rank_ is indexed by day - first_day_
    std::int64_t first_day_ = 0;
    std::vector<std::int64_t> days_;  // else: the distinct days, ascending
    std::vector<std::int64_t> rank_;  // per day: its text's rank
    std::vector<std::int64_t> day_of_rank_;
};

// A count of units as numpy's str() writes a timedelta64 of that unit: "5 seconds".
void numpy_timedelta_text(std::int64_t value, TimeUnit unit, std::string& out);

}  // namespace vandra

namespace vandra {

// The frequencies of pandas' Periods whose str() is written here: multiples of one; years
// and quarters ending in December; weeks ending on Sunday.
enum class PeriodFreq {
    year,
    quarter,
    month,
    week,
    business,
    day,
    hour,
    minute,
    second,
    milli,
    micro,
    nano
};

// The frequency of a period dtype as str() names it ("period[D]", "period[Q-DEC]", ...);
// nullopt for the others.
std::optional<PeriodFreq> period_freq(std::string_view dtype);

// A Period's ordinal as pandas writes the Period: "2013", "2013Q1", "2013-01",
// "2012-12-31/2013-01-06" (a week), "2013-01-01", "2013-01-01 05:00" (hours and minutes),
// "2013-01-01 05:00:00" with 3, 6 or 9 fraction digits for ms, us and ns. Within the years
// 1000 to 9999 (pandas' versions write earlier years differently) these are of one width per
// frequency, so they ascend with the ordinal. Writes to `out` (room for kTimeTextMax
// characters) and returns the size, or 0 outside those years.
std::size_t period_text(std::int64_t ordinal, PeriodFreq freq, char* out);

}  // namespace vandra
