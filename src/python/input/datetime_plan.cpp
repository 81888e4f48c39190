// Datetime and timedelta columns (numpy-backed, or Arrow timestamps and durations): the frame
// hands out Timestamps or Timedeltas (an object frame) or datetime64 / timedelta64 scalars (a
// frame of such columns alone); all are rendered here.
#include <algorithm>

#include "python/errors.hpp"
#include "python/input/column_plan.hpp"
#include "python/input/render_trust.hpp"
#include "python/lookup.hpp"
#include "python/numpy_api.hpp"
#include "python/pandas_compat.hpp"

namespace vandra {
namespace {

// The wall-clock times of UTC `values` (unit `unit`) in time zone `tz`, as pandas converts
// them: DatetimeIndex(values).tz_localize("UTC").tz_convert(tz).tz_localize(None).
std::optional<std::vector<std::int64_t>> wall_times(const std::vector<std::int64_t>& utc,
                                                    const NumpyTimeUnit& unit, PyObject* tz) {
    ensure_numpy_api();
    npy_intp n = static_cast<npy_intp>(utc.size());
    PyRef raw = checked(PyArray_SimpleNew(1, &n, NPY_INT64));
    std::copy(
        utc.begin(), utc.end(),
        static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(raw.get()))));
    const std::string dtype = "M8[" + unit.name + "]";
    PyRef stamps(PyObject_CallMethod(raw.get(), "view", "s", dtype.c_str()));
    PyRef index_cls = imported_attr("pandas", "DatetimeIndex");
    PyRef index =
        stamps && index_cls ? PyRef(PyObject_CallOneArg(index_cls.get(), stamps.get())) : PyRef();
    PyRef in_utc =
        index ? PyRef(PyObject_CallMethod(index.get(), "tz_localize", "s", "UTC")) : PyRef();
    PyRef local =
        in_utc ? PyRef(PyObject_CallMethod(in_utc.get(), "tz_convert", "O", tz)) : PyRef();
    PyRef naive =
        local ? PyRef(PyObject_CallMethod(local.get(), "tz_localize", "O", Py_None)) : PyRef();
    PyRef values = naive ? PyRef(PyObject_GetAttrString(naive.get(), "values")) : PyRef();
    if (!values) {
        if (PyErr_Occurred()) clear_ordinary_error();
        return std::nullopt;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(values.get());
    if (!PyArray_CheckExact(values.get()) || PyArray_NDIM(arr) != 1 || PyArray_DIM(arr, 0) != n ||
        PyArray_TYPE(arr) != NPY_DATETIME || PyArray_ITEMSIZE(arr) != 8)
        return std::nullopt;
    if (numpy_time_unit(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))).name != unit.name)
        return std::nullopt;
    std::vector<std::int64_t> wall(utc.size());
    for (npy_intp i = 0; i < n; ++i) {
        wall[static_cast<std::size_t>(i)] =
            *static_cast<const std::int64_t*>(PyArray_GETPTR1(arr, i));
    }
    return wall;
}

// The same for the distinct values of a column whose zoned DatetimeArray is at hand, as
// pandas converts the whole array in one call: array.tz_localize(None). Each value's wall
// time is read at its first row.
std::optional<std::vector<std::int64_t>> wall_times(const ZonedColumn& column,
                                                    const DistinctRows& rows,
                                                    const NumpyTimeUnit& unit) {
    ensure_numpy_api();
    PyRef ndim = attr_or_null(column.array.get(), "ndim");
    const long dims = ndim && PyLong_CheckExact(ndim.get()) ? PyLong_AsLong(ndim.get()) : 0;
    PyRef one =
        dims == 2
            ? PyRef(PySequence_GetItem(column.array.get(), static_cast<Py_ssize_t>(column.row)))
            : PyRef::borrow(column.array.get());
    PyRef naive = (dims == 1 || dims == 2) && one
                      ? PyRef(PyObject_CallMethod(one.get(), "tz_localize", "O", Py_None))
                      : PyRef();
    PyRef data = naive ? pandas_compat::backing_ndarray(naive.get()) : PyRef();
    if (!data) {
        if (PyErr_Occurred()) clear_ordinary_error();
        return std::nullopt;
    }
    auto* arr = reinterpret_cast<PyArrayObject*>(data.get());
    if (PyArray_NDIM(arr) != 1 || PyArray_DIM(arr, 0) != static_cast<npy_intp>(rows.rows()) ||
        PyArray_TYPE(arr) != NPY_DATETIME || PyArray_ITEMSIZE(arr) != 8 ||
        numpy_time_unit(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))).name != unit.name)
        return std::nullopt;
    std::vector<std::int64_t> wall(rows.count());
    for (std::size_t id = 0; id < wall.size(); ++id) {
        wall[id] = *static_cast<const std::int64_t*>(
            PyArray_GETPTR1(arr, static_cast<npy_intp>(rows.first_row[id])));
    }
    return wall;
}

// Whether an object `values` hands out the Timestamps (naive, or in the dtype's zone) or the
// Timedeltas that the dtypes say, per array: learnt from the first frame in the process that
// shows one.
struct ObjectCellTrust {
    RenderTrust naive, zoned, timedelta;
    // Whether such a column's missing value comes out as pandas' own singleton (NaT for a
    // pandas array's NaT, NA for an Arrow array's null), which then needs no sample.
    RenderTrust naive_missing, zoned_missing, timedelta_missing;
};
ObjectCellTrust pandas_array_trust, arrow_array_trust;

class DatetimePlan final : public ColumnPlan {
  public:
    // `tz`: the dtype's zone (None if naive) where `array` is known.
    DatetimePlan(DistinctWords values, const NumpyTimeUnit& unit, bool timedelta, TimeArray array,
                 PyRef tz, ZonedColumn column)
        : ColumnPlan(std::move(values.rows)),
          values_(std::move(values)),
          unit_(unit),
          timedelta_(timedelta),
          array_(array),
          tz_(std::move(tz)),
          column_(std::move(column)) {
        const auto u = time_unit(unit_);
        const std::size_t k = values_.values.size();
        renderable_.assign(k, 0);
        std::int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (std::size_t id = 0; id < k; ++id) {
            const auto v = static_cast<std::int64_t>(values_.values[id]);
            if (array_ == TimeArray::arrow ? id == values_.null_id
                                           : id != values_.null_id && v == kNaT)
                missing_id_ = static_cast<std::uint32_t>(id);
            if (id == values_.null_id || v == kNaT) continue;
            if (first_valid_ == DistinctRows::kNoId) first_valid_ = static_cast<std::uint32_t>(id);
            renderable_[id] = 1;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        // Rendered in every style the frame may hand out: within the range where numpy's
        // scalars convert to Python objects (the years written, Python's timedeltas). Where
        // the earliest and the latest lie in it, all do.
        auto in_range = [&](std::int64_t v) { return u && converts_to_python(v, *u, timedelta_); };
        if (first_valid_ == DistinctRows::kNoId || (in_range(lo) && in_range(hi))) return;
        for (std::size_t id = 0; id < k; ++id) {
            if (renderable_[id])
                renderable_[id] = in_range(static_cast<std::int64_t>(values_.values[id]));
        }
    }

    void know_object_cells() override {
        objects_ = array_ != TimeArray::other && (timedelta_ || tz_);
        missing_imported_ =
            missing_id_ != DistinctRows::kNoId && objects_known() && missing_trust().confirmed();
    }

    // Missing values and NaT, the values no text is rendered for, and the first value to see
    // what the frame makes of them, unless the dtypes tell.
    std::vector<std::uint32_t> sampled() const override {
        std::vector<std::uint32_t> ids;
        const bool known = objects_known();
        for (std::size_t id = 0; id < renderable_.size(); ++id) {
            if (id == missing_id_ && missing_imported_) continue;
            if (!renderable_[id] || (id == first_valid_ && !known))
                ids.push_back(static_cast<std::uint32_t>(id));
        }
        return ids;
    }

    bool boxes_from_sample(std::uint32_t id) const override {
        return cells_->boxes(id) && !(id == missing_id_ && missing_imported_);
    }

    bool settle(DistinctCells::Boxer sampled_cell) override {
        DistinctCells::Boxer sample = missing_from_pandas(std::move(sampled_cell));
        const auto unit = time_unit(unit_);
        if (first_valid_ == DistinctRows::kNoId || !unit) {
            cells_ = std::make_unique<BoxedCells>(std::move(sample));  // everything was sampled
            return true;
        }
        if (objects_known()) return settle_objects(std::move(sample), tz_.get(), *unit);
        PyRef cell = sample(first_valid_);
        if (objects_ && !trust().refuted()) trust().learn(objects_as_dtypes_say(cell.get()));
        ensure_numpy_api();
        const bool scalar = timedelta_ ? PyArray_IsScalar(cell.get(), Timedelta)
                                       : PyArray_IsScalar(cell.get(), Datetime);
        if (scalar) {
            // A frame of such columns alone: numpy scalars, of this column's unit.
            PyRef dtype = checked(PyObject_GetAttrString(cell.get(), "dtype"));
            if (numpy_time_unit(dtype.get()).name != unit_.name) return false;
            cells_ = std::make_unique<NumpyTimeCells>(std::move(sample), std::move(values_.values),
                                                      unit_, timedelta_, values_.null_id);
            return true;
        }
        if (!is_exactly(cell.get(), "pandas", timedelta_ ? "Timedelta" : "Timestamp")) return false;
        PyRef tz = timedelta_ ? PyRef() : checked(PyObject_GetAttrString(cell.get(), "tz"));
        return settle_objects(std::move(sample), tz.get(), *unit);
    }

  private:
    RenderTrust& trust() const {
        ObjectCellTrust& t = array_ == TimeArray::arrow ? arrow_array_trust : pandas_array_trust;
        return timedelta_ ? t.timedelta : tz_.get() == Py_None ? t.naive : t.zoned;
    }
    RenderTrust& missing_trust() const {
        ObjectCellTrust& t = array_ == TimeArray::arrow ? arrow_array_trust : pandas_array_trust;
        return timedelta_             ? t.timedelta_missing
               : tz_.get() == Py_None ? t.naive_missing
                                      : t.zoned_missing;
    }
    // The cells' kind follows from the dtypes, and the process has seen it hold.
    bool objects_known() const { return objects_ && trust().confirmed(); }
    // The missing value's cell in an object `values`: pandas' singleton once the process has
    // seen a frame hand it out (learnt from that frame's sampled cell); before, the sampled
    // cell.
    DistinctCells::Boxer missing_from_pandas(DistinctCells::Boxer sample) {
        if (missing_id_ == DistinctRows::kNoId || !objects_) return sample;
        return [this, sample = std::move(sample)](std::uint32_t id) {
            if (id != missing_id_) return sample(id);
            PyRef singleton = imported_attr("pandas", array_ == TimeArray::arrow ? "NA" : "NaT");
            if (!singleton) throw PythonError{};
            if (missing_imported_) return singleton;
            PyRef cell = sample(id);
            missing_trust().learn(cell.get() == singleton.get());
            return cell;
        };
    }
    // Whether `cell` is what an object `values` of this column's dtype holds.
    bool objects_as_dtypes_say(PyObject* cell) const {
        if (timedelta_) return is_exactly(cell, "pandas", "Timedelta");
        if (!is_exactly(cell, "pandas", "Timestamp")) return false;
        PyRef tz = checked(PyObject_GetAttrString(cell, "tz"));
        return tz.get() == tz_.get();
    }

    // Timestamps (in zone `tz`, None if naive) or Timedeltas.
    bool settle_objects(DistinctCells::Boxer sample, PyObject* tz, TimeUnit unit) {
        if (unit == TimeUnit::day || unit == TimeUnit::hour || unit == TimeUnit::minute)
            return false;
        if (timedelta_) {
            cells_ = std::make_unique<TimedeltaCells>(std::move(sample), values_.values, unit,
                                                      values_.null_id);
            return true;
        }
        const std::size_t k = values_.values.size();
        std::vector<std::int64_t> utc(k);
        for (std::size_t id = 0; id < k; ++id)
            utc[id] = static_cast<std::int64_t>(values_.values[id]);
        if (tz == Py_None) {
            cells_ = std::make_unique<TimestampCells>(std::move(sample), std::move(utc), unit,
                                                      std::vector<std::int64_t>{}, renderable_);
            return true;
        }
        // NaT and out-of-range values are boxed: convert a harmless stand-in for them.
        std::vector<std::int64_t> convertible = utc;
        for (std::size_t id = 0; id < k; ++id) {
            if (!renderable_[id]) convertible[id] = 0;
        }
        // Converting the column itself costs a call less than converting its distinct values
        // afresh, and a pass over every row: worth it where most rows are distinct.
        std::optional<std::vector<std::int64_t>> wall;
        if (column_.array && tz == tz_.get() && 2 * k >= rows_.rows())
            wall = wall_times(column_, rows_, unit_);
        if (!wall) wall = wall_times(convertible, unit_, tz);
        if (!wall) return false;
        std::vector<std::int64_t> offsets(k, 0);
        const std::int64_t per_second = units_per_day(unit) / kSecondsPerDay;  // second and finer
        std::int64_t lo = INT64_MAX, hi = INT64_MIN;
        for (std::size_t id = 0; id < k; ++id) {
            if (!renderable_[id]) continue;
            const std::int64_t offset = (*wall)[id] - utc[id];
            if (offset % per_second != 0) return false;  // not whole seconds
            offsets[id] = offset / per_second;
            if (offsets[id] >= kMaxOffsetSeconds || offsets[id] <= -kMaxOffsetSeconds) return false;
            lo = std::min(lo, (*wall)[id]);
            hi = std::max(hi, (*wall)[id]);
        }
        // The written years are one interval of wall-clock times: where the earliest and the
        // latest lie in it, all do. Out of range once local, the column is boxed.
        if (lo <= hi && (!in_written_years(lo, unit) || !in_written_years(hi, unit))) return false;
        cells_ = std::make_unique<TimestampCells>(std::move(sample), std::move(*wall), unit,
                                                  std::move(offsets), renderable_);
        return true;
    }

    DistinctWords values_;
    NumpyTimeUnit unit_;
    bool timedelta_;
    TimeArray array_;
    PyRef tz_;              // the dtype's zone (None if naive), where array_ is known
    ZonedColumn column_;    // the column's own zoned array, where known
    bool objects_ = false;  // the frame's `values` is an object array filled block by block
    std::vector<std::uint8_t> renderable_;  // rendered here, not boxed
    std::uint32_t first_valid_ = DistinctRows::kNoId;
    std::uint32_t missing_id_ = DistinctRows::kNoId;  // NaT's value, or an Arrow null's
    bool missing_imported_ = false;  // the missing value's cell is pandas' own, not sampled
};

}  // namespace

std::unique_ptr<ColumnPlan> datetime_plan(DistinctWords values, const NumpyTimeUnit& unit,
                                          TimeArray array, PyRef tz, ZonedColumn column) {
    return std::make_unique<DatetimePlan>(std::move(values), unit, false, array, std::move(tz),
                                          std::move(column));
}

std::unique_ptr<ColumnPlan> timedelta_plan(DistinctWords values, const NumpyTimeUnit& unit,
                                           TimeArray array) {
    return std::make_unique<DatetimePlan>(std::move(values), unit, true, array, PyRef(),
                                          ZonedColumn{});
}

}  // namespace vandra
