// One-shot completion signals for jobs.
//
// A latch may live on the waiter's stack: once set() has made the latch observable as set,
// the waiter may return and destroy it, so set() touches nothing of the latch afterwards.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace vandra::pool::detail {

struct Worker;

// Waited on by a pool worker that keeps running other jobs meanwhile (see Pool::wait_until).
// set() wakes the owner if it went to sleep.
class SpinLatch {
  public:
    explicit SpinLatch(Worker& owner) noexcept : owner_(&owner) {}
    bool probe() const noexcept { return done_.load(std::memory_order_acquire); }
    void set() noexcept;  // pool.cpp

  private:
    std::atomic<bool> done_{false};
    Worker* const owner_;
};

// Waited on by a thread outside the pool, which blocks.
class LockLatch {
  public:
    void set() noexcept {
        // Notifying under the lock keeps the waiter from seeing done_ and destroying the
        // condition variable before notify_all() has returned.
        std::lock_guard<std::mutex> lock(mu_);
        done_ = true;
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return done_; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
};

}  // namespace vandra::pool::detail
