// A frame column read by its distinct values (distinct_column.hpp). Planned before any
// cell is read: its rows' ids, and the values whose cells must come from pandas' own boxing
// (frame_sample.hpp). Once those cells exist, the plan settles how every value's cell
// is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "lib/distinct_rows.hpp"
#include "python/input/distinct_column.hpp"
#include "python/input/time_cells.hpp"

namespace vandra {

class ColumnPlan {
  public:
    explicit ColumnPlan(DistinctRows rows) : rows_(std::move(rows)) {}
    virtual ~ColumnPlan() = default;

    DistinctRows& rows() { return rows_; }
    // The values whose cells are sampled; every value when all().
    virtual std::vector<std::uint32_t> sampled() const = 0;
    virtual bool samples_all() const { return false; }
    // Told before sampled() when the frame's `values` is known to be an object array filled
    // block by block, so that a plan may know its cells' kind without a sample.
    virtual void know_object_cells() {}
    // Makes the column's cells, `sample` serving the sampled values. False when the sampled
    // cells are not of the kind this reader renders (the frame is then read through `values`).
    virtual bool settle(DistinctCells::Boxer sample) = 0;
    DistinctCells& cells() { return *cells_; }
    // Once settled: whether value id's cell is asked of the sample.
    virtual bool boxes_from_sample(std::uint32_t id) const { return cells_->boxes(id); }
    // Once settled: the column's labels, taking the rows' ids, where the plan knows every
    // row's label without the per-value cell rules (which would give the same); else null.
    virtual std::unique_ptr<LabelSource> direct_labels() { return nullptr; }

  protected:
    DistinctRows rows_;
    std::unique_ptr<DistinctCells> cells_;
};

// Every value boxed by pandas (categories, periods, timedeltas, dates, dictionary entries).
class BoxedPlan final : public ColumnPlan {
  public:
    using ColumnPlan::ColumnPlan;
    std::vector<std::uint32_t> sampled() const override { return ids_from(rows_, 0); }
    bool samples_all() const override { return true; }
    bool settle(DistinctCells::Boxer sample) override;
};

// The array a time column comes from, where an object `values` hands out Timestamps (in the
// dtype's zone) or Timedeltas: pandas' own, or an Arrow-backed one; else other.
enum class TimeArray : std::uint8_t { other, pandas, arrow };

// Datetimes: counts of `unit` since the epoch (UTC where the column has a time zone),
// rendered as the Timestamps or datetime64 scalars the frame hands out; NaT and missing
// values, and values outside the years 1 to 9999, boxed. `tz`: the zone of the column's dtype
// (None if naive), known for an array other than `other`; with it and an object `values`, the
// cells are known to be Timestamps in that zone. `column`: where known, the column's own
// zoned pandas array (a DatetimeArray, or a 2-D block array and the column's row in it).
struct ZonedColumn {
    PyRef array;
    std::size_t row = 0;
};
std::unique_ptr<ColumnPlan> datetime_plan(DistinctWords values, const NumpyTimeUnit& unit,
                                          TimeArray array = TimeArray::other, PyRef tz = {},
                                          ZonedColumn column = {});

// Timedeltas likewise, rendered as the Timedeltas or timedelta64 scalars the frame hands out.
std::unique_ptr<ColumnPlan> timedelta_plan(DistinctWords values, const NumpyTimeUnit& unit,
                                           TimeArray array = TimeArray::other);

// Periods of `freq`, rendered as the Periods every frame hands out; values outside the
// years 1000 to 9999 boxed.
std::unique_ptr<ColumnPlan> period_plan(DistinctWords values, PeriodFreq freq);

}  // namespace vandra
