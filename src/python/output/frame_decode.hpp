// The frame form of decode: each encoded column of a frame result replaced by an object
// column of its labels (str, or None for NaN and unknown codes).
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "lib/records.hpp"
#include "python/value_matrix.hpp"

namespace vandra {

// Decodes the encoded columns of `frame`, built from `m` with the column names `columns`.
// `own_frame`: the frame is pandas' own DataFrame, built by its own constructor, so each
// column can be put in place in one step; otherwise each goes through pandas' indexers.
void decode_frame_columns(PyObject* frame, const ValueMatrix& m,
                          const std::vector<std::string>& columns, const FitState& fit,
                          bool own_frame);

}  // namespace vandra
