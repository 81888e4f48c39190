// Chase–Lev work-stealing deque on a fixed-capacity ring (Chase & Lev, SPAA 2005) with the C11
// memory orderings of Lê, Pop, Cohen & Zappa Nardelli (PPoPP 2013).
//
// The owning thread pushes and pops at the bottom (newest first); any thread may steal from the
// top (oldest first). The ring never grows: push() reports a full ring and the caller runs the
// item itself. Items are raw pointers; the deque never owns what they point to.
//
// Departure from the paper's orderings: every store to `bottom` is a release store and the
// thief loads it with acquire, instead of a release fence in push(). This is at least as strong,
// costs nothing on x86, and lets ThreadSanitizer (which ignores fences) see that an item's
// contents happen-before the thief that takes it. The seq_cst fences that order `bottom`
// against `top` in pop() and steal() are kept as in the paper.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vandra::pool::detail {

// Full fence for the store-buffering (Dekker) patterns of the deque and the sleep protocol.
// ThreadSanitizer does not model fences and GCC warns about that; the warning is silenced
// here only, since everything TSan must see is published through acquire/release operations.
inline void seq_cst_fence() noexcept {
#if defined(__GNUC__) && !defined(__clang__) && defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
    std::atomic_thread_fence(std::memory_order_seq_cst);
#if defined(__GNUC__) && !defined(__clang__) && defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic pop
#endif
}

template <class T>
class WorkDeque {
  public:
    // capacity must be a power of two.
    explicit WorkDeque(std::size_t capacity)
        : mask_(static_cast<std::int64_t>(capacity) - 1),
          slots_(std::make_unique<std::atomic<T*>[]>(capacity)) {}

    WorkDeque(const WorkDeque&) = delete;
    WorkDeque& operator=(const WorkDeque&) = delete;

    std::size_t capacity() const noexcept { return static_cast<std::size_t>(mask_) + 1; }

    // Owner only. False when the ring is full; the item was not queued.
    bool push(T* item) noexcept {
        const std::int64_t b = bottom_.load(std::memory_order_relaxed);
        const std::int64_t t = top_.load(std::memory_order_acquire);
        if (b - t > mask_) return false;
        slot(b).store(item, std::memory_order_relaxed);
        bottom_.store(b + 1, std::memory_order_release);
        return true;
    }

    // Owner only. The newest item, or nullptr when empty or a thief took the last one.
    T* pop() noexcept {
        const std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
        bottom_.store(b, std::memory_order_release);
        seq_cst_fence();
        std::int64_t t = top_.load(std::memory_order_relaxed);
        if (t > b) {
            bottom_.store(b + 1, std::memory_order_release);
            return nullptr;
        }
        T* item = slot(b).load(std::memory_order_relaxed);
        if (t == b) {
            // Last item: thieves may be after it too; whoever advances top wins it.
            if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                              std::memory_order_relaxed)) {
                item = nullptr;
            }
            bottom_.store(b + 1, std::memory_order_release);
        }
        return item;
    }

    // Any thread. The oldest item, or nullptr. Sets `contended` when another thread won the
    // race for the item it saw, so the deque may still hold work.
    T* steal(bool& contended) noexcept {
        std::int64_t t = top_.load(std::memory_order_acquire);
        seq_cst_fence();
        const std::int64_t b = bottom_.load(std::memory_order_acquire);
        if (t >= b) return nullptr;
        // The slot may be overwritten by a later push once top has moved past t; the CAS
        // below then fails and the stale value is discarded.
        T* item = slot(t).load(std::memory_order_relaxed);
        if (!top_.compare_exchange_strong(t, t + 1, std::memory_order_seq_cst,
                                          std::memory_order_relaxed)) {
            contended = true;
            return nullptr;
        }
        return item;
    }

    // Any thread; a snapshot. Callers order it with seq_cst_fence() where it matters.
    bool maybe_nonempty() const noexcept {
        return top_.load(std::memory_order_acquire) < bottom_.load(std::memory_order_acquire);
    }

  private:
    std::atomic<T*>& slot(std::int64_t i) const noexcept { return slots_[i & mask_]; }

    // top is written by thieves, bottom by the owner: keep them on separate cache lines.
    alignas(64) std::atomic<std::int64_t> top_{0};
    alignas(64) std::atomic<std::int64_t> bottom_{0};
    const std::int64_t mask_;
    const std::unique_ptr<std::atomic<T*>[]> slots_;
};

}  // namespace vandra::pool::detail
