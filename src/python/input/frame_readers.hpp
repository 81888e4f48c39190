// The readers of a pandas frame's extension columns by their distinct values, one file each.
// Each returns nothing, having run no Python code of the frame's, when it does not recognise
// the array (the frame is then read through `values`).
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "lib/column_sources.hpp"
#include "lib/records.hpp"
#include "python/arrow/arrow_c_data.hpp"
#include "python/input/column_plan.hpp"
#include "python/pandas_compat.hpp"

namespace vandra {

// What a reader makes of a column: a plan to read it by its distinct values, or, for numbers
// without missing values (which every frame hands out as numbers of the same value), the
// numbers in place; neither when it does not recognise the array.
struct ColumnRead {
    ColumnRead() = default;
    ColumnRead(std::unique_ptr<ColumnPlan> p) : plan(std::move(p)) {}  // NOLINT: implicit
    explicit ColumnRead(const NumberView& view) : numbers(view) {}

    std::unique_ptr<ColumnPlan> plan;
    NumberView numbers;
    std::vector<std::uint64_t> words;   // where `numbers` points when the reader copied them
    std::shared_ptr<const void> owner;  // or what holds the memory it points into
};

// Numbers with missing rows, copied as doubles with NaN where missing(i): how every frame
// hands them out (its numbers, and pandas' missing marker or NaN for the gaps).
template <class Missing>
ColumnRead numbers_with_gaps(const NumberView& values, std::size_t rows, Missing missing) {
    std::shared_ptr<double> doubles(new double[rows], std::default_delete<double[]>());
    copy_numbers(values, 0, rows, doubles.get(), 1);
    // A select, not a branch: gaps fall at random, and a mispredicted branch per gap costs
    // more than the whole pass.
    double* const d = doubles.get();
    for (std::size_t i = 0; i < rows; ++i) d[i] = missing(i) ? kQuietNaN : d[i];
    ColumnRead read(NumberView{reinterpret_cast<const char*>(doubles.get()),
                               static_cast<std::ptrdiff_t>(sizeof(double)), NumberView::Type::f64});
    read.owner = std::move(doubles);
    return read;
}

// A Categorical: rows by category code.
std::unique_ptr<ColumnPlan> read_categorical(PyObject* values, std::size_t rows);

// Column k of a DatetimeArray, TimedeltaArray or PeriodArray (2-D, one column per row).
std::unique_ptr<ColumnPlan> read_datetime_like(PyObject* values, pandas_compat::ArrayKind kind,
                                               std::size_t k, std::size_t rows);

// An IntegerArray, FloatingArray or BooleanArray: its data where the mask is clear, NaN
// where it is set.
ColumnRead read_masked(PyObject* values, std::size_t rows);

// The Arrow C stream of an Arrow-backed array (its __arrow_array__), owned: released when it
// goes unless an importer drained it.
class ArrowStream {
  public:
    static std::optional<ArrowStream> of(PyObject* values);
    ArrowStream(ArrowStream&& other) noexcept : stream_(other.stream_) {
        other.stream_.release = nullptr;
    }
    ArrowStream(const ArrowStream&) = delete;
    ArrowStream& operator=(const ArrowStream&) = delete;
    ArrowStream& operator=(ArrowStream&&) = delete;
    ~ArrowStream() {
        if (stream_.release != nullptr) stream_.release(&stream_);
    }
    ArrowArrayStream& get() { return stream_; }

  private:
    ArrowStream() = default;
    ArrowArrayStream stream_{};
};

// An Arrow column of numbers, bools, timestamps, dates, durations or dictionary indices.
// `words`, `valid`: scratch space, reused from column to column (fresh pages cost as much as
// the work done in them).
ColumnRead read_arrow_words(ArrowStream& stream, std::size_t rows,
                            std::vector<std::uint64_t>& words, std::vector<std::uint8_t>& valid);

}  // namespace vandra
