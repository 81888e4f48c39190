#include "python/input/frame_input.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "python/arrow/arrow_words.hpp"
#include "python/errors.hpp"
#include "python/input/array_input.hpp"
#include "python/input/frame_readers.hpp"
#include "python/lookup.hpp"
#include "python/numpy_api.hpp"

namespace vandra {
namespace {

using pandas_compat::ArrayKind;

// Whether every value whose cell the settled plan boxes was sampled. A value boxed but not
// sampled would fail only once its cells are read; `values` is read instead.
bool boxes_only_sampled(ColumnPlan& plan) {
    if (plan.samples_all()) return true;
    std::vector<std::uint8_t> sampled(plan.rows().count(), 0);
    for (const std::uint32_t id : plan.sampled()) sampled[id] = 1;
    for (std::uint32_t id = 0; id < sampled.size(); ++id) {
        if (!sampled[id] && plan.boxes_from_sample(id)) return false;
    }
    return true;
}

}  // namespace

bool FrameColumns::plan(PyObject* frame, std::size_t rows, std::size_t cols) {
    if (!pandas_compat::is_frame(frame)) return false;
    auto blocks = pandas_compat::frame_blocks(frame);
    if (!blocks) return false;
    columns_.assign(cols, Column{});
    for (const auto& block : *blocks) {
        block_locs_.push_back(block.locs);
        if (!plan_block(block, rows)) return false;
    }
    for (const Column& c : columns_) {
        if (c.kind == Column::Kind::none) return false;  // a column no block holds
    }
    return settle(frame);
}

bool FrameColumns::plan_block(const pandas_compat::Block& block, std::size_t rows) {
    PyObject* values = block.values.get();
    const ArrayKind kind = pandas_compat::array_kind(values);
    if (kind == ArrayKind::numpy) return plan_numpy(values, block.locs, rows);
    if (kind == ArrayKind::datetime || kind == ArrayKind::timedelta || kind == ArrayKind::period) {
        for (std::size_t k = 0; k < block.locs.size(); ++k) {
            if (!take_plan(block.locs[k], read_datetime_like(values, kind, k, rows))) return false;
        }
        arrays_.push_back(PyRef::borrow(values));
        return true;
    }
    if (block.locs.size() != 1) return false;  // the other arrays hold one column
    const std::size_t loc = block.locs.front();
    switch (kind) {
        case ArrayKind::python_string: return plan_string_array(values, loc, rows);
        case ArrayKind::arrow: return plan_arrow(values, loc, rows);
        case ArrayKind::categorical: return take_plan(loc, read_categorical(values, rows));
        case ArrayKind::masked: {
            if (!take_read(loc, read_masked(values, rows))) return false;
            arrays_.push_back(PyRef::borrow(values));  // its data may be read in place
            return true;
        }
        default: return false;
    }
}

bool FrameColumns::take(std::size_t loc, const Column& column) {
    if (loc >= columns_.size() || columns_[loc].kind != Column::Kind::none) return false;
    columns_[loc] = column;
    return true;
}

bool FrameColumns::take_plan(std::size_t loc, std::unique_ptr<ColumnPlan> plan) {
    if (!plan) return false;
    Column c;
    c.kind = Column::Kind::distinct;
    c.plan = plan.get();
    plans_.push_back(std::move(plan));
    return take(loc, c);
}

bool FrameColumns::take_read(std::size_t loc, ColumnRead read) {
    if (read.plan) return take_plan(loc, std::move(read.plan));
    if (!read.numbers) return false;
    Column c;
    c.kind = Column::Kind::numbers;
    c.view = read.numbers;
    if (!read.words.empty()) {
        // The view points into the words' buffer, which moving the vector keeps.
        words_.push_back(std::move(read.words));
    }
    if (read.owner) owners_.push_back(std::move(read.owner));
    return take(loc, c);
}

// A 2-D block of shape (columns, rows): row k of it is the column at locs[k].
bool FrameColumns::plan_numpy(PyObject* values, const std::vector<std::size_t>& locs,
                              std::size_t rows) {
    auto* arr = reinterpret_cast<PyArrayObject*>(values);
    if (PyArray_NDIM(arr) != 2 || PyArray_DIM(arr, 0) != static_cast<npy_intp>(locs.size()) ||
        PyArray_DIM(arr, 1) != static_cast<npy_intp>(rows))
        return false;
    const bool objects = PyArray_TYPE(arr) == NPY_OBJECT;
    const NumberView::Type type = objects ? NumberView::Type::none : number_type(arr);
    // long double columns would widen what `values` computes in; they keep that path.
    if (!objects && (type == NumberView::Type::none || type == NumberView::Type::longdouble))
        return false;
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
    for (std::size_t k = 0; k < locs.size(); ++k) {
        Column c;
        const char* column = data + static_cast<npy_intp>(k) * s0;
        if (objects) {
            c.kind = Column::Kind::objects;
            c.slots = column;
            c.stride = s1;
        } else {
            c.kind = Column::Kind::numbers;
            c.view = NumberView{column, s1, type};
        }
        if (!take(locs[k], c)) return false;
    }
    arrays_.push_back(PyRef::borrow(values));
    return true;
}

// Python-backed text: an object array of str and the dtype's missing marker.
bool FrameColumns::plan_string_array(PyObject* values, std::size_t loc, std::size_t rows) {
    PyRef inner = pandas_compat::backing_ndarray(values);
    if (!inner) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(inner.get());
    if (PyArray_NDIM(arr) != 1 || PyArray_TYPE(arr) != NPY_OBJECT ||
        PyArray_DIM(arr, 0) != static_cast<npy_intp>(rows))
        return false;
    Column c;
    c.kind = Column::Kind::objects;
    c.slots = static_cast<const char*>(PyArray_DATA(arr));
    c.stride = PyArray_STRIDE(arr, 0);
    if (!take(loc, c)) return false;
    arrays_.push_back(std::move(inner));
    return true;
}

bool FrameColumns::plan_arrow(PyObject* values, std::size_t loc, std::size_t rows) {
    auto stream = ArrowStream::of(values);
    if (!stream) return false;
    const auto format = ArrowWords::format_of(stream->get());
    if (!format) return false;
    // utf8_view ("vu") keeps the `values` path: pandas fails to build `values` for it alone or
    // with missing cells, and only that path reports those failures as they are.
    if (*format == "vu") return false;
    // Text, plain or dictionary-encoded; a dictionary column that is not read as text here
    // (its dictionary has null entries, say) is read by its indices.
    const bool dictionary = format->starts_with("dictionary:");
    const bool text_values = *format == "u" || *format == "U" ||
                             (dictionary && (format->ends_with(":u") || format->ends_with(":U")));
    auto by_indices = [&] {
        auto again = ArrowStream::of(values);
        return again &&
               take_read(loc, read_arrow_words(*again, rows, scratch_words_, scratch_valid_));
    };
    if (!text_values)
        return take_read(loc, read_arrow_words(*stream, rows, scratch_words_, scratch_valid_));
    // The missing marker that `values` would put in: the float NaN or pd.NA.
    PyRef marker = pandas_compat::na_value(values);
    PyRef na = imported_attr("pandas", "NA");
    if (!marker || !na) return dictionary && by_indices();
    const bool nan_marker =
        PyFloat_CheckExact(marker.get()) && std::isnan(PyFloat_AS_DOUBLE(marker.get()));
    if (!nan_marker && marker.get() != na.get()) return dictionary && by_indices();
    std::string why;
    auto text = ArrowTextColumn::import(stream->get(), why);
    if (!text || text->length() != rows) return dictionary && by_indices();
    arrow_.push_back(std::move(*text));
    Column c;
    c.kind = Column::Kind::arrow;
    c.text = &arrow_.back();
    c.nan_marker = nan_marker;
    return take(loc, c);
}

bool FrameColumns::settle(PyObject* frame) {
    if (!plans_.empty() && pandas_compat::values_are_object_blocks(frame, block_locs_.size())) {
        for (const auto& plan : plans_) plan->know_object_cells();
    }
    // Two samples at most: columns whose every value is boxed, and columns that need only a
    // few cells to see what pandas makes of them (which would otherwise be boxed at every
    // row the first kind takes).
    for (const bool all : {true, false}) {
        std::vector<std::size_t> columns, rows;
        std::vector<std::pair<std::size_t, ColumnPlan*>> group;
        for (std::size_t loc = 0; loc < columns_.size(); ++loc) {
            ColumnPlan* plan = columns_[loc].plan;
            if (!plan || plan->samples_all() != all) continue;
            group.emplace_back(loc, plan);
            columns.push_back(loc);
            for (const std::uint32_t id : plan->sampled())
                rows.push_back(plan->rows().first_row[id]);
        }
        if (group.empty()) continue;
        FrameSample& sample = samples_.emplace_back();
        if (!rows.empty() && !sample.take(frame, columns, rows, block_locs_)) return false;
        for (const auto& [loc, plan] : group) {
            const DistinctRows& ids = plan->rows();
            auto boxer = [&sample, &ids, loc = loc](std::uint32_t id) {
                return sample.cell(ids.first_row[id], loc);
            };
            if (!plan->settle(boxer) || !boxes_only_sampled(*plan)) return false;
        }
    }
    return true;
}

void FrameColumns::read(CellReader& reader) {
    for (std::size_t j = 0; j < columns_.size(); ++j) {
        const Column& c = columns_[j];
        switch (c.kind) {
            case Column::Kind::numbers: reader.set_numbers(j, c.view); break;
            case Column::Kind::objects: reader.add_slots(j, c.slots, c.stride); break;
            case Column::Kind::arrow:
                // Either marker is a missing number until the column's first text: only
                // missing cells leave the column numeric; before the first text a missing
                // cell renders as a number, later as the marker's str().
                if (!c.text->first_valid()) {
                    reader.set_numbers(j, NumberView{reinterpret_cast<const char*>(&kQuietNaN), 0,
                                                     NumberView::Type::f64});
                    break;
                }
                c.text->set_null_labels("NaN", c.nan_marker ? "nan" : "<NA>");
                reader.set_text(j, c.text);
                break;
            case Column::Kind::distinct:
                if (auto labels = c.plan->direct_labels()) {
                    reader.set_text(j, std::move(labels));
                } else {
                    read_distinct(reader, j, c.plan->rows(), c.plan->cells());
                }
                break;
            case Column::Kind::none: break;
        }
    }
}

}  // namespace vandra
