#include "python/output/decode_labels.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "python/errors.hpp"

namespace vandra {

Code code_of(double x) {
    constexpr double kTwo64 = 18446744073709551616.0;
    if (!(x >= 0)) return 0;  // negative values (NaN is handled by the callers)
    if (x >= kTwo64) return std::numeric_limits<Code>::max();
    return static_cast<Code>(x);
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
