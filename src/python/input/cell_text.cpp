#include "python/input/cell_text.hpp"

#include <cstring>

#include "lib/records.hpp"
#include "lib/scratch.hpp"
#include "python/errors.hpp"
#include "python/lookup.hpp"

namespace vandra {

namespace {

// For strings that cannot be encoded to UTF-8 (unpaired surrogates): a new str
// holding the replacement text.
PyRef replace_surrogates(PyObject* str) {
    clear_ordinary_error();
    PyRef bytes = checked(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    return checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                        PyBytes_GET_SIZE(bytes.get()), "replace"));
}

}  // namespace

LabelStore::~LabelStore() {
    for (auto& block : blocks_) scratch::give(std::move(block));
}

std::string_view LabelStore::copy(std::string_view text) {
    if (text.size() > left_) {
        auto new_block = [this](std::size_t bytes) {
            blocks_.push_back(scratch::take<char>(bytes));
            blocks_.back().resize(bytes);
            return blocks_.back().data();
        };
        // Long labels get a block of their own; the current block keeps its free end.
        if (text.size() > kBlock / 4) {
            char* own = new_block(text.size());
            std::memcpy(own, text.data(), text.size());
            return std::string_view(own, text.size());
        }
        free_ = new_block(kBlock);
        left_ = kBlock;
    }
    if (!text.empty()) std::memcpy(free_, text.data(), text.size());
    const std::string_view copied(free_, text.size());
    free_ += text.size();
    left_ -= text.size();
    return copied;
}

namespace {

// The UTF-8 of `str` by the text rule, valid while `holder` (the str itself, or its
// replacement text) lives.
std::string_view utf8_of(PyObject* str, PyRef& holder) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
    if (!utf8) {
        holder = replace_surrogates(str);
        utf8 = PyUnicode_AsUTF8AndSize(holder.get(), &size);
        if (!utf8) throw PythonError{};
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

}  // namespace

std::string_view str_text(PyObject* str, LabelStore& store) {
    PyRef holder;
    return store.copy(utf8_of(str, holder));
}

std::string str_text_copy(PyObject* str) {
    PyRef holder;
    return std::string(utf8_of(str, holder));
}

namespace {
thread_local PyObject* t_missing_marker = nullptr;
}  // namespace

MissingMarkerScope::MissingMarkerScope()
    : marker_(imported_attr("pandas", "NA")), outer_(t_missing_marker) {
    t_missing_marker = marker_.get();
}

MissingMarkerScope::~MissingMarkerScope() {
    t_missing_marker = outer_;
}

bool is_missing_marker(PyObject* cell) {
    return cell != nullptr && cell == t_missing_marker;
}

std::optional<double> cell_number(PyObject* cell) {
    if (PyFloat_CheckExact(cell)) return PyFloat_AS_DOUBLE(cell);
    // A str never converts to a float (it has no __float__); no need to ask.
    if (PyUnicode_CheckExact(cell)) return std::nullopt;
    if (cell == t_missing_marker) return kQuietNaN;
    const double v = PyFloat_AsDouble(cell);
    if (v == -1.0 && PyErr_Occurred()) {
        clear_ordinary_error();
        return std::nullopt;
    }
    return v;
}

std::string_view cell_text(PyObject* cell, LabelStore& store) {
    if (PyUnicode_CheckExact(cell)) return str_text(cell, store);
    PyRef text(PyObject_Str(cell));
    if (!text) throw_internal_from_python("cant convert to str");
    return str_text(text.get(), store);
}

}  // namespace vandra
