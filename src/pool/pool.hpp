// Process-wide work-stealing worker pool: fork-join and the parallel loops built on it.
// TEMPORARY serial stand-in with the final API; the real pool replaces the bodies.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace vandra::pool {

// Number of worker threads; creates the pool on first use.
std::size_t num_threads();

// Runs a() and b(), possibly in parallel; returns when both have finished.
template <class A, class B>
void join(A&& a, B&& b) {
    a();
    b();
}

// Calls f(lo, hi) on disjoint subranges that together cover [begin, end).
template <class F>
void for_each_range(std::size_t begin, std::size_t end, F&& f) {
    if (begin < end) f(begin, end);
}

// Calls f(i) for every i in [begin, end); each index writes its own slot.
template <class F>
void for_each_index(std::size_t begin, std::size_t end, F&& f) {
    for_each_range(begin, end, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) f(i);
    });
}

// f(i) -> std::optional<T>; the present results, concatenated in ascending index order.
template <class T, class F>
std::vector<T> gather(std::size_t begin, std::size_t end, F&& f) {
    std::vector<T> out;
    for (std::size_t i = begin; i < end; ++i) {
        std::optional<T> r = f(i);
        if (r) out.push_back(std::move(*r));
    }
    return out;
}

// Parallel unstable sort.
template <class RandomIt, class Less>
void sort_unstable(RandomIt first, RandomIt last, Less less) {
    std::sort(first, last, less);
}

}  // namespace vandra::pool
