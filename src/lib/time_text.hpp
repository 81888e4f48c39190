// Texts of datetimes, exactly as numpy's datetime64 and pandas' Timestamp write them, for
// the years 1 to 9999 (nullopt outside: such values are left to Python).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

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
// where none is written.
inline constexpr std::size_t kTimeTextMax = 64;
std::size_t timestamp_text(std::int64_t value, TimeUnit unit,
                           std::optional<std::int64_t> offset_seconds, char* out);
std::size_t numpy_datetime_text(std::int64_t value, TimeUnit unit, char* out);

// A count of units as pandas writes a Timedelta: "0 days 00:00:01", "-1 days +23:59:59.500000"
// (whole days rounded down, the rest of the day after them), 6 fraction digits when it has
// microseconds, 9 when it has nanoseconds. Units from second down; false for others.
bool timedelta_text(std::int64_t value, TimeUnit unit, std::string& out);

// A count of units as numpy's str() writes a timedelta64 of that unit: "5 seconds".
void numpy_timedelta_text(std::int64_t value, TimeUnit unit, std::string& out);

}  // namespace vandra
