// Argument binding shared by the constructor and the methods: one table per callable,
// both of the interpreter's calling forms, and the interpreter's own message wording.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

namespace vandra {

struct ParamList {
    const char* full_name;               // "Encoder.encode()"
    std::span<const char* const> names;  // parameter names, in order
    std::size_t required;                // the first `required` parameters are required
};

inline constexpr std::size_t kMaxParams = 4;
// One borrowed argument (or null) per parameter.
using BoundArgs = std::array<PyObject*, kMaxParams>;

// Vector calling convention. Returns false with a TypeError set on a binding error.
bool bind_vectorcall(const ParamList& params, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, BoundArgs& out);

// Tuple-and-dict convention (tp_new). `kwargs` may be null.
bool bind_tuple_dict(const ParamList& params, PyObject* args, PyObject* kwargs, BoundArgs& out);

// Adds the note "while processing '{parameter}'" to the pending exception.
void add_parameter_note(const char* parameter);

}  // namespace vandra
