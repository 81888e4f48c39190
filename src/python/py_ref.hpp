// RAII ownership of Python references, and the C++ exception that carries "a Python
// error is already set" up to the entry point. Every glue function either returns owned
// references in PyRef or throws; no path leaks or double-frees.
#pragma once

#include <Python.h>

#include <utility>

namespace vandra {

// Thrown after a CPython call failed and left its exception set; entry points return
// NULL on it so the exception reaches the caller unchanged.
struct PythonError {};

class PyRef {
  public:
    PyRef() = default;
    // Takes ownership of a new reference (may be null).
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    static PyRef borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return PyRef(p);
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PyRef& operator=(PyRef&& o) noexcept {
        if (this != &o) reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(p_, owned);
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    PyObject* p_ = nullptr;
};

// Wraps the result of a CPython call that returns a new reference or NULL with an error.
inline PyRef checked(PyObject* owned) {
    if (!owned) throw PythonError{};
    return PyRef(owned);
}

// For CPython calls that signal failure with -1.
inline void check_status(int status) {
    if (status < 0) throw PythonError{};
}

// Runs pending signal handlers (Ctrl-C among them) on the calling thread; a handler's
// exception stops the call. Called between phases and every so many cells.
inline void check_signals() {
    if (PyErr_CheckSignals() < 0) throw PythonError{};
}

// Takes the pending exception (normalised, traceback attached); null if none is set.
inline PyRef take_pending_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyRef(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return PyRef(value);
#endif
}

// Makes `exc` the pending exception again.
inline void restore_exception(PyRef exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    if (!value) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

}  // namespace vandra
