// The result of encode as a frame: a pandas DataFrame over the float64 result array, with the
// input's column names. (An array input's result is the result array itself.)
#pragma once

#include "python/py_ref.hpp"
#include "python/value_matrix.hpp"

namespace vandra {

// The frame; `own_frame` tells whether pandas' own DataFrame class built it from our array.
// `m` keeps its array (which the frame may share) for decode to read.
PyRef frame_result(ValueMatrix& m, const OUT::Frame& out, bool& own_frame);

}  // namespace vandra
