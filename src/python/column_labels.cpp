#include "python/column_labels.hpp"

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "python/errors.hpp"
#include "python/lookup.hpp"
#include "python/new_objects.hpp"
#include "python/numpy_api.hpp"
#include "python/pandas_compat.hpp"

namespace vandra {
namespace {

// Labels that are all str with a UTF-8 form, in iteration order; nullopt if any is not (or
// iteration fails). `exact`: whether every one is exactly a str.
std::optional<std::vector<std::string>> text_labels(PyObject* columns, bool& exact) {
    exact = true;
    PyRef iter(PyObject_GetIter(columns));
    if (!iter) {
        clear_ordinary_error();
        return std::nullopt;
    }
    std::vector<std::string> labels;
    while (PyRef item{PyIter_Next(iter.get())}) {
        if (!PyUnicode_Check(item.get())) return std::nullopt;
        exact = exact && PyUnicode_CheckExact(item.get());
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item.get(), &size);
        if (!utf8) {  // no UTF-8 form (lone surrogates): not a text label
            clear_ordinary_error();
            return std::nullopt;
        }
        labels.emplace_back(utf8, static_cast<std::size_t>(size));
    }
    if (PyErr_Occurred()) {
        clear_ordinary_error();
        return std::nullopt;
    }
    return labels;
}

// Adds a note to the pending error of a label's integer conversion (an ordinary error only;
// its type and message stay): which label failed and what labels may be. A MultiIndex's
// tuples and float labels end here.
void add_label_note(PyObject* label, std::size_t position) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
    PyRef exc = take_pending_exception();
    PyRef note(PyUnicode_FromFormat(
        "column labels must be all texts or all integers (signed 64-bit); column %zu's label "
        "is %R",
        position, label));
    PyRef done(note ? PyObject_CallMethod(exc.get(), "add_note", "O", note.get()) : nullptr);
    if (!done) {
        // A failed note must not replace the error it explains, unless it was an interrupt.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
        PyErr_Clear();
    }
    restore_exception(std::move(exc));
}

// Integer labels from columns.tolist(), as decimal texts.
std::vector<std::string> integer_labels(PyObject* columns) {
    PyRef list = checked(PyObject_CallMethod(columns, "tolist", nullptr));
    if (PyUnicode_Check(list.get()) || !PySequence_Check(list.get())) {
        PyErr_Format(PyExc_TypeError, "columns.tolist() returned a '%s', not a sequence",
                     Py_TYPE(list.get())->tp_name);
        throw PythonError{};
    }
    PyRef iter = checked(PyObject_GetIter(list.get()));
    std::vector<std::string> labels;
    while (PyRef item{PyIter_Next(iter.get())}) {
        const long long v = PyLong_AsLongLong(item.get());
        if (v == -1 && PyErr_Occurred()) {
            add_label_note(item.get(), labels.size());
            throw PythonError{};
        }
        labels.push_back(std::to_string(v));
    }
    if (PyErr_Occurred()) throw PythonError{};
    return labels;
}

// A copy of `columns`, an input frame's column Index, when pandas would build an equal Index
// (values, dtype, no name) from the list of its labels, all exact str; null otherwise.
PyRef reusable_column_index(PyObject* columns) {
    if (!pandas_compat::is_own_class(reinterpret_cast<PyObject*>(Py_TYPE(columns)),
                                     pandas_compat::Class::index))
        return PyRef();
    PyRef name = attr_or_null(columns, "name");
    PyRef dtype = attr_or_null(columns, "dtype");
    if (!name || name.get() != Py_None || !dtype) return PyRef();
    // What a list of str becomes: pandas' str dtype where it infers one, else object.
    const auto infers_str = pandas_compat::infers_string_dtype();
    if (!infers_str) return PyRef();
    bool same = false;
    if (*infers_str) {
        PyRef string_dtype = imported_attr("pandas", "StringDtype");
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

}  // namespace

OUT::Frame column_labels(PyObject* frame) {
    PyRef columns = checked(PyObject_GetAttrString(frame, "columns"));
    if (!PyUnicode_Check(columns.get()) && PySequence_Check(columns.get())) {
        bool exact = false;
        if (auto texts = text_labels(columns.get(), exact)) {
            return OUT::Frame{std::move(*texts),
                              exact ? reusable_column_index(columns.get()) : PyRef()};
        }
    }
    return OUT::Frame{integer_labels(columns.get()), PyRef()};
}

PyRef result_columns(const OUT::Frame& out, bool own_class) {
    if (own_class && out.index) return PyRef::borrow(out.index.get());
    PyRef names = allocated(PyList_New(static_cast<Py_ssize_t>(out.columns.size())));
    for (std::size_t k = 0; k < out.columns.size(); ++k) {
        PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k),
                        label_str(out.columns[k]).release());
    }
    return names;
}

}  // namespace vandra
