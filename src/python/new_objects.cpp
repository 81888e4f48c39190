#include "python/new_objects.hpp"

#include <cstdint>
#include <cstring>

#include "python/errors.hpp"

namespace vandra {

PyRef allocated(PyObject* owned) {
    if (!owned) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_internal_from_python("out of memory");
        throw PythonError{};
    }
    return PyRef(owned);
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

}  // namespace vandra
