// The frame form of decode built in one step, from the frame's blocks (pandas 3) or, for many
// encoded columns, from frames joined at once: pandas splits its blocks on every column put in
// place one by one, so that cost grows with the columns decoded before.
#pragma once

#include "lib/records.hpp"
#include "python/py_ref.hpp"
#include "python/value_matrix.hpp"

namespace vandra {

// The decoded frame of `m` built from its blocks by pandas' create_dataframe_from_blocks
// (pandas 3): the float columns as views of the matrix, one block per run of adjacent ones,
// and the encoded columns as one object block of their labels. Putting a column in place
// costs pandas tens of microseconds, more than most frames take to decode. Null where that
// function or pandas' own DataFrame is missing, the matrix is not Fortran-ordered or has no
// rows, or the matrix and the names disagree.
PyRef frame_of_blocks(const ValueMatrix& m, const OUT::Frame& out, const FitState& fit);

// From this many encoded columns, decode builds its frame in one step.
inline constexpr std::size_t kOneStepColumns = 16;

// The decoded frame of `m`: its encoded columns as object columns of their labels (str, or
// None), the others as its float64 columns, with the names of `out`. Runs of adjacent columns
// of one kind become one block each, a view of the matrix or of one object array of all
// labels, joined by pandas' concat. Null where pandas' own DataFrame is not the one imported,
// or the matrix and the names disagree (the caller then builds the frame column by column).
PyRef decoded_frame(const ValueMatrix& m, const OUT::Frame& out, const FitState& fit);

}  // namespace vandra
