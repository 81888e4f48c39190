// Equality of two CodeMaps, label by label, for the native tests' comparisons of fits
// (found by argument-dependent lookup, also inside the fits' maps).
#pragma once

#include "lib/code_map.hpp"

namespace vandra {

inline bool operator==(const CodeMap& a, const CodeMap& b) noexcept {
    if (a.size() != b.size()) return false;
    for (Code c = 0; c < a.size(); ++c) {
        if (a.label(c) != b.label(c)) return false;
    }
    return true;
}

}  // namespace vandra
