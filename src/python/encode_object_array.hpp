// Fills a row-major cell buffer from ColumnBuffers in parallel (numbers copied, text
// columns label-encoded) and builds the FitState. Pure C++: no Python objects.
#pragma once

#include <cstddef>

#include "lib/records.hpp"

namespace vandra {

FitState encode_object_array(std::size_t rows, std::size_t cols, const ColumnBuffers& buffers,
                             double* cells);

}  // namespace vandra
