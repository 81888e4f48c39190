#include "lib/module/binder.hpp"

#include "python/py_ref.hpp"

#include <string>

namespace vandra {
namespace {

bool too_many_positional(const ParamList& p, Py_ssize_t n) {
    const std::size_t m = p.names.size();
    const char* verb = n == 1 ? "was" : "were";
    if (p.required == m) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     p.full_name, m, n, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given", p.full_name,
                     p.required, m, n, verb);
    }
    return false;
}

// Matches one keyword by exact name; fills its slot or raises.
bool bind_keyword(const ParamList& p, PyObject* key, PyObject* value, std::size_t npos,
                  BoundArgs& out) {
    for (std::size_t k = 0; k < p.names.size(); ++k) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, p.names[k]) == 0) {
            if (k < npos || out[k]) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             p.full_name, p.names[k]);
                return false;
            }
            out[k] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", p.full_name, key);
    return false;
}

bool check_required(const ParamList& p, const BoundArgs& out) {
    std::size_t missing = 0;
    for (std::size_t k = 0; k < p.required; ++k) missing += out[k] == nullptr;
    if (missing == 0) return true;
    std::string names;
    std::size_t listed = 0;
    for (std::size_t k = 0; k < p.required; ++k) {
        if (out[k]) continue;
        if (listed > 0) {
            if (missing == 2) {
                names += " and ";
            } else {
                names += listed + 1 == missing ? ", and " : ", ";
            }
        }
        names += std::string("'") + p.names[k] + "'";
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", p.full_name, missing,
                 missing == 1 ? "argument" : "arguments", names.c_str());
    return false;
}

bool bind_positional(const ParamList& p, PyObject* const* args, Py_ssize_t nargs, BoundArgs& out) {
    out.fill(nullptr);
    if (nargs < 0 || static_cast<std::size_t>(nargs) > p.names.size())
        return too_many_positional(p, nargs);
    for (Py_ssize_t k = 0; k < nargs; ++k) out[static_cast<std::size_t>(k)] = args[k];
    return true;
}

}  // namespace

bool bind_vectorcall(const ParamList& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     BoundArgs& out) {
    nargs = PyVectorcall_NARGS(static_cast<std::size_t>(nargs));
    if (!bind_positional(p, args, nargs, out)) return false;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!bind_keyword(p, PyTuple_GET_ITEM(kwnames, k), args[nargs + k],
                          static_cast<std::size_t>(nargs), out))
            return false;
    }
    return check_required(p, out);
}

bool bind_tuple_dict(const ParamList& p, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!bind_positional(p, &PyTuple_GET_ITEM(args, 0), nargs, out)) return false;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!bind_keyword(p, key, value, static_cast<std::size_t>(nargs), out)) return false;
        }
    }
    return check_required(p, out);
}

void add_parameter_note(const char* parameter) {
    PyRef exc = take_pending_exception();
    if (!exc) return;
    PyRef note(PyUnicode_FromFormat("while processing '%s'", parameter));
    PyRef done(note ? PyObject_CallMethod(exc.get(), "add_note", "O", note.get()) : nullptr);
    if (!done) PyErr_Clear();  // the original error matters more than a failed note
    restore_exception(std::move(exc));
}

}  // namespace vandra
