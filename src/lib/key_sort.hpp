// Sorting items by a 64-bit key and a tie-breaking second key, for texts whose byte order is
// known to follow numbers (rendered datetimes): a radix sort of the numbers replaces the sort
// of the texts.
#pragma once

#include <cstdint>

#include "lib/scratch.hpp"

namespace vandra {

struct KeyedItem {
    std::int64_t key;
    std::uint32_t tie;  // orders items of equal key
    std::uint32_t item;
};

using KeyedItems = scratch::vector<KeyedItem>;

// Sorts by (key, tie), ascending. Throws std::bad_alloc.
void sort_by_key(KeyedItems& items);

}  // namespace vandra
