// Sorting of distinct labels by their bytes, not bound by comparisons.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace vandra::detail {

// One label in a sort: its id and size (kHugeSize for 4 GiB and more: see the label itself),
// and the sort's working word.
struct SortedLabel {
    std::uint64_t word;
    std::uint32_t id;
    std::uint32_t size;
};
inline constexpr std::uint32_t kHugeSize = 0xFFFFFFFF;

// The ids 0 .. n-1 in ascending order of labels[id]: unsigned byte-wise, a prefix before the
// texts it begins. The labels must be pairwise distinct and n below 2^32. MSD radix sort on
// 8-byte words read big-endian, one byte per pass, words further in only for groups that
// share all bytes so far, a comparison sort for small groups; large groups are split in
// parallel on the worker pool. Throws std::bad_alloc.
std::unique_ptr<SortedLabel[]> sort_distinct_labels(const std::string_view* labels, std::size_t n);

}  // namespace vandra::detail
