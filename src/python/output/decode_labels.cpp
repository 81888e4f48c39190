#include "python/output/decode_labels.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "python/errors.hpp"

namespace vandra {

PyRef allocated(PyObject* owned) {
    if (!owned) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_internal_from_python("out of memory");
        throw PythonError{};
    }
    return PyRef(owned);
}

Code code_of(double x) {
    constexpr double kTwo64 = 18446744073709551616.0;
    if (!(x >= 0)) return 0;  // negative values (NaN is handled by the callers)
    if (x >= kTwo64) return std::numeric_limits<Code>::max();
    return static_cast<Code>(x);
}

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

PyObject* ColumnLabels::get(double x, PyObject* missing) {
    if (std::isnan(x)) return missing;
    const Code code = code_of(x);
    if (code >= codes_.size()) return missing;
    PyRef& s = strs_[code];
    if (!s) s = label_str(codes_.label(code));
    return s.get();
}

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

PyRef new_object_array(int ndim, npy_intp* dims) {
    ensure_numpy_api();
    return allocated(
        PyArray_New(&PyArray_Type, ndim, dims, NPY_OBJECT, nullptr, nullptr, 0, 0, nullptr));
}

}  // namespace vandra
