#include "python/output.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/internal_error.hpp"
#include "pool/pool.hpp"
#include "python/numpy_api.hpp"
#include "python/pandas_lookup.hpp"

namespace vandra {
namespace {

// For the objects this routine allocates itself (str, list, tuple, dict, slice, array):
// running out of memory there is an internal failure, unlike errors pandas raises.
PyRef allocated(PyObject* owned) {
    if (!owned) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_internal_from_python("out of memory");
        throw PythonError{};
    }
    return PyRef(owned);
}

// Truncates toward zero into the code range, saturating at both ends.
Code code_of(double x) {
    constexpr double kTwo64 = 18446744073709551616.0;
    if (!(x >= 0)) return 0;  // negative values (NaN is handled by the callers)
    if (x >= kTwo64) return std::numeric_limits<Code>::max();
    return static_cast<Code>(x);
}

PyRef new_str(const std::string& text) {
    return allocated(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

// A new str of a label: ASCII text (most labels) is copied straight into a new compact str,
// skipping the decoder's scan; anything else is decoded.
PyRef label_str(std::string_view label) {
    const auto n = static_cast<Py_ssize_t>(label.size());
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= label.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, label.data() + i, 8);
        high |= w;
    }
    for (; i < label.size(); ++i) high |= static_cast<unsigned char>(label[i]);
    if ((high & 0x8080808080808080ull) != 0) {
        return allocated(PyUnicode_DecodeUTF8(label.data(), n, "strict"));
    }
    PyRef str = allocated(PyUnicode_New(n, 127));
    if (n > 0) std::memcpy(PyUnicode_DATA(str.get()), label.data(), label.size());
    return str;
}

// The labels of one encoded column, looked up by cell value. Codes are dense (0 .. k-1)
// and the code map holds the labels in code order, so a code indexes it directly; each
// label's str is made once, on first use. Any other value decodes to `missing`.
class ColumnLabels {
  public:
    explicit ColumnLabels(const CodeMap& codes) : codes_(codes), strs_(codes.size()) {}

    // The label's str for cell value x, or `missing` (borrowed) for NaN / unknown codes.
    PyObject* get(double x, PyObject* missing) {
        if (std::isnan(x)) return missing;
        const Code code = code_of(x);
        if (code >= codes_.size()) return missing;
        PyRef& s = strs_[code];
        if (!s) s = label_str(codes_.label(code));
        return s.get();
    }

  private:
    const CodeMap& codes_;
    std::vector<PyRef> strs_;
};

const CodeMap& code_map_of(const FitState& fit, ColumnIndex c) {
    auto it = fit.code_maps.find(c);
    if (it == fit.code_maps.end()) {
        throw InternalError("no code map for encoded column " + std::to_string(c));
    }
    return it->second;
}

[[noreturn]] void position_outside(ColumnIndex c, std::size_t cols) {
    throw InternalError("encoded column " + std::to_string(c) + " is outside the object (" +
                        std::to_string(cols) + " columns)");
}

// A new object array of the given shape, every slot empty (None) until written.
PyRef new_object_array(int ndim, npy_intp* dims) {
    ensure_numpy_api();
    return allocated(
        PyArray_New(&PyArray_Type, ndim, dims, NPY_OBJECT, nullptr, nullptr, 0, 0, nullptr));
}

void put(PyObject** slot, PyObject* value) {
    Py_INCREF(value);
    Py_XSETREF(*slot, value);
}

// The array form of decode: a new C-order object array whose encoded columns hold label str
// (or "NaN") and whose other cells hold Python floats.
PyRef decoded_array(const ValueMatrix& m, const FitState& fit) {
    // Sized only for a table with cells: a shape like (0, 2**40) holds none.
    std::vector<std::unique_ptr<ColumnLabels>> labels(m.rows > 0 ? m.cols : 0);
    for (ColumnIndex c : fit.encoded_columns) {
        const CodeMap& codes = code_map_of(fit, c);
        if (m.rows == 0) continue;  // no cell to decode, so no position to check
        if (c >= m.cols) position_outside(c, m.cols);
        labels[c] = std::make_unique<ColumnLabels>(codes);
    }
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    PyRef objects = new_object_array(2, dims);
    auto** slots =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(objects.get())));
    PyRef nan_text = allocated(PyUnicode_FromString("NaN"));
    if (m.cols == 0) return objects;
    for (std::size_t r = 0; r < m.rows; ++r) {
        if ((r & 0xFFFF) == 0xFFFF) check_signals();
        for (std::size_t c = 0; c < m.cols; ++c, ++slots) {
            const double x = m.at(r, c);
            if (labels[c]) {
                put(slots, labels[c]->get(x, nan_text.get()));
            } else {
                PyObject* number = allocated(PyFloat_FromDouble(x)).release();
                Py_XSETREF(*slots, number);
            }
        }
    }
    return objects;
}

// Columns of fewer rows are decoded on the calling thread alone: the pool would cost more.
constexpr std::size_t kSerialRows = std::size_t{1} << 15;

// The frame form's labels of column c: a new object array of str or None, one per row.
// Codes come in row order and point anywhere in the code map, so rather than chase a label,
// its str and the str's count row by row, this runs in passes that each read memory in
// order: every row's label (in parallel); how many rows hold each label; one str per label
// in use, made in code order; the slots (in parallel, no object touched); then each str gets
// all of its references at once.
PyRef decoded_column(const ValueMatrix& m, const CodeMap& codes, ColumnIndex c) {
    npy_intp rows = static_cast<npy_intp>(m.rows);
    PyRef column = new_object_array(1, &rows);
    auto** slots =
        static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(column.get())));
    const std::size_t n = m.rows, k = codes.size();
    if (n == 0) return column;
    if (k >= std::numeric_limits<std::uint32_t>::max()) {
        throw InternalError("code map of " + std::to_string(k) + " labels");
    }
    std::optional<pool::SerialScope> serial;
    if (n < kSerialRows) serial.emplace();

    // Label index per row; k stands for None (NaN and codes outside the map).
    auto index = std::make_unique_for_overwrite<std::uint32_t[]>(n);
    std::uint32_t* const idx = index.get();
    pool::for_each_range(0, n, [&m, c, k, idx](std::size_t lo, std::size_t hi) {
        for (std::size_t r = lo; r < hi; ++r) {
            const double x = m.at(r, c);
            const Code code = std::isnan(x) ? k : code_of(x);
            idx[r] = static_cast<std::uint32_t>(code < k ? code : k);
        }
    });
    std::vector<std::size_t> uses(k + 1, 0);
    for (std::size_t r = 0; r < n; ++r) ++uses[idx[r]];

    std::vector<PyRef> strs(k);
    std::vector<PyObject*> object_of(k + 1, Py_None);
    for (std::size_t code = 0; code < k; ++code) {
        if (uses[code] == 0) continue;
        strs[code] = label_str(codes.label(code));
        object_of[code] = strs[code].get();
    }

    // NumPy fills a new object array with None (n references); an array left all NULL
    // holds none. Either way the first slot tells which.
    PyObject* const before = slots[0];
    PyObject* const* const object = object_of.data();
    try {
        pool::for_each_range(0, n, [slots, idx, object](std::size_t lo, std::size_t hi) {
            for (std::size_t r = lo; r < hi; ++r) slots[r] = object[idx[r]];
        });
    } catch (...) {
        std::fill_n(slots, n, before);  // back to what the array holds references for
        throw;
    }
    for (std::size_t code = 0; code < k; ++code) {
        for (std::size_t u = 0; u < uses[code]; ++u) Py_INCREF(object_of[code]);
    }
    const std::size_t held = before == nullptr ? 0 : n;
    for (std::size_t u = held; u < uses[k]; ++u) Py_INCREF(Py_None);
    for (std::size_t u = uses[k]; u < held; ++u) Py_DECREF(Py_None);
    return column;
}

// The same labels as a list, for frames decoded through pandas' own indexers.
PyRef decoded_list(const ValueMatrix& m, const CodeMap& codes, ColumnIndex c) {
    PyRef labels = allocated(PyList_New(static_cast<Py_ssize_t>(m.rows)));
    ColumnLabels by_code(codes);
    for (std::size_t r = 0; r < m.rows; ++r) {
        PyObject* item = by_code.get(m.at(r, c), Py_None);
        Py_INCREF(item);
        PyList_SET_ITEM(labels.get(), static_cast<Py_ssize_t>(r), item);
    }
    return labels;
}

// True when `columns[c]` occurs more than once: then the column is addressed by position.
bool name_repeats(const std::vector<std::string>& columns, std::size_t c) {
    std::size_t count = 0;
    for (const auto& name : columns) count += name == columns[c];
    return count > 1;
}

// Decodes column c of a frame we may not know: converted to object dtype and assigned the
// labels through pandas' own indexers, by name (by position where the name repeats).
void decode_column_by_indexers(PyObject* frame, const ValueMatrix& m,
                               const std::vector<std::string>& columns, const CodeMap& codes,
                               ColumnIndex c) {
    PyRef labels = decoded_list(m, codes, c);
    PyRef name = new_str(columns[c]);
    PyRef all_rows = allocated(PySlice_New(nullptr, nullptr, nullptr));
    if (!name_repeats(columns, c)) {
        PyRef column = checked(PyObject_GetItem(frame, name.get()));
        PyRef converted = checked(PyObject_CallMethod(column.get(), "astype", "s", "object"));
        PyRef done =
            checked(PyObject_CallMethod(frame, "__setitem__", "OO", name.get(), converted.get()));
        PyRef loc = checked(PyObject_GetAttrString(frame, "loc"));
        PyRef key = allocated(PyTuple_Pack(2, all_rows.get(), name.get()));
        check_status(PyObject_SetItem(loc.get(), key.get(), labels.get()));
        return;
    }
    // A repeated name would address every column of that name; go by position instead
    // so that exactly the remembered column changes.
    PyRef position = allocated(PyLong_FromSize_t(c));
    PyRef iloc = checked(PyObject_GetAttrString(frame, "iloc"));
    PyRef key = allocated(PyTuple_Pack(2, all_rows.get(), position.get()));
    PyRef column = checked(PyObject_GetItem(iloc.get(), key.get()));
    PyRef converted = checked(PyObject_CallMethod(column.get(), "astype", "s", "object"));
    PyRef done =
        checked(PyObject_CallMethod(frame, "isetitem", "OO", position.get(), converted.get()));
    check_status(PyObject_SetItem(iloc.get(), key.get(), labels.get()));
}

PyRef frame_result(ValueMatrix& m, OUT::Frame& out, const FitState* fit) {
    const std::vector<std::string>& columns = out.columns;
    PyRef pandas = checked(PyImport_ImportModule("pandas"));
    PyRef kwargs = allocated(PyDict_New());
    PyRef ctor = checked(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    const bool own_class = is_class_of(ctor.get(), "pandas.core.frame", "DataFrame");
    if (own_class && out.index) {
        check_status(PyDict_SetItemString(kwargs.get(), "columns", out.index.get()));
    } else {
        PyRef names = allocated(PyList_New(static_cast<Py_ssize_t>(columns.size())));
        for (std::size_t k = 0; k < columns.size(); ++k) {
            PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), new_str(columns[k]).release());
        }
        check_status(PyDict_SetItemString(kwargs.get(), "columns", names.get()));
    }
    PyRef floats;
    if (own_class && m.fortran) {
        // pandas copies a float array into Fortran order unless told not to; ours is fresh,
        // already in that order and referenced by nothing else, so the frame can own it.
        check_status(PyDict_SetItemString(kwargs.get(), "copy", Py_False));
        floats = std::move(m.array);
    } else if (m.fortran) {
        floats =
            allocated(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(m.array.get()), NPY_CORDER));
    } else {
        floats = std::move(m.array);
    }
    PyRef frame;
    {
        PyRef args = allocated(PyTuple_Pack(1, floats.get()));
        frame = checked(PyObject_Call(ctor.get(), args.get(), kwargs.get()));
    }
    if (!fit || fit->encoded_columns.empty()) return frame;
    // Built by pandas' own constructor from our array: each encoded column can be put in
    // place in one step, as an object Series (so that pandas infers no other dtype).
    PyRef series_cls;
    if (own_class && reinterpret_cast<PyObject*>(Py_TYPE(frame.get())) == ctor.get()) {
        series_cls = checked(PyObject_GetAttrString(pandas.get(), "Series"));
        if (!is_class_of(series_cls.get(), "pandas.core.series", "Series")) series_cls.reset();
    }
    PyRef series_kwargs;
    if (series_cls) {
        series_kwargs = allocated(PyDict_New());
        // numpy's object dtype itself: pandas resolves it faster than the name "object".
        PyRef object_dtype(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_OBJECT)));
        check_status(PyDict_SetItemString(series_kwargs.get(), "dtype", object_dtype.get()));
        check_status(PyDict_SetItemString(series_kwargs.get(), "copy", Py_False));
    }
    for (ColumnIndex c : fit->encoded_columns) {
        check_signals();
        const CodeMap& codes = code_map_of(*fit, c);
        if (m.rows > 0 && c >= m.cols) position_outside(c, m.cols);
        if (c >= columns.size()) position_outside(c, columns.size());
        if (!series_cls) {
            decode_column_by_indexers(frame.get(), m, columns, codes, c);
            continue;
        }
        PyRef labels = decoded_column(m, codes, c);
        PyRef args = allocated(PyTuple_Pack(1, labels.get()));
        PyRef series = checked(PyObject_Call(series_cls.get(), args.get(), series_kwargs.get()));
        PyRef position = allocated(PyLong_FromSize_t(c));
        PyRef done = checked(
            PyObject_CallMethod(frame.get(), "isetitem", "OO", position.get(), series.get()));
    }
    return frame;
}

}  // namespace

PyRef reusable_column_index(PyObject* columns) {
    if (!is_class_of(reinterpret_cast<PyObject*>(Py_TYPE(columns)), "pandas.core.indexes.base",
                     "Index"))
        return PyRef();
    PyRef name = attr_or_null(columns, "name");
    PyRef dtype = attr_or_null(columns, "dtype");
    PyRef config = imported_module("pandas._config");
    if (!name || name.get() != Py_None || !dtype || !config) return PyRef();
    // What a list of str becomes: pandas' str dtype where it infers one, else object.
    bool infers_str = false;
    if (PyRef using_str = attr_or_null(config.get(), "using_string_dtype")) {
        PyRef answer(PyObject_CallNoArgs(using_str.get()));
        if (!answer) clear_ordinary_error();
        if (!answer || !PyBool_Check(answer.get())) return PyRef();
        infers_str = answer.get() == Py_True;
    } else {
        // Older pandas: object, unless its opt-in inference of Arrow strings is on.
        PyRef arrow_str = attr_or_null(config.get(), "using_pyarrow_string_dtype");
        PyRef answer(arrow_str ? PyObject_CallNoArgs(arrow_str.get()) : nullptr);
        if (!answer) {
            if (PyErr_Occurred()) clear_ordinary_error();
            return PyRef();
        }
        if (answer.get() != Py_False) return PyRef();
    }
    bool same = false;
    if (infers_str) {
        PyRef pandas = imported_module("pandas");
        PyRef string_dtype = pandas ? attr_or_null(pandas.get(), "StringDtype") : PyRef();
        PyRef kwargs = allocated(PyDict_New());
        PyRef nan = allocated(PyFloat_FromDouble(std::numeric_limits<double>::quiet_NaN()));
        check_status(PyDict_SetItemString(kwargs.get(), "na_value", nan.get()));
        PyRef args = allocated(PyTuple_New(0));
        PyRef want(string_dtype ? PyObject_Call(string_dtype.get(), args.get(), kwargs.get())
                                : nullptr);
        const int eq = want ? PyObject_RichCompareBool(dtype.get(), want.get(), Py_EQ) : -1;
        if (eq < 0 && PyErr_Occurred()) clear_ordinary_error();
        same = eq == 1;
    } else {
        ensure_numpy_api();
        same = PyArray_DescrCheck(dtype.get()) &&
               reinterpret_cast<PyArray_Descr*>(dtype.get())->type_num == NPY_OBJECT;
    }
    if (!same) return PyRef();
    // A copy: the result must not share the Index object, whose name can be set in place.
    PyRef copy(PyObject_CallMethod(columns, "copy", nullptr));
    if (!copy) clear_ordinary_error();
    return copy;
}

bool frame_result_is_fortran() {
    PyRef name = checked(PyUnicode_FromString("pandas"));
    PyRef pandas(PyImport_GetModule(name.get()));
    if (!pandas) {
        if (PyErr_Occurred()) clear_ordinary_error();
        return false;
    }
    PyRef ctor(PyObject_GetAttrString(pandas.get(), "DataFrame"));
    if (!ctor) {
        clear_ordinary_error();
        return false;
    }
    return is_class_of(ctor.get(), "pandas.core.frame", "DataFrame");
}

PyRef arr_to_out(ValueMatrix& matrix, OUT out, const FitState* fit) {
    if (auto* frame = std::get_if<OUT::Frame>(&out.kind)) {
        return frame_result(matrix, *frame, fit);
    }
    if (!fit) return std::move(matrix.array);
    return decoded_array(matrix, *fit);
}

}  // namespace vandra
