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

LabelEncoding label_encode(const std::vector<std::string_view>& labels);

}  // namespace vandra
