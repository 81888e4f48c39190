// A shared, reference-counted handle to a buffer address that some other owner keeps alive,
// e.g. the cell buffer that parallel tasks write into. Copies share one atomic count; when
// the last handle goes, only the count is freed, never the buffer.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

namespace vandra {

class SendPtr {
  public:
    SendPtr() noexcept = default;
    // Throws std::bad_alloc if the count cannot be allocated.
    explicit SendPtr(double* p) : ptr_(p), count_(new std::atomic<std::size_t>(1)) {}

    SendPtr(const SendPtr& other) noexcept : ptr_(other.ptr_), count_(other.count_) {
        if (count_ != nullptr) count_->fetch_add(1, std::memory_order_relaxed);
    }
    SendPtr(SendPtr&& other) noexcept
        : ptr_(std::exchange(other.ptr_, nullptr)), count_(std::exchange(other.count_, nullptr)) {}
    SendPtr& operator=(SendPtr other) noexcept {
        std::swap(ptr_, other.ptr_);
        std::swap(count_, other.count_);
        return *this;
    }
    ~SendPtr() {
        // acq_rel: whatever the other holders did happens before the count is freed.
        if (count_ != nullptr && count_->fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete count_;
        }
    }

    double* get() const noexcept { return ptr_; }
    // Handles sharing this one's count (0 for an empty handle); a snapshot under concurrency.
    std::size_t use_count() const noexcept {
        return count_ == nullptr ? 0 : count_->load(std::memory_order_relaxed);
    }

  private:
    double* ptr_ = nullptr;
    std::atomic<std::size_t>* count_ = nullptr;
};

}  // namespace vandra
