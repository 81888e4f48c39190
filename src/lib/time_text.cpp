#include "lib/time_text.hpp"

namespace vandra {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Units per day.
std::int64_t per_day(TimeUnit unit) {
    switch (unit) {
        case TimeUnit::day: return 1;
        case TimeUnit::hour: return 24;
        case TimeUnit::minute: return 24 * 60;
        case TimeUnit::second: return kSecondsPerDay;
        case TimeUnit::milli: return kSecondsPerDay * 1000;
        case TimeUnit::micro: return kSecondsPerDay * 1000000;
        case TimeUnit::nano: return kSecondsPerDay * 1000000000;
    }
    return 1;
}

struct Civil {
    std::int64_t year;
    unsigned month, day;
    std::int64_t ticks;  // units into the day
};

// A count of units since 1970-01-01 to a proleptic Gregorian date and the units into its day
// (H. Hinnant's civil_from_days).
Civil civil(std::int64_t value, TimeUnit unit) {
    const std::int64_t n = per_day(unit);
    std::int64_t days = value / n, ticks = value % n;
    if (ticks < 0) {
        ticks += n;
        --days;
    }
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return Civil{static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d, ticks};
}

std::optional<Civil> written(std::int64_t value, TimeUnit unit) {
    // Beyond +-2^62 units no unit reaches the years 1..9999, and civil() cannot overflow.
    constexpr std::int64_t kFar = std::int64_t{1} << 62;
    if (value > kFar || value < -kFar) return std::nullopt;
    const Civil c = civil(value, unit);
    if (c.year < 1 || c.year > 9999) return std::nullopt;
    return c;
}

// Appends v (non-negative) as exactly `digits` decimal digits, zero-padded.
void put(std::string& out, std::int64_t v, int digits) {
    char buf[20];
    for (int k = digits - 1; k >= 0; --k, v /= 10) buf[k] = static_cast<char>('0' + v % 10);
    out.append(buf, static_cast<std::size_t>(digits));
}

void put2(std::string& out, std::int64_t v) {
    const char two[2] = {static_cast<char>('0' + v / 10), static_cast<char>('0' + v % 10)};
    out.append(two, 2);
}

void put_date(std::string& out, const Civil& c) {
    put2(out, c.year / 100);
    put2(out, c.year % 100);
    out += '-';
    put2(out, c.month);
    out += '-';
    put2(out, c.day);
}

void put_clock(std::string& out, std::int64_t seconds) {
    put2(out, seconds / 3600);
    out += ':';
    put2(out, seconds / 60 % 60);
    out += ':';
    put2(out, seconds % 60);
}

}  // namespace

bool in_written_years(std::int64_t value, TimeUnit unit) {
    return written(value, unit).has_value();
}

bool numpy_datetime_text(std::int64_t value, TimeUnit unit, std::string& out) {
    const auto c = written(value, unit);
    if (!c) return false;
    out.clear();
    put_date(out, *c);
    if (unit == TimeUnit::day) return true;
    out += 'T';
    if (unit == TimeUnit::hour) {
        put2(out, c->ticks);
        return true;
    }
    if (unit == TimeUnit::minute) {
        put2(out, c->ticks / 60);
        out += ':';
        put2(out, c->ticks % 60);
        return true;
    }
    const std::int64_t per_second = per_day(unit) / kSecondsPerDay;
    put_clock(out, c->ticks / per_second);
    const int digits = unit == TimeUnit::milli ? 3 : unit == TimeUnit::micro ? 6
                       : unit == TimeUnit::nano ? 9 : 0;
    if (digits > 0) {
        out += '.';
        put(out, c->ticks % per_second, digits);
    }
    return true;
}

bool timestamp_text(std::int64_t value, TimeUnit unit, std::optional<std::int64_t> offset_seconds,
                    std::string& out) {
    if (unit != TimeUnit::second && unit != TimeUnit::milli && unit != TimeUnit::micro &&
        unit != TimeUnit::nano)
        return false;
    const auto c = written(value, unit);
    if (!c) return false;
    const std::int64_t per_second = per_day(unit) / kSecondsPerDay;
    // The fraction in nanoseconds.
    const std::int64_t nanos = c->ticks % per_second * (1000000000 / per_second);
    out.clear();
    put_date(out, *c);
    out += ' ';
    put_clock(out, c->ticks / per_second);
    if (nanos % 1000 != 0) {
        out += '.';
        put(out, nanos, 9);
    } else if (nanos != 0) {
        out += '.';
        put(out, nanos / 1000, 6);
    }
    if (offset_seconds) {
        std::int64_t off = *offset_seconds;
        out += off < 0 ? '-' : '+';
        if (off < 0) off = -off;
        put2(out, off / 3600);
        out += ':';
        put2(out, off / 60 % 60);
        if (off % 60 != 0) {
            out += ':';
            put2(out, off % 60);
        }
    }
    return true;
}

bool timedelta_text(std::int64_t value, TimeUnit unit, std::string& out) {
    if (unit != TimeUnit::second && unit != TimeUnit::milli && unit != TimeUnit::micro &&
        unit != TimeUnit::nano)
        return false;
    const std::int64_t n = per_day(unit), per_second = n / kSecondsPerDay;
    std::int64_t days = value / n, ticks = value % n;
    if (ticks < 0) {
        ticks += n;
        --days;
    }
    const std::int64_t seconds = ticks / per_second;
    const std::int64_t nanos = ticks % per_second * (1000000000 / per_second);
    out = std::to_string(days);
    out += value < 0 ? " days +" : " days ";
    put_clock(out, seconds);
    if (nanos % 1000 != 0) {
        out += '.';
        put(out, nanos, 9);
    } else if (nanos != 0) {
        out += '.';
        put(out, nanos / 1000, 6);
    }
    return true;
}

void numpy_timedelta_text(std::int64_t value, TimeUnit unit, std::string& out) {
    const char* words = nullptr;
    switch (unit) {
        case TimeUnit::day: words = " days"; break;
        case TimeUnit::hour: words = " hours"; break;
        case TimeUnit::minute: words = " minutes"; break;
        case TimeUnit::second: words = " seconds"; break;
        case TimeUnit::milli: words = " milliseconds"; break;
        case TimeUnit::micro: words = " microseconds"; break;
        case TimeUnit::nano: words = " nanoseconds"; break;
    }
    out = std::to_string(value);
    out += words;
}

}  // namespace vandra
