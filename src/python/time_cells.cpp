#include "python/time_cells.hpp"

#include <utility>

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
                                       const NumpyTimeUnit& unit)
    : DistinctCells(std::move(boxer)), values_(values), unit_(time_unit(unit)) {}

std::optional<double> NumpyDatetimeCells::own_number(std::uint32_t id) const {
    const auto v = static_cast<std::int64_t>(values_[id]);
    if (unit_ != TimeUnit::nano || v == kNaT) return std::nullopt;
    return static_cast<double>(v);
}

std::optional<std::string> NumpyDatetimeCells::render(std::uint32_t id) const {
    const auto v = static_cast<std::int64_t>(values_[id]);
    if (v == kNaT) return std::string("NaT");
    if (!unit_) return std::nullopt;
    return numpy_datetime_text(v, *unit_);
}

TimestampCells::TimestampCells(Boxer boxer, std::vector<std::int64_t> wall, TimeUnit unit,
                               std::vector<std::int64_t> offsets,
                               std::vector<std::uint8_t> renderable)
    : DistinctCells(std::move(boxer)),
      wall_(std::move(wall)),
      unit_(unit),
      offsets_(std::move(offsets)),
      renderable_(std::move(renderable)) {}

std::string TimestampCells::own_text(std::uint32_t id) const {
    std::optional<std::int64_t> offset;
    if (!offsets_.empty()) offset = offsets_[id];
    auto text = timestamp_text(wall_[id], unit_, offset);
    if (!text) throw InternalError("a Timestamp outside the years 1 to 9999 was not boxed");
    return std::move(*text);
}

}  // namespace vandra
