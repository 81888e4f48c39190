#include "python/errors.hpp"

#include <cstdio>

#include "python/once.hpp"

namespace vandra {
namespace {

constexpr const char* kGenericMessage = "internal error in vandra";

PyObject* internal_error_type() {
    static PyOnce<PyObject> once;
    return once.get([] {
        return PyErr_NewExceptionWithDoc(
            "vandra.InternalError",
            "An internal consistency failure inside vandra. Derived directly from\n"
            "BaseException, so `except Exception` does not catch it.",
            PyExc_BaseException, nullptr);
    });
}

}  // namespace

InternalErrorFromPython::InternalErrorFromPython(const std::string& message, PyRef cause_ref)
    : InternalError(message), cause(cause_ref.release(), [](PyObject* p) { Py_XDECREF(p); }) {}

void raise_internal_error(const char* message, PyObject* cause) noexcept {
    const char* text = message && *message ? message : kGenericMessage;
    std::fprintf(stderr, "vandra: internal error: %s\n", text);
    PyObject* type = internal_error_type();
    if (!type) return;  // its creation failed and left that exception set
    PyErr_SetString(type, text);
    if (!cause) return;
    PyRef exc = take_pending_exception();
    Py_INCREF(cause);
    PyException_SetCause(exc.get(), cause);  // steals the reference
    restore_exception(std::move(exc));
}

void clear_ordinary_error() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    PyErr_Clear();
}

void throw_internal_from_python(const std::string& context) {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
    std::string message = context;
    PyRef exc = take_pending_exception();
    if (exc) {
        PyRef text(PyObject_Str(exc.get()));
        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        if (!utf8) {
            // The exception's own str() failed: an interrupt raised there wins.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
            PyErr_Clear();
        }
        message += ": ";
        message += Py_TYPE(exc.get())->tp_name;
        if (utf8 && *utf8) message += std::string(": ") + utf8;
    }
    throw InternalErrorFromPython(message, std::move(exc));
}

}  // namespace vandra
