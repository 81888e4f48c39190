#include "python/input/time_cells.hpp"

#include <algorithm>
#include <utility>

#include "python/errors.hpp"
#include "python/input/cell_text.hpp"

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

// The texts of a column's values, kept for as long as encoding may render them.
struct NumpyTimeCells::Texts final : ValueRenderer {
    std::vector<std::uint64_t> values;
    TimeUnit unit = TimeUnit::second;
    bool timedelta = false;

    void render(std::uint32_t id, std::string& out) const {
        text(static_cast<std::int64_t>(values[id]), out);
    }
    // The keyed values are datetimes other than NaT, and their key is the value itself.
    std::string_view text(const KeyedItem& value, char* buf) const override {
        return {buf, numpy_datetime_text(value.key, unit, buf)};
    }
    void text(std::int64_t v, std::string& out) const {
        if (v == kNaT) {
            out = "NaT";
        } else if (timedelta) {
            numpy_timedelta_text(v, unit, out);
        } else {
            numpy_datetime_text(v, unit, out);
        }
    }
};

NumpyTimeCells::NumpyTimeCells(Boxer boxer, std::vector<std::uint64_t> values,
                               const NumpyTimeUnit& unit, bool timedelta, std::uint32_t null_id)
    : DistinctCells(std::move(boxer)),
      unit_(time_unit(unit)),
      timedelta_(timedelta),
      null_id_(null_id) {
    auto texts = std::make_shared<Texts>();
    texts->values = std::move(values);
    texts->timedelta = timedelta;
    if (unit_) texts->unit = *unit_;
    texts_ = texts;
    if (!unit_) return;
    std::int64_t lo = INT64_MAX, hi = INT64_MIN;
    for (std::size_t id = 0; id < texts_->values.size(); ++id) {
        const auto v = static_cast<std::int64_t>(texts_->values[id]);
        if (id == null_id_ || v == kNaT) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    }
    all_in_range_ = lo > hi || (in_range(lo) && in_range(hi));
}

bool converts_to_python(std::int64_t v, TimeUnit unit, bool timedelta) {
    if (!timedelta) return in_written_years(v, unit);
    // Python's timedeltas reach 999,999,999 days; a margin keeps clear of the edge.
    constexpr std::int64_t kDays = 999999000;
    const std::int64_t per_day = units_per_day(unit);
    return v / per_day < kDays && v / per_day > -kDays;
}

bool NumpyTimeCells::renders(std::uint32_t id) const {
    if (id == null_id_) return false;
    const auto v = static_cast<std::int64_t>(texts_->values[id]);
    return v == kNaT || (unit_ && (all_in_range_ || in_range(v)));
}

std::optional<double> NumpyTimeCells::own_number(std::uint32_t id) const {
    const auto v = static_cast<std::int64_t>(texts_->values[id]);
    if (unit_ != TimeUnit::nano || v == kNaT) return std::nullopt;
    return static_cast<double>(v);
}

std::string_view NumpyTimeCells::own_text(std::uint32_t id) const {
    texts_->render(id, scratch_);
    return scratch_;
}

std::shared_ptr<const ValueRenderer> NumpyTimeCells::renderer() const {
    return texts_;
}

// ISO texts of one unit are of one width in the years 1 to 9999: they ascend with time.
std::optional<DistinctCells::TextKey> NumpyTimeCells::text_key(std::uint32_t id) const {
    const auto v = static_cast<std::int64_t>(texts_->values[id]);
    if (v == kNaT || timedelta_) return std::nullopt;
    return TextKey{v, 0};
}

// The values, kept for as long as encoding may render them, and their texts' order.
struct TimedeltaCells::Texts final : ValueRenderer {
    std::vector<std::uint64_t> values;
    TimeUnit unit = TimeUnit::second;
    std::optional<TimedeltaTextOrder> order;

    std::int64_t value(std::uint32_t id) const { return static_cast<std::int64_t>(values[id]); }
    // From the key, not the item: rendered in key order, the values are read in place.
    std::string_view text(const KeyedItem& item, char* buf) const override {
        return {buf, timedelta_text(order->value(item.key), unit, buf)};
    }
};

TimedeltaCells::TimedeltaCells(Boxer boxer, std::vector<std::uint64_t> values, TimeUnit unit,
                               std::uint32_t null_id)
    : DistinctCells(std::move(boxer)), null_id_(null_id) {
    auto texts = std::make_shared<Texts>();
    texts->values = std::move(values);
    texts->unit = unit;
    texts_ = texts;
    std::vector<std::int64_t> rendered;
    rendered.reserve(texts->values.size());
    for (std::uint32_t id = 0; id < texts->values.size(); ++id) {
        if (renders(id)) rendered.push_back(texts->value(id));
    }
    texts->order = TimedeltaTextOrder::of(std::move(rendered), unit);
}

bool TimedeltaCells::renders(std::uint32_t id) const {
    return id != null_id_ && texts_->value(id) != kNaT;
}

std::string_view TimedeltaCells::own_text(std::uint32_t id) const {
    timedelta_text(texts_->value(id), texts_->unit, scratch_);
    return scratch_;
}

std::optional<DistinctCells::TextKey> TimedeltaCells::text_key(std::uint32_t id) const {
    if (!texts_->order) return std::nullopt;
    return TextKey{texts_->order->key(texts_->value(id)), 0};
}

std::shared_ptr<const ValueRenderer> TimedeltaCells::renderer() const {
    return texts_->order ? texts_ : nullptr;
}

struct TimestampCells::Texts final : ValueRenderer {
    std::vector<std::int64_t> wall;
    TimeUnit unit = TimeUnit::second;
    std::vector<std::int64_t> offsets;  // empty: no time zone

    void render(std::uint32_t id, std::string& out) const {
        std::optional<std::int64_t> offset;
        if (!offsets.empty()) offset = offsets[id];
        text(wall[id], offset, out);
    }
    // The key is the wall-clock time, the tie the offset's rank (see text_key).
    std::string_view text(const KeyedItem& value, char* buf) const override {
        std::int64_t offset = kNoOffset;
        if (!offsets.empty()) {
            offset = value.tie >= kNegativeOffset
                         ? -static_cast<std::int64_t>(value.tie - kNegativeOffset)
                         : static_cast<std::int64_t>(value.tie);
        }
        return {buf, timestamp_text(value.key, unit, offset, buf)};
    }
    void text(std::int64_t wall_clock, std::optional<std::int64_t> offset, std::string& out) const {
        if (!timestamp_text(wall_clock, unit, offset, out)) {
            throw InternalError("a Timestamp outside the years 1 to 9999 was not boxed");
        }
    }
};

TimestampCells::TimestampCells(Boxer boxer, std::vector<std::int64_t> wall, TimeUnit unit,
                               std::vector<std::int64_t> offsets,
                               std::vector<std::uint8_t> renderable)
    : DistinctCells(std::move(boxer)), renderable_(std::move(renderable)) {
    auto texts = std::make_shared<Texts>();
    texts->wall = std::move(wall);
    texts->unit = unit;
    texts->offsets = std::move(offsets);
    texts_ = std::move(texts);
}

std::string_view TimestampCells::own_text(std::uint32_t id) const {
    texts_->render(id, scratch_);
    return scratch_;
}

std::shared_ptr<const ValueRenderer> TimestampCells::renderer() const {
    return texts_;
}

// Timestamp texts ascend with their wall-clock time: a whole second is a prefix of the texts
// of its fractions, and 6 fraction digits (microseconds) one of the 9 of a nanosecond value;
// the UTC offset that follows starts with '+' or '-', which sort before '.' and the digits.
// Equal wall-clock times (the hour repeated when clocks go back) ascend by offset text: "+"
// before "-", then "+HH:MM[:SS]" by size and "-HH:MM[:SS]" by magnitude.
std::optional<DistinctCells::TextKey> TimestampCells::text_key(std::uint32_t id) const {
    if (texts_->offsets.empty()) return TextKey{texts_->wall[id], 0};
    const std::int64_t off = texts_->offsets[id];
    const auto rank = off >= 0 ? static_cast<std::uint32_t>(off)
                               : kNegativeOffset + static_cast<std::uint32_t>(-off);  // see Texts
    return TextKey{texts_->wall[id], rank};
}

}  // namespace vandra
