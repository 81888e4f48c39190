// Plain owned records that carry a table's columns into label encoding and the fit out of
// it. None of them holds a Python reference, so an Encoder never takes part in cyclic GC.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lib/code_map.hpp"
#include "lib/column_sources.hpp"

namespace vandra {

using ColumnIndex = std::size_t;

// The positive quiet NaN (0x7FF8000000000000): the code of a missing value, and the number
// NaN where one is written for a missing cell.
inline constexpr double kQuietNaN = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Hand-over from input conversion to object-column encoding. Labels are views: the
// converter keeps the bytes alive (Python str objects, Arrow buffers or its own storage) for
// the call. A numeric column is `numbers[j]` or, read in place, `number_views[j]`; a text
// column (`is_object[j]`) is `labels[j]` or, made in its encoding task, `label_sources[j]`.
struct ColumnBuffers {
    std::vector<bool> is_object;
    std::vector<std::vector<double>> numbers;
    std::vector<std::vector<std::string_view>> labels;
    std::vector<NumberView> number_views;
    std::vector<const LabelSource*> label_sources;

    explicit ColumnBuffers(std::size_t cols)
        : is_object(cols, false),
          numbers(cols),
          labels(cols),
          number_views(cols),
          label_sources(cols, nullptr) {}
    std::size_t cols() const { return is_object.size(); }
};

// The fit one cell-path conversion produces; an Encoder keeps the last one of encode().
struct FitState {
    std::vector<ColumnIndex> encoded_columns;
    std::unordered_map<ColumnIndex, CodeMap> code_maps;
};

}  // namespace vandra
