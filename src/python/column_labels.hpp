// A frame's column labels: read from the input as texts (str labels, or integers written in
// decimal), and given to the result frame, as the input's own Index where pandas would build
// an equal one from those texts.
#pragma once

#include <Python.h>

#include "python/py_ref.hpp"
#include "python/value_matrix.hpp"

namespace vandra {

// The labels of `frame`'s `columns`: all str (each str's text, in iteration order), else
// the integers of `columns.tolist()`. Throws PythonError with the reading's error.
OUT::Frame column_labels(PyObject* frame);

// What the result frame's `columns` argument is: the input's Index where it can serve (and
// `own_class`, pandas' own DataFrame builds the frame), else a list of the texts as str.
PyRef result_columns(const OUT::Frame& out, bool own_class);

}  // namespace vandra
