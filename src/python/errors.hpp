// How every entry point turns failures into Python exceptions: `guard_entry` catches every
// C++ exception (InternalError among them, lib/internal_error.hpp) so that nothing escapes
// into the interpreter; and the helpers that decide which Python errors a reader may clear.
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "lib/internal_error.hpp"
#include "python/py_ref.hpp"

namespace vandra {

// An internal failure caused by a Python exception, chained as the internal error's
// __cause__. Released under the interpreter lock: thrown and caught on the calling thread
// only.
struct InternalErrorFromPython : InternalError {
    InternalErrorFromPython(const std::string& message, PyRef cause);

    std::shared_ptr<PyObject> cause;
};

// Sets the module's internal-error exception (a BaseException subclass, created once per
// process) with `message` as its single argument and `cause` (may be null) as its
// __cause__, after a one-line note on stderr.
void raise_internal_error(const char* message, PyObject* cause = nullptr) noexcept;

// Ordinary errors are subclasses of Exception. Anything else pending (KeyboardInterrupt,
// SystemExit, GeneratorExit, our own internal error) must reach the caller unchanged, so it
// is never cleared or converted: this throws PythonError for it and clears an ordinary one.
void clear_ordinary_error();

// Turns the pending Python exception into InternalError("{context}: {Type}: {text}") with
// the exception as its cause; an exception that is not ordinary is thrown on unchanged.
[[noreturn]] void throw_internal_from_python(const std::string& context);

// Runs `body` (returning a new reference, or an int status) and maps every failure to a
// Python exception: PythonError keeps the pending exception, InternalError and any other
// C++ exception become the internal-error exception, bad_alloc becomes MemoryError.
template <class R, class F>
R guard_entry(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) raise_internal_error("error reported without an exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const InternalErrorFromPython& e) {
        raise_internal_error(e.what(), e.cause.get());
    } catch (const std::exception& e) {
        raise_internal_error(e.what());
    } catch (...) {
        raise_internal_error(nullptr);
    }
    return failure;
}

}  // namespace vandra
