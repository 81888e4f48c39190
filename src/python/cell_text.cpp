#include "python/cell_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include "lib/internal_error.hpp"

namespace vandra {

std::string float_to_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // Fixed notation with no precision gives the shortest digits that read back as the
    // same double; the longest such text (DBL_MAX) has 309 digits.
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
    if (res.ec != std::errc()) throw InternalError("float formatting failed");
    return std::string(buf, res.ptr);
}

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

std::string_view LabelStore::copy(std::string_view text) {
    if (text.size() > left_) {
        // Long labels get a block of their own; the current block keeps its free end.
        if (text.size() > kBlock / 4) {
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(text.size()));
            std::memcpy(blocks_.back().get(), text.data(), text.size());
            return std::string_view(blocks_.back().get(), text.size());
        }
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
        free_ = blocks_.back().get();
        left_ = kBlock;
    }
    if (!text.empty()) std::memcpy(free_, text.data(), text.size());
    const std::string_view copied(free_, text.size());
    free_ += text.size();
    left_ -= text.size();
    return copied;
}

std::string_view str_text(PyObject* str, LabelStore& store) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
        return store.copy(std::string_view(utf8, static_cast<std::size_t>(size)));
    }
    PyRef fixed = replace_surrogates(str);
    const char* utf8 = PyUnicode_AsUTF8AndSize(fixed.get(), &size);
    if (!utf8) throw PythonError{};
    return store.copy(std::string_view(utf8, static_cast<std::size_t>(size)));
}

std::string str_text_copy(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
        return std::string(utf8, static_cast<std::size_t>(size));
    }
    PyRef fixed = replace_surrogates(str);
    const char* utf8 = PyUnicode_AsUTF8AndSize(fixed.get(), &size);
    if (!utf8) throw PythonError{};
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string_view cell_text(PyObject* cell, LabelStore& store) {
    if (PyUnicode_CheckExact(cell)) return str_text(cell, store);
    PyRef text(PyObject_Str(cell));
    if (!text) throw_internal_from_python("cant convert to str");
    return str_text(text.get(), store);
}

}  // namespace vandra
