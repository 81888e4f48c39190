// Encodes one text column: codes are positions in the byte-wise sorted order of the
// distinct labels, missing-value texts ("nan", "NaN", "<NA>") get NaN and no code.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "lib/records.hpp"
#include "lib/row_labels.hpp"

namespace vandra {

struct LabelEncoding {
    std::vector<double> codes;  // one per input label, in input order
    CodeMap code_map;           // the coded labels in code order
};

bool is_missing_label(std::string_view label);

// Distinct labels in unsigned byte-wise order (a prefix first) get codes 0, 1, 2, ...;
// missing-value texts keep their place in that order, take no code, and their rows get the
// quiet NaN 0x7FF8000000000000. Runs on the worker pool; the result is the same for every
// pool size. Columns of 2^31 rows or more are refused with std::bad_alloc; otherwise throws
// only std::bad_alloc.
LabelEncoding label_encode(std::span<const std::string_view> labels);

// The same, writing the code of labels[i] to codes[i] (labels.size() doubles).
CodeMap label_encode(std::span<const std::string_view> labels, double* codes);
CodeMap label_encode(const RowLabels& labels, double* codes);

namespace detail {

// How label_encode finds the distinct labels. All give the same result.
enum class LabelStrategy {
    // By a sample of the rows: chunk_tables where labels repeat a lot, else hash_partitions.
    automatic,
    // Each chunk of rows deduplicates in a small table of its own; the chunks' distinct
    // labels are then merged. Cheap while a chunk holds few distinct labels.
    chunk_tables,
    // Rows are first grouped by hash bits into partitions small enough for a cache-resident
    // table each, which then deduplicate independently. For many distinct labels.
    hash_partitions,
};

CodeMap label_encode_with(const RowLabels& labels, double* codes, LabelStrategy strategy);
inline CodeMap label_encode_with(std::span<const std::string_view> labels, double* codes,
                                 LabelStrategy strategy) {
    return label_encode_with(ViewLabels(labels), codes, strategy);
}

}  // namespace detail
}  // namespace vandra
