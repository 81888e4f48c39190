#include "lib/time_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vandra {
namespace {

// Floor division and its remainder, for any divisor > 0 (no product that could overflow near
// the ends of the range).
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - (a % b < 0 ? 1 : 0);
}
std::int64_t floor_mod(std::int64_t a, std::int64_t b) {
    const std::int64_t r = a % b;
    return r < 0 ? r + b : r;
}

struct Civil {
    std::int64_t year;
    unsigned month, day;
    std::int64_t ticks;  // units into the day
};

// Floor division by a constant: the compiler turns it into a multiplication.
template <std::int64_t N>
void split(std::int64_t value, std::int64_t& days, std::int64_t& ticks) {
    days = value / N;
    ticks = value % N;
    if (ticks < 0) {
        ticks += N;
        --days;
    }
}

bool second_or_finer(TimeUnit unit) {
    return unit == TimeUnit::second || unit == TimeUnit::milli || unit == TimeUnit::micro ||
           unit == TimeUnit::nano;
}

// f(std::integral_constant<std::int64_t, units per second>{}) for a unit of a second or
// finer: the divisions by the unit then compile to multiplications.
template <class F>
decltype(auto) with_per_second(TimeUnit unit, F f) {
    switch (unit) {
        case TimeUnit::milli: return f(std::integral_constant<std::int64_t, 1000>{});
        case TimeUnit::micro: return f(std::integral_constant<std::int64_t, 1000000>{});
        case TimeUnit::nano: return f(std::integral_constant<std::int64_t, 1000000000>{});
        default: return f(std::integral_constant<std::int64_t, 1>{});
    }
}

// A count of units since 1970-01-01 to a proleptic Gregorian date and the units into its day
// (H. Hinnant's civil_from_days). Values rendered in order mostly share their day with the
// one before: the last day's date is kept per thread.
Civil civil(std::int64_t value, TimeUnit unit) {
    std::int64_t days = 0, ticks = 0;
    switch (unit) {
        case TimeUnit::day: days = value; break;
        case TimeUnit::hour: split<24>(value, days, ticks); break;
        case TimeUnit::minute: split<24 * 60>(value, days, ticks); break;
        case TimeUnit::second: split<kSecondsPerDay>(value, days, ticks); break;
        case TimeUnit::milli: split<kSecondsPerDay * 1000>(value, days, ticks); break;
        case TimeUnit::micro: split<kSecondsPerDay * 1000000>(value, days, ticks); break;
        case TimeUnit::nano: split<kSecondsPerDay * 1000000000>(value, days, ticks); break;
    }
    thread_local std::int64_t last_days = INT64_MIN;
    thread_local Civil last{};
    if (days != last_days) {
        const std::int64_t z = days + 719468;
        const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
        const auto doe = static_cast<unsigned>(z - era * 146097);
        const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
        const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
        const unsigned mp = (5 * doy + 2) / 153;
        const unsigned d = doy - (153 * mp + 2) / 5 + 1;
        const unsigned m = mp < 10 ? mp + 3 : mp - 9;
        last = Civil{static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0), m, d, 0};
        last_days = days;
    }
    Civil c = last;
    c.ticks = ticks;
    return c;
}

std::optional<Civil> written(std::int64_t value, TimeUnit unit) {
    // Beyond +-2^62 units no unit reaches the years 1..9999, and civil() cannot overflow.
    constexpr std::int64_t kFar = std::int64_t{1} << 62;
    if (value > kFar || value < -kFar) return std::nullopt;
    const Civil c = civil(value, unit);
    if (c.year < 1 || c.year > 9999) return std::nullopt;
    return c;
}

constexpr auto kTwoDigits = [] {
    std::array<char, 200> t{};
    for (int v = 0; v < 100; ++v) {
        t[2 * v] = static_cast<char>('0' + v / 10);
        t[2 * v + 1] = static_cast<char>('0' + v % 10);
    }
    return t;
}();

// Writes texts of at most kTimeTextMax characters.
class Writer {
  public:
    explicit Writer(char* out) : buf_(out), p_(out) {}

    // v (non-negative) as exactly `digits` decimal digits, zero-padded.
    void digits(std::int64_t v, int n) {
        int k = n;
        for (; k >= 2; k -= 2, v /= 100) std::memcpy(p_ + k - 2, &kTwoDigits[2 * (v % 100)], 2);
        if (k == 1) p_[0] = static_cast<char>('0' + v % 10);
        p_ += n;
    }
    // v (0 to 99) as two digits, from a table: one store instead of a division's digits.
    void two(std::int64_t v) {
        std::memcpy(p_, &kTwoDigits[2 * v], 2);
        p_ += 2;
    }
    void put(char c) { *p_++ = c; }
    void put(const char* text) {
        while (*text) *p_++ = *text++;
    }
    void date(const Civil& c) {
        two(c.year / 100);
        two(c.year % 100);
        put('-');
        two(c.month);
        put('-');
        two(c.day);
    }
    void clock(std::int64_t seconds) {
        two(seconds / 3600);
        put(':');
        two(seconds / 60 % 60);
        put(':');
        two(seconds % 60);
    }
    // `ticks` of `unit` (a second or finer) into a day: the clock, then the unit's every
    // fraction digit (3 for milliseconds, 6 for micro-, 9 for nanoseconds).
    void clock_in(std::int64_t ticks, TimeUnit unit) {
        const std::int64_t per_second = units_per_day(unit) / kSecondsPerDay;
        clock(ticks / per_second);
        const int n = unit == TimeUnit::milli   ? 3
                      : unit == TimeUnit::micro ? 6
                      : unit == TimeUnit::nano  ? 9
                                                : 0;
        if (n > 0) {
            put('.');
            digits(ticks % per_second, n);
        }
    }
    // A fraction of a second given in nanoseconds: 6 digits when it is whole microseconds,
    // else 9, none when it is 0.
    void fraction(std::int64_t nanos) {
        if (nanos % 1000 != 0) {
            put('.');
            digits(nanos, 9);
        } else if (nanos != 0) {
            put('.');
            digits(nanos / 1000, 6);
        }
    }
    std::size_t size() const { return static_cast<std::size_t>(p_ - buf_); }

  private:
    char* buf_;
    char* p_;
};

// Runs a writer on a stack buffer and hands its text over to `out`.
template <class F>
bool to_string(std::string& out, F write) {
    char buf[kTimeTextMax];
    const std::size_t n = write(buf);
    if (n == 0) return false;
    out.assign(buf, n);
    return true;
}

}  // namespace

std::int64_t units_per_day(TimeUnit unit) {
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

bool in_written_years(std::int64_t value, TimeUnit unit) {
    return written(value, unit).has_value();
}

std::size_t numpy_datetime_text(std::int64_t value, TimeUnit unit, char* out) {
    const auto c = written(value, unit);
    if (!c) return 0;
    Writer w(out);
    w.date(*c);
    if (unit == TimeUnit::hour) {
        w.put('T');
        w.two(c->ticks);
    } else if (unit == TimeUnit::minute) {
        w.put('T');
        w.two(c->ticks / 60);
        w.put(':');
        w.two(c->ticks % 60);
    } else if (unit != TimeUnit::day) {
        w.put('T');
        w.clock_in(c->ticks, unit);
    }
    return w.size();
}

bool numpy_datetime_text(std::int64_t value, TimeUnit unit, std::string& out) {
    return to_string(out, [&](char* buf) { return numpy_datetime_text(value, unit, buf); });
}

std::size_t timestamp_text(std::int64_t value, TimeUnit unit, std::int64_t offset_seconds,
                           char* out) {
    if (!second_or_finer(unit)) return 0;
    const auto c = written(value, unit);
    if (!c) return 0;
    return with_per_second(unit, [&](auto per_second) {
        constexpr std::int64_t kPerSecond = decltype(per_second)::value;
        Writer w(out);
        w.date(*c);
        w.put(' ');
        w.clock(c->ticks / kPerSecond);
        w.fraction(c->ticks % kPerSecond * (1000000000 / kPerSecond));
        if (offset_seconds != kNoOffset) {
            std::int64_t off = offset_seconds;
            w.put(off < 0 ? '-' : '+');
            if (off < 0) off = -off;
            w.two(off / 3600);
            w.put(':');
            w.two(off / 60 % 60);
            if (off % 60 != 0) {
                w.put(':');
                w.two(off % 60);
            }
        }
        return w.size();
    });
}

bool timestamp_text(std::int64_t value, TimeUnit unit, std::optional<std::int64_t> offset_seconds,
                    std::string& out) {
    return to_string(out, [&](char* buf) {
        return timestamp_text(value, unit, offset_seconds.value_or(kNoOffset), buf);
    });
}

std::size_t timedelta_text(std::int64_t value, TimeUnit unit, char* out) {
    if (!second_or_finer(unit)) return 0;
    return with_per_second(unit, [&](auto per_second) {
        constexpr std::int64_t kPerSecond = decltype(per_second)::value;
        constexpr std::int64_t n = kPerSecond * kSecondsPerDay;
        const std::int64_t days = floor_div(value, n), ticks = floor_mod(value, n);
        char* const at = std::to_chars(out, out + 24, days).ptr;  // at most 20 characters
        Writer w(at);
        w.put(value < 0 ? " days +" : " days ");
        w.clock(ticks / kPerSecond);
        w.fraction(ticks % kPerSecond * (1000000000 / kPerSecond));
        return static_cast<std::size_t>(at - out) + w.size();
    });
}

bool timedelta_text(std::int64_t value, TimeUnit unit, std::string& out) {
    return to_string(out, [&](char* buf) { return timedelta_text(value, unit, buf); });
}

std::optional<TimedeltaTextOrder> TimedeltaTextOrder::of(std::vector<std::int64_t> values,
                                                         TimeUnit unit) {
    if (!second_or_finer(unit)) return std::nullopt;
    TimedeltaTextOrder order;
    order.unit_ = unit;
    const std::int64_t per_day = units_per_day(unit);
    with_per_second(unit, [&](auto per_second) {
        constexpr std::int64_t kPerSecond = decltype(per_second)::value;
        for (std::int64_t& v : values) v = floor_div(v, kPerSecond * kSecondsPerDay);
    });
    // The distinct days: marked in a table where they span few (the common case), else sorted.
    const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
    if (lo != values.end() && static_cast<std::uint64_t>(*hi) - static_cast<std::uint64_t>(*lo) <
                                  std::max<std::uint64_t>(kDenseDays, values.size())) {
        order.first_day_ = *lo;
        std::vector<std::uint8_t> seen(static_cast<std::size_t>(*hi - *lo) + 1, 0);
        for (const std::int64_t d : values)
            seen[static_cast<std::size_t>(d - order.first_day_)] = 1;
        values.clear();
        for (std::size_t k = 0; k < seen.size(); ++k) {
            if (seen[k]) values.push_back(order.first_day_ + static_cast<std::int64_t>(k));
        }
        order.dense_ = true;
    } else {
        std::sort(values.begin(), values.end());
        values.erase(std::unique(values.begin(), values.end()), values.end());
    }
    if (!values.empty() && static_cast<std::int64_t>(values.size()) > INT64_MAX / per_day - 1)
        return std::nullopt;
    // Each day's text up to " days": negative days first ('-' sorts before the digits), then
    // by their digits as text, a shorter one first where it is a prefix (' ' follows it).
    struct Day {
        bool positive;
        char digits[24];
        std::size_t size;
        std::size_t at;  // in values
    };
    std::vector<Day> by_text(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) {
        Day& d = by_text[k];
        d.positive = values[k] >= 0;
        const std::uint64_t magnitude = d.positive ? static_cast<std::uint64_t>(values[k])
                                                   : 0 - static_cast<std::uint64_t>(values[k]);
        d.size = static_cast<std::size_t>(std::to_chars(d.digits, d.digits + 24, magnitude).ptr -
                                          d.digits);
        d.at = k;
    }
    std::sort(by_text.begin(), by_text.end(), [](const Day& a, const Day& b) {
        if (a.positive != b.positive) return b.positive;
        return std::string_view(a.digits, a.size) < std::string_view(b.digits, b.size);
    });
    // Ranks by position among the distinct days, or, where dense, by day.
    order.rank_.assign(order.dense_ && !values.empty()
                           ? static_cast<std::size_t>(values.back() - order.first_day_) + 1
                           : values.size(),
                       0);
    order.day_of_rank_.resize(by_text.size());
    for (std::size_t r = 0; r < by_text.size(); ++r) {
        const std::size_t k = by_text[r].at;
        order.day_of_rank_[r] = values[k];
        const std::size_t at =
            order.dense_ ? static_cast<std::size_t>(values[k] - order.first_day_) : k;
        order.rank_[at] = static_cast<std::int64_t>(r);
    }
    if (!order.dense_) order.days_ = std::move(values);
    return order;
}

std::int64_t TimedeltaTextOrder::key(std::int64_t value) const {
    return with_per_second(unit_, [&](auto per_second) {
        constexpr std::int64_t kPerSecond = decltype(per_second)::value;
        constexpr std::int64_t per_day = kPerSecond * kSecondsPerDay;
        const std::int64_t day = floor_div(value, per_day);
        const auto at = dense_ ? day - first_day_
                               : std::lower_bound(days_.begin(), days_.end(), day) - days_.begin();
        return rank_[static_cast<std::size_t>(at)] * per_day + floor_mod(value, per_day);
    });
}

std::int64_t TimedeltaTextOrder::value(std::int64_t key) const {
    return with_per_second(unit_, [&](auto per_second) {
        constexpr std::int64_t kPerSecond = decltype(per_second)::value;
        constexpr std::int64_t per_day = kPerSecond * kSecondsPerDay;
        // In wrapping arithmetic: the day's start may lie before the range's (INT64_MIN + 1 ns).
        const auto day =
            static_cast<std::uint64_t>(day_of_rank_[static_cast<std::size_t>(key / per_day)]);
        return static_cast<std::int64_t>(day * static_cast<std::uint64_t>(per_day) +
                                         static_cast<std::uint64_t>(key % per_day));
    });
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

namespace vandra {
namespace {

// pandas' versions write years below 1000 differently ("999" or "0999"): those are left to
// pandas.
bool in_period_years(std::int64_t year) {
    return year >= 1000 && year <= 9999;
}

std::optional<Civil> period_day(std::int64_t value, TimeUnit unit) {
    const auto c = written(value, unit);
    if (!c || !in_period_years(c->year)) return std::nullopt;
    return c;
}

TimeUnit unit_of(PeriodFreq freq) {
    switch (freq) {
        case PeriodFreq::hour: return TimeUnit::hour;
        case PeriodFreq::minute: return TimeUnit::minute;
        case PeriodFreq::second: return TimeUnit::second;
        case PeriodFreq::milli: return TimeUnit::milli;
        case PeriodFreq::micro: return TimeUnit::micro;
        case PeriodFreq::nano: return TimeUnit::nano;
        default: return TimeUnit::day;
    }
}

}  // namespace

std::optional<PeriodFreq> period_freq(std::string_view dtype) {
    constexpr std::pair<std::string_view, PeriodFreq> kNames[] = {
        {"period[Y-DEC]", PeriodFreq::year}, {"period[Q-DEC]", PeriodFreq::quarter},
        {"period[M]", PeriodFreq::month},    {"period[W-SUN]", PeriodFreq::week},
        {"period[B]", PeriodFreq::business}, {"period[D]", PeriodFreq::day},
        {"period[h]", PeriodFreq::hour},     {"period[min]", PeriodFreq::minute},
        {"period[s]", PeriodFreq::second},   {"period[ms]", PeriodFreq::milli},
        {"period[us]", PeriodFreq::micro},   {"period[ns]", PeriodFreq::nano}};
    for (const auto& [name, freq] : kNames) {
        if (dtype == name) return freq;
    }
    return std::nullopt;
}

std::size_t period_text(std::int64_t ordinal, PeriodFreq freq, char* out) {
    // Years, quarters, months, weeks and business days reach the years 1 to 9999 within
    // +-2^40 periods; the arithmetic below does not overflow there.
    constexpr std::int64_t kFar = std::int64_t{1} << 40;
    if (freq <= PeriodFreq::business && (ordinal > kFar || ordinal < -kFar)) return 0;
    Writer w(out);
    switch (freq) {
        case PeriodFreq::year:
        case PeriodFreq::quarter:
        case PeriodFreq::month: {
            const std::int64_t per_year = freq == PeriodFreq::year      ? 1
                                          : freq == PeriodFreq::quarter ? 4
                                                                        : 12;
            const std::int64_t year = 1970 + floor_div(ordinal, per_year);
            if (!in_period_years(year)) return 0;
            w.digits(year, 4);
            if (freq == PeriodFreq::quarter) {
                w.put('Q');
                w.put(static_cast<char>('1' + floor_mod(ordinal, 4)));
            } else if (freq == PeriodFreq::month) {
                w.put('-');
                w.two(floor_mod(ordinal, 12) + 1);
            }
            return w.size();
        }
        case PeriodFreq::week: {
            // Week 1 ends on Sunday 1970-01-04 (day 3).
            const std::int64_t end = 7 * ordinal - 4;
            const auto first = period_day(end - 6, TimeUnit::day);
            if (!first) return 0;
            const Civil start = *first;  // civil() keeps one date per thread
            const auto last = period_day(end, TimeUnit::day);
            if (!last) return 0;
            w.date(start);
            w.put('/');
            w.date(*last);
            return w.size();
        }
        case PeriodFreq::business: {
            // Five business days a week; ordinal 0 is Thursday 1970-01-01.
            const std::int64_t days = floor_div(ordinal + 3, 5) * 7 + floor_mod(ordinal + 3, 5) - 3;
            const auto c = period_day(days, TimeUnit::day);
            if (!c) return 0;
            w.date(*c);
            return w.size();
        }
        default: break;
    }
    const TimeUnit unit = unit_of(freq);
    const auto c = period_day(ordinal, unit);
    if (!c) return 0;
    w.date(*c);
    if (unit == TimeUnit::day) return w.size();
    w.put(' ');
    if (unit == TimeUnit::hour || unit == TimeUnit::minute) {
        const std::int64_t minutes = unit == TimeUnit::hour ? c->ticks * 60 : c->ticks;
        w.two(minutes / 60);
        w.put(':');
        w.two(minutes % 60);
        return w.size();
    }
    w.clock_in(c->ticks, unit);
    return w.size();
}

}  // namespace vandra
