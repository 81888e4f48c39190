// TEMPORARY naive implementation; replaced by the hashed, parallel one.
#include "lib/label_encode.hpp"

#include <algorithm>
#include <limits>

namespace vandra {

bool is_missing_label(std::string_view label) {
    return label == "nan" || label == "NaN" || label == "<NA>";
}

LabelEncoding label_encode(const std::vector<std::string_view>& labels) {
    std::vector<std::string_view> sorted(labels);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    LabelEncoding out{std::vector<double>(labels.size()), LabelMap(sorted.size())};
    Code next = 0;
    for (auto s : sorted) {
        if (is_missing_label(s)) {
            out.label_map.try_emplace(s, std::nullopt);
        } else {
            out.label_map.try_emplace(s, next++);
        }
    }
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const auto& c = *out.label_map.find(labels[i]);
        out.codes[i] = c ? static_cast<double>(*c) : std::numeric_limits<double>::quiet_NaN();
    }
    return out;
}

}  // namespace vandra
