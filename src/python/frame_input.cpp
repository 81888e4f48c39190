#include "python/frame_input.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "lib/internal_error.hpp"
#include "python/array_input.hpp"
#include "python/numpy_api.hpp"
#include "python/pandas_lookup.hpp"

namespace vandra {
namespace {

// Whether obj's type is exactly the class `name` of `module` (which may be null).
bool is_type(PyObject* obj, PyObject* module, const char* name) {
    if (!module) return false;
    PyRef cls = attr_or_null(module, name);
    return cls && reinterpret_cast<PyObject*>(Py_TYPE(obj)) == cls.get();
}

// The float NaN that `values` gives a missing "str" cell, as a column of its own.
constexpr double kMissingNumber = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

}  // namespace

bool FrameColumns::is_pandas_frame(PyObject* frame) {
    PyRef pandas = imported_module("pandas");
    return is_type(frame, pandas.get(), "DataFrame");
}

bool FrameColumns::plan(PyObject* frame, std::size_t rows, std::size_t cols) {
    pandas_ = imported_module("pandas");
    if (!pandas_ || !is_type(frame, pandas_.get(), "DataFrame")) return false;
    PyRef mgr = attr_or_null(frame, "_mgr");
    PyRef blocks = mgr ? attr_or_null(mgr.get(), "blocks") : PyRef();
    if (!blocks || !PyTuple_Check(blocks.get())) return false;
    ensure_numpy_api();
    columns_.assign(cols, Column{});
    for (Py_ssize_t b = 0; b < PyTuple_GET_SIZE(blocks.get()); ++b) {
        if (!plan_block(PyTuple_GET_ITEM(blocks.get(), b), rows)) return false;
    }
    for (const Column& c : columns_) {
        if (c.kind == Column::Kind::none) return false;  // a column no block holds
    }
    return true;
}

bool FrameColumns::plan_block(PyObject* block, std::size_t rows) {
    PyRef placement = attr_or_null(block, "mgr_locs");
    PyRef locs = placement ? attr_or_null(placement.get(), "as_array") : PyRef();
    PyRef values = attr_or_null(block, "values");
    if (!locs || !values || !PyArray_CheckExact(locs.get())) return false;
    auto* loc_arr = reinterpret_cast<PyArrayObject*>(locs.get());
    if (PyArray_NDIM(loc_arr) != 1 || PyArray_TYPE(loc_arr) != NPY_INTP) return false;
    if (PyArray_CheckExact(values.get())) return plan_numpy(values.get(), locs.get(), rows);
    if (PyArray_DIM(loc_arr, 0) != 1) return false;  // extension arrays hold one column
    const auto loc = *static_cast<const npy_intp*>(PyArray_GETPTR1(loc_arr, 0));
    if (loc < 0) return false;
    return plan_extension(values.get(), static_cast<std::size_t>(loc), rows);
}

bool FrameColumns::take(std::size_t loc, const Column& column) {
    if (loc >= columns_.size() || columns_[loc].kind != Column::Kind::none) return false;
    columns_[loc] = column;
    return true;
}

// A 2-D block of shape (columns, rows): row k of it is the column at locs[k].
bool FrameColumns::plan_numpy(PyObject* values, PyObject* locs, std::size_t rows) {
    auto* arr = reinterpret_cast<PyArrayObject*>(values);
    auto* loc_arr = reinterpret_cast<PyArrayObject*>(locs);
    if (PyArray_NDIM(arr) != 2 || PyArray_DIM(arr, 0) != PyArray_DIM(loc_arr, 0) ||
        PyArray_DIM(arr, 1) != static_cast<npy_intp>(rows))
        return false;
    const bool objects = PyArray_TYPE(arr) == NPY_OBJECT;
    const NumberView::Type type = objects ? NumberView::Type::none : number_type(arr);
    // long double columns would widen what `values` computes in; they keep that path.
    if (!objects && (type == NumberView::Type::none || type == NumberView::Type::longdouble))
        return false;
    const char* data = static_cast<const char*>(PyArray_DATA(arr));
    const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
    for (npy_intp k = 0; k < PyArray_DIM(arr, 0); ++k) {
        const auto loc = *static_cast<const npy_intp*>(PyArray_GETPTR1(loc_arr, k));
        Column c;
        if (objects) {
            c.kind = Column::Kind::objects;
            c.slots = data + k * s0;
            c.stride = s1;
        } else {
            c.kind = Column::Kind::numbers;
            c.view = NumberView{data + k * s0, s1, type};
        }
        if (loc < 0 || !take(static_cast<std::size_t>(loc), c)) return false;
    }
    arrays_.push_back(PyRef::borrow(values));
    return true;
}

bool FrameColumns::plan_extension(PyObject* values, std::size_t loc, std::size_t rows) {
    PyRef arrays = attr_or_null(pandas_.get(), "arrays");
    if (!arrays) return false;
    if (is_type(values, arrays.get(), "StringArray")) {
        // Python-backed text: an object array of str and the dtype's missing marker.
        PyRef inner = attr_or_null(values, "_ndarray");
        if (!inner || !PyArray_CheckExact(inner.get())) return false;
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
    PyRef string_arrow = imported_module("pandas.core.arrays.string_arrow");
    const bool arrow = is_type(values, arrays.get(), "ArrowStringArray") ||
                       is_type(values, arrays.get(), "ArrowExtensionArray") ||
                       is_type(values, string_arrow.get(), "ArrowStringArrayNumpySemantics");
    if (!arrow) return false;
    // The missing marker that `values` would put in: the float NaN or pd.NA.
    PyRef dtype = attr_or_null(values, "dtype");
    PyRef marker = dtype ? attr_or_null(dtype.get(), "na_value") : PyRef();
    PyRef na = attr_or_null(pandas_.get(), "NA");
    if (!marker || !na) return false;
    const bool nan_marker =
        PyFloat_CheckExact(marker.get()) && std::isnan(PyFloat_AS_DOUBLE(marker.get()));
    if (!nan_marker && marker.get() != na.get()) return false;
    return plan_arrow(values, loc, rows, nan_marker);
}

bool FrameColumns::plan_arrow(PyObject* values, std::size_t loc, std::size_t rows,
                              bool nan_marker) {
    PyRef chunked(PyObject_CallMethod(values, "__arrow_array__", nullptr));
    if (!chunked) {
        clear_ordinary_error();
        return false;
    }
    PyRef capsule(PyObject_CallMethod(chunked.get(), "__arrow_c_stream__", nullptr));
    if (!capsule) {
        clear_ordinary_error();
        return false;
    }
    auto* stream =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (!stream) {
        clear_ordinary_error();
        return false;
    }
    // Move the stream out of the capsule: a released stream tells its destructor that the
    // consumer owns it now.
    ArrowArrayStream owned = *stream;
    stream->release = nullptr;
    std::string why;
    auto text = ArrowTextColumn::import(owned, why);
    if (!text || text->length() != rows) return false;
    arrow_.push_back(std::move(*text));
    Column c;
    c.kind = Column::Kind::arrow;
    c.text = &arrow_.back();
    c.nan_marker = nan_marker;
    return take(loc, c);
}

void FrameColumns::read(CellReader& reader) {
    for (std::size_t j = 0; j < columns_.size(); ++j) {
        const Column& c = columns_[j];
        switch (c.kind) {
            case Column::Kind::numbers: reader.set_numbers(j, c.view); break;
            case Column::Kind::objects: reader.add_slots(j, c.slots, c.stride); break;
            case Column::Kind::arrow:
                if (c.nan_marker && !c.text->first_valid()) {
                    // Only missing cells: NaN numbers, so the column stays numeric.
                    reader.set_numbers(j, NumberView{reinterpret_cast<const char*>(&kMissingNumber),
                                                     0, NumberView::Type::f64});
                    break;
                }
                if (c.nan_marker) {
                    // NaN before the column's first text renders as a number, later as str().
                    c.text->set_null_labels("NaN", "nan");
                } else {
                    c.text->set_null_labels("<NA>", "<NA>");
                }
                reader.set_text(j, c.text);
                break;
            case Column::Kind::none: break;
        }
    }
}

}  // namespace vandra
