#include "python/output/decode_labels.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "pool/pool.hpp"
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

namespace {

// Columns of fewer rows are decoded on the calling thread alone: the pool would cost more.
constexpr std::size_t kSerialRows = std::size_t{1} << 15;

}  // namespace

// Codes come in row order and point anywhere in the code map, so rather than chase a label,
// its str and the str's count row by row, this runs in passes that each read memory in
// order: every row's label (in parallel); how many rows hold each label; one str per label
// in use, made in code order; the slots (in parallel, no object touched); then each str gets
// all of its references at once.
void write_labels(PyObject** slots, const ValueMatrix& m, const CodeMap& codes, ColumnIndex c) {
    const std::size_t n = m.rows, k = codes.size();
    if (n == 0) return;
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
    // Each str's own reference goes to its first slot, the rest are added.
    for (std::size_t code = 0; code < k; ++code) {
        if (uses[code] == 0) continue;
        for (std::size_t u = 1; u < uses[code]; ++u) Py_INCREF(object_of[code]);
        (void)strs[code].release();
    }
    const std::size_t held = before == nullptr ? 0 : n;
    for (std::size_t u = held; u < uses[k]; ++u) Py_INCREF(Py_None);
    for (std::size_t u = uses[k]; u < held; ++u) Py_DECREF(Py_None);
}

PyRef new_object_array(int ndim, npy_intp* dims, bool fortran) {
    ensure_numpy_api();
    return allocated(PyArray_New(&PyArray_Type, ndim, dims, NPY_OBJECT, nullptr, nullptr, 0,
                                 fortran ? 1 : 0, nullptr));
}

}  // namespace vandra
