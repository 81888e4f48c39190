// Internal consistency failures and how every entry point turns failures into Python
// exceptions. InternalError is thrown anywhere below an entry point; `guard_entry`
// catches it (and every other C++ exception) so nothing escapes into the interpreter.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>

#include "python/py_ref.hpp"

namespace vandra {

struct InternalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Sets the module's internal-error exception (a BaseException subclass, created once per
// process) with `message` as its single argument, after a one-line note on stderr.
void raise_internal_error(const char* message) noexcept;

// Takes the pending Python exception and throws InternalError("{context}: {Type}: {text}").
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
    } catch (const std::exception& e) {
        raise_internal_error(e.what());
    } catch (...) {
        raise_internal_error(nullptr);
    }
    return failure;
}

}  // namespace vandra
