#include "python/cell_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "lib/internal_error.hpp"

namespace vandra {

std::string float_to_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // The shortest digits that read back as the same double come from the shortest
    // scientific form ("d.ddde+XX"); they are then written out positionally. (Fixed notation
    // without a precision is shortest in characters, not digits: it writes 1e23 as the
    // 23 digits of the exact binary value.)
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    if (res.ec != std::errc()) throw InternalError("float formatting failed");
    const std::string_view text(sci, static_cast<std::size_t>(res.ptr - sci));
    const std::size_t e_at = text.find('e');
    const bool negative = text.front() == '-';
    std::string digits;
    for (char c : text.substr(negative ? 1 : 0, e_at - (negative ? 1 : 0))) {
        if (c != '.') digits += c;
    }
    int exponent = 0;
    const char* exp_begin = text.data() + e_at + 1;
    if (*exp_begin == '+') ++exp_begin;
    std::from_chars(exp_begin, text.data() + text.size(), exponent);
    // value = 0.digits * 10^point
    const long point = static_cast<long>(exponent) + 1;
    const auto n = static_cast<long>(digits.size());
    std::string out = negative ? "-" : "";
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
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
