// The access counter of an Encoder: 0 = idle, -1 = one exclusive (encode) call,
// n > 0 = n shared (decode) calls. Every operation is a single atomic step that never
// waits, so a conflicting call fails at once instead of blocking.
#pragma once

#include <atomic>
#include <cstdint>

namespace vandra {

class BorrowFlag {
  public:
    bool try_exclusive() noexcept {
        std::intptr_t idle = 0;
        return flag_.compare_exchange_strong(idle, -1, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    bool try_shared() noexcept {
        std::intptr_t seen = flag_.load(std::memory_order_relaxed);
        do {
            if (seen == -1) return false;
        } while (!flag_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
        return true;
    }
    void release_exclusive() noexcept { flag_.store(0, std::memory_order_release); }
    void release_shared() noexcept { flag_.fetch_sub(1, std::memory_order_release); }
    // The count itself, for the native tests: the flag is private, so its read lives here.
    std::intptr_t value() const noexcept { return flag_.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::intptr_t> flag_{0};
};

}  // namespace vandra
