// Process-wide work-stealing worker pool: fork-join and the parallel loops built on it.
//
// Called from outside the pool, each function hands its work to the process-wide pool and
// blocks until it is done (a process-wide pool of one thread runs it on the caller instead);
// called from inside a pool (a worker running a job, or code under
// Pool::install), it uses that pool. Exceptions thrown by the callbacks propagate to the
// caller once all work started by the call has finished.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <utility>
#include <vector>

#include "pool/thread_pool.hpp"

namespace vandra::pool {

// Number of worker threads of the pool the caller would use; creates the process-wide pool
// on first use.
std::size_t num_threads();

namespace detail {
inline thread_local int serial_depth = 0;
}  // namespace detail

// While one is alive, the operations below called on this thread run all their work on it,
// in the same order of pieces: for work too small to be worth handing to other threads.
class SerialScope {
  public:
    SerialScope() noexcept { ++detail::serial_depth; }
    ~SerialScope() { --detail::serial_depth; }
    SerialScope(const SerialScope&) = delete;
    SerialScope& operator=(const SerialScope&) = delete;
};

// Runs a() and b(), possibly in parallel; returns when both have finished.
template <class A, class B>
void join(A&& a, B&& b) {
    if (detail::serial_depth > 0) {
        a();
        b();
        return;
    }
    if (detail::Worker* w = detail::current_worker()) {
        detail::join_on_worker(*w, a, b);
        return;
    }
    Pool& pool = Pool::global();
    if (pool.num_threads() == 1) {
        // Its one worker would run both while this thread waits: running them here saves
        // the handoff and the worker's wake-up.
        a();
        b();
        return;
    }
    pool.install([&] { detail::join_on_worker(*detail::current_worker(), a, b); });
}

namespace detail {

// Pieces no longer than this are not split further: about eight per thread, for balance.
inline std::size_t loop_grain(std::size_t n) {
    if (serial_depth > 0) return std::max<std::size_t>(1, n);
    return std::max<std::size_t>(1, n / (8 * num_threads()));
}

template <class F>
void split_range(std::size_t lo, std::size_t hi, std::size_t grain, F& f) {
    if (hi - lo <= grain) {
        f(lo, hi);
        return;
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    join([&] { split_range(lo, mid, grain, f); }, [&] { split_range(mid, hi, grain, f); });
}

}  // namespace detail

// Calls f(lo, hi) on disjoint subranges that together cover [begin, end), possibly in
// parallel. A range of one item is not split and runs on the calling thread.
template <class F>
void for_each_range(std::size_t begin, std::size_t end, F&& f) {
    if (begin >= end) return;
    if (end - begin == 1) {
        f(begin, end);
        return;
    }
    detail::split_range(begin, end, detail::loop_grain(end - begin), f);
}

// Calls f(i) for every i in [begin, end), each piece of the range in ascending order on one
// thread; each index writes its own slot.
template <class F>
void for_each_index(std::size_t begin, std::size_t end, F&& f) {
    for_each_range(begin, end, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) f(i);
    });
}

// f(i) -> std::optional<T>; the present results, concatenated in ascending index order.
template <class T, class F>
std::vector<T> gather(std::size_t begin, std::size_t end, F&& f) {
    if (begin >= end) return {};
    const std::size_t n = end - begin;
    const std::size_t grain = n == 1 ? 1 : detail::loop_grain(n);
    const std::size_t pieces = (n + grain - 1) / grain;
    std::vector<std::vector<T>> parts(pieces);
    for_each_index(0, pieces, [&](std::size_t p) {
        const std::size_t lo = begin + p * grain;
        const std::size_t hi = std::min(end, lo + grain);
        for (std::size_t i = lo; i < hi; ++i) {
            std::optional<T> r = f(i);
            if (r) parts[p].push_back(std::move(*r));
        }
    });
    if (pieces == 1) return std::move(parts[0]);
    std::size_t total = 0;
    for (const auto& part : parts) total += part.size();
    std::vector<T> out;
    out.reserve(total);
    for (auto& part : parts) {
        out.insert(out.end(), std::make_move_iterator(part.begin()),
                   std::make_move_iterator(part.end()));
    }
    return out;
}

}  // namespace vandra::pool
