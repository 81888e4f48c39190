#include "python/pandas_compat.hpp"

#include "python/lookup.hpp"
#include "python/numpy_api.hpp"

namespace vandra::pandas_compat {
namespace {

bool is_array_class(PyObject* values, const char* name) {
    return is_exactly(values, "pandas.arrays", name);
}

}  // namespace

bool is_frame(PyObject* obj) {
    return is_exactly(obj, "pandas", "DataFrame");
}

bool is_own_class(PyObject* cls, Class which) {
    switch (which) {
        case Class::frame: return is_class_of(cls, "pandas.core.frame", "DataFrame");
        case Class::series: return is_class_of(cls, "pandas.core.series", "Series");
        case Class::index: return is_class_of(cls, "pandas.core.indexes.base", "Index");
    }
    return false;
}

bool frames_keep_fortran_floats() {
    return is_own_class(imported_attr("pandas", "DataFrame").get(), Class::frame);
}

bool concat_copies_by_default() {
    PyRef version = imported_attr("pandas", "__version__");
    if (!version || !PyUnicode_Check(version.get())) {
        if (PyErr_Occurred()) clear_ordinary_error();
        return false;
    }
    const char* text = PyUnicode_AsUTF8(version.get());
    if (!text) {
        clear_ordinary_error();
        return false;
    }
    return text[0] >= '0' && text[0] <= '2' && text[1] == '.';
}

std::optional<bool> infers_string_dtype() {
    PyRef config = imported_module("pandas._config");
    if (!config) return std::nullopt;
    if (PyRef using_str = attr_or_null(config.get(), "using_string_dtype")) {
        PyRef answer(PyObject_CallNoArgs(using_str.get()));
        if (!answer) clear_ordinary_error();
        if (!answer || !PyBool_Check(answer.get())) return std::nullopt;
        return answer.get() == Py_True;
    }
    // Older pandas: object, unless its opt-in inference of Arrow strings is on (whose dtype
    // is not the one looked for here).
    PyRef arrow_str = attr_or_null(config.get(), "using_pyarrow_string_dtype");
    PyRef answer(arrow_str ? PyObject_CallNoArgs(arrow_str.get()) : nullptr);
    if (!answer) {
        if (PyErr_Occurred()) clear_ordinary_error();
        return std::nullopt;
    }
    if (answer.get() != Py_False) return std::nullopt;
    return false;
}

std::optional<std::vector<Block>> frame_blocks(PyObject* frame) {
    PyRef mgr = attr_or_null(frame, "_mgr");
    PyRef blocks = mgr ? attr_or_null(mgr.get(), "blocks") : PyRef();
    if (!blocks || !PyTuple_Check(blocks.get())) return std::nullopt;
    ensure_numpy_api();
    std::vector<Block> out;
    for (Py_ssize_t b = 0; b < PyTuple_GET_SIZE(blocks.get()); ++b) {
        PyObject* block = PyTuple_GET_ITEM(blocks.get(), b);
        PyRef placement = attr_or_null(block, "mgr_locs");
        PyRef locs = placement ? attr_or_null(placement.get(), "as_array") : PyRef();
        PyRef values = attr_or_null(block, "values");
        if (!locs || !values || !PyArray_CheckExact(locs.get())) return std::nullopt;
        auto* loc_arr = reinterpret_cast<PyArrayObject*>(locs.get());
        if (PyArray_NDIM(loc_arr) != 1 || PyArray_TYPE(loc_arr) != NPY_INTP) return std::nullopt;
        Block kept{std::move(values), {}};
        for (npy_intp k = 0; k < PyArray_DIM(loc_arr, 0); ++k) {
            const auto loc = *static_cast<const npy_intp*>(PyArray_GETPTR1(loc_arr, k));
            if (loc < 0) return std::nullopt;
            kept.locs.push_back(static_cast<std::size_t>(loc));
        }
        out.push_back(std::move(kept));
    }
    return out;
}

bool values_are_object_blocks(PyObject* frame, std::size_t blocks) {
    if (blocks < 2) return false;  // one block's `values` is its own array
    PyRef mgr = attr_or_null(frame, "_mgr");
    if (!mgr) return false;
    PyRef dtype;
    if (PyRef cached = attr_or_null(mgr.get(), "_get_interleaved_dtype")) {
        dtype = PyRef(PyObject_CallNoArgs(cached.get()));  // pandas 3.1
    } else if (PyRef rule = imported_attr("pandas.core.internals.managers", "interleaved_dtype")) {
        PyRef list = attr_or_null(mgr.get(), "blocks");
        PyRef dtypes = list ? PyRef(PyList_New(0)) : PyRef();
        for (Py_ssize_t b = 0;
             dtypes && PyTuple_Check(list.get()) && b < PyTuple_GET_SIZE(list.get()); ++b) {
            PyRef one = attr_or_null(PyTuple_GET_ITEM(list.get(), b), "dtype");
            if (!one || PyList_Append(dtypes.get(), one.get()) != 0) dtypes.reset();
        }
        if (dtypes) dtype = PyRef(PyObject_CallOneArg(rule.get(), dtypes.get()));
    }
    if (!dtype) {
        if (PyErr_Occurred()) clear_ordinary_error();
        return false;
    }
    ensure_numpy_api();
    return PyArray_DescrCheck(dtype.get()) &&
           reinterpret_cast<PyArray_Descr*>(dtype.get())->type_num == NPY_OBJECT;
}

ArrayKind array_kind(PyObject* values) {
    if (PyArray_CheckExact(values)) return ArrayKind::numpy;
    if (is_array_class(values, "StringArray")) return ArrayKind::python_string;
    if (is_array_class(values, "ArrowStringArray") ||
        is_array_class(values, "ArrowExtensionArray") ||
        is_exactly(values, "pandas.core.arrays.string_arrow", "ArrowStringArrayNumpySemantics"))
        return ArrayKind::arrow;
    if (is_array_class(values, "Categorical")) return ArrayKind::categorical;
    if (is_array_class(values, "DatetimeArray")) return ArrayKind::datetime;
    if (is_array_class(values, "TimedeltaArray")) return ArrayKind::timedelta;
    if (is_array_class(values, "PeriodArray")) return ArrayKind::period;
    if (is_array_class(values, "IntegerArray") || is_array_class(values, "FloatingArray") ||
        is_array_class(values, "BooleanArray"))
        return ArrayKind::masked;
    return ArrayKind::other;
}

PyRef backing_ndarray(PyObject* values) {
    PyRef inner = attr_or_null(values, "_ndarray");
    if (!inner || !PyArray_CheckExact(inner.get())) return PyRef();
    return inner;
}

std::optional<Codes> categorical_codes(PyObject* values) {
    PyRef codes = attr_or_null(values, "_codes");
    PyRef dtype = attr_or_null(values, "dtype");
    PyRef categories = dtype ? attr_or_null(dtype.get(), "categories") : PyRef();
    if (!codes || !PyArray_CheckExact(codes.get()) || !categories) return std::nullopt;
    const Py_ssize_t n = PyObject_Length(categories.get());
    if (n < 0) {
        clear_ordinary_error();
        return std::nullopt;
    }
    PyRef held = attr_or_null(categories.get(), "_values");
    PyRef objects;
    if (held && PyArray_CheckExact(held.get())) {
        objects = PyRef::borrow(held.get());
    } else if (held) {
        objects = backing_ndarray(held.get());
    }
    if (objects) {
        auto* arr = reinterpret_cast<PyArrayObject*>(objects.get());
        if (PyArray_NDIM(arr) != 1 || PyArray_TYPE(arr) != NPY_OBJECT || PyArray_DIM(arr, 0) != n)
            objects = PyRef();
    }
    return Codes{std::move(codes), static_cast<std::size_t>(n), std::move(objects),
                 std::move(held)};
}

std::optional<Masked> masked_parts(PyObject* values) {
    PyRef data = attr_or_null(values, "_data");
    PyRef mask = attr_or_null(values, "_mask");
    if (!data || !mask || !PyArray_CheckExact(data.get()) || !PyArray_CheckExact(mask.get()))
        return std::nullopt;
    return Masked{std::move(data), std::move(mask)};
}

PyRef na_value(PyObject* values) {
    PyRef dtype = attr_or_null(values, "dtype");
    return dtype ? attr_or_null(dtype.get(), "na_value") : PyRef();
}

}  // namespace vandra::pandas_compat
