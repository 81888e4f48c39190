// Plain owned records that carry a table's columns into label encoding and the fit out of
// it. None of them holds a Python reference, so an Encoder never takes part in cyclic GC.
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lib/code_map.hpp"

namespace vandra {

using ColumnIndex = std::size_t;

// Hand-over from input conversion to object-column encoding. Labels are views: the
// converter keeps the bytes alive (Python str objects or its own storage) for the call.
struct ColumnBuffers {
    std::vector<bool> is_object;
    std::vector<std::vector<double>> numbers;
    std::vector<std::vector<std::string_view>> labels;

    explicit ColumnBuffers(std::size_t cols)
        : is_object(cols, false), numbers(cols), labels(cols) {}
    std::size_t cols() const { return is_object.size(); }
};

// The fit one cell-path conversion produces; an Encoder keeps the last one of encode().
struct FitState {
    std::vector<ColumnIndex> encoded_columns;
    std::unordered_map<ColumnIndex, CodeMap> code_maps;
};

}  // namespace vandra
