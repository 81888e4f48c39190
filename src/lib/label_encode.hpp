// Encodes one text column: codes are positions in the byte-wise sorted order of the
// distinct labels, missing-value texts ("nan", "NaN", "<NA>") get NaN and no code.
#pragma once

#include <string_view>
#include <utility>
#include <vector>

#include "lib/records.hpp"

namespace vandra {

struct LabelEncoding {
    std::vector<double> codes;  // one per input label, in input order
    LabelMap label_map;
};

bool is_missing_label(std::string_view label);

// Distinct labels in unsigned byte-wise order (a prefix first) get codes 0, 1, 2, ...;
// missing-value texts keep their place in that order, take no code, and their rows get the
// quiet NaN 0x7FF8000000000000. Runs on the worker pool; throws only std::bad_alloc.
LabelEncoding label_encode(const std::vector<std::string_view>& labels);

namespace detail {

// How label_encode finds the distinct labels. All give the same result.
enum class LabelStrategy {
    // Deduplicate by hashing in chunks of rows, sort only the distinct labels; switch to
    // sort_rows as soon as a chunk turns out to hold mostly distinct labels.
    adaptive,
    // Sort all rows by label, then number the runs of equal labels.
    sort_rows,
    // Deduplicate by hashing whatever the cardinality.
    hash_rows,
};

LabelEncoding label_encode_with(const std::vector<std::string_view>& labels,
                                LabelStrategy strategy);

}  // namespace detail
}  // namespace vandra
