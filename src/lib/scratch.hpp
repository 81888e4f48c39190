// Large buffers that a call needs only while it runs, kept from one call to the next. A page
// the process has not touched yet costs a fault and the kernel's zero fill, several times the
// write that follows, and a table of the same shape needs the same buffers again. Each call's
// scope (CallScope) ends by freeing whatever it did not take again, so the pool never holds
// more than the last call used, nor more than kMaxBytes.
#pragma once

#include <cstddef>
#include <limits>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace vandra::scratch {

inline constexpr std::size_t kMaxBytes = std::size_t{1} << 30;
// Smaller buffers are cheap to make afresh; keeping them is not worth the bookkeeping.
inline constexpr std::size_t kMinBytes = std::size_t{1} << 18;

namespace detail {

// Buffers of one element type, free to take.
template <class T>
class Pool {
  public:
    static Pool& instance() {
        static Pool* pool = new Pool;  // never destroyed: may be used until the process ends
        return *pool;
    }
    // The smallest kept buffer of at least n elements, unless even that is far larger (a
    // small call must not keep a large call's memory alive); else an empty one.
    std::vector<T> take(std::size_t n) {
        std::vector<T> out;
        if (n * sizeof(T) < kMinBytes) return out;
        std::lock_guard lock(mutex_);
        std::size_t best = free_.size();
        for (std::size_t k = 0; k < free_.size(); ++k) {
            const std::size_t c = free_[k].vector.capacity();
            if (c >= n && c / 4 <= n && (best == free_.size() || c < free_[best].vector.capacity()))
                best = k;
        }
        if (best < free_.size()) {
            out = std::move(free_[best].vector);
            bytes_ -= out.capacity() * sizeof(T);
            free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(best));
        }
        out.clear();
        return out;
    }
    // Keeps `v`'s buffer for the calls that follow; outside any call (0) it is freed.
    void give(std::vector<T>&& v, unsigned call) {
        const std::size_t bytes = v.capacity() * sizeof(T);
        if (bytes < kMinBytes || call == 0) return;
        std::lock_guard lock(mutex_);
        if (bytes_ + bytes > kMaxBytes) return;  // freed as it goes
        bytes_ += bytes;
        free_.push_back(Entry{std::move(v), call});
    }
    // Frees the buffers given back before `call`: the call that just ended did not need them.
    void trim(unsigned call) {
        std::vector<Entry> dropped;
        std::lock_guard lock(mutex_);
        for (std::size_t k = 0; k < free_.size();) {
            if (free_[k].call == call) {
                ++k;
                continue;
            }
            bytes_ -= free_[k].vector.capacity() * sizeof(T);
            dropped.push_back(std::move(free_[k]));
            free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }

    std::size_t kept_bytes() {
        std::lock_guard lock(mutex_);
        return bytes_;
    }

  private:
    struct Entry {
        std::vector<T> vector;
        unsigned call;  // the call that gave it back
    };
    std::mutex mutex_;
    std::vector<Entry> free_;
    std::size_t bytes_ = 0;
};

// Raw blocks of kMinBytes or more, for Allocator: each holds its size in a header before it.
class Blocks {
  public:
    static Blocks& instance() {
        static Blocks* blocks = new Blocks;  // never destroyed, like the pools
        return *blocks;
    }
    // A kept block of at least `bytes` and at most 4 times that, else a new one. Throws
    // std::bad_alloc.
    void* take(std::size_t bytes) {
        {
            std::lock_guard lock(mutex_);
            std::size_t best = free_.size();
            for (std::size_t k = 0; k < free_.size(); ++k) {
                const std::size_t size = free_[k].size;
                if (size >= bytes && size / 4 <= bytes &&
                    (best == free_.size() || size < free_[best].size))
                    best = k;
            }
            if (best < free_.size()) {
                void* p = free_[best].block;
                bytes_ -= free_[best].size;
                free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(best));
                return p;
            }
        }
        if (bytes > std::numeric_limits<std::size_t>::max() - kHeader) throw std::bad_alloc();
        auto* raw = static_cast<char*>(::operator new(bytes + kHeader, kAlign));
        *reinterpret_cast<std::size_t*>(raw) = bytes;
        return raw + kHeader;
    }
    // Keeps `block` for the calls that follow; outside any call (0) it is freed at once.
    void give(void* block, unsigned call) noexcept {
        const std::size_t size = size_of(block);
        if (call == 0) {
            release(block);
            return;
        }
        try {
            std::lock_guard lock(mutex_);
            if (bytes_ + size <= kMaxBytes) {
                free_.push_back(Entry{block, size, call});
                bytes_ += size;
                return;
            }
        } catch (...) {  // no room to remember it: freed
        }
        release(block);
    }
    void trim(unsigned call) {
        std::vector<void*> dropped;
        {
            std::lock_guard lock(mutex_);
            for (std::size_t k = 0; k < free_.size();) {
                if (free_[k].call == call) {
                    ++k;
                    continue;
                }
                bytes_ -= free_[k].size;
                dropped.push_back(free_[k].block);
                free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(k));
            }
        }
        for (void* b : dropped) release(b);
    }
    std::size_t kept_bytes() {
        std::lock_guard lock(mutex_);
        return bytes_;
    }

  private:
    static constexpr std::size_t kHeader = 64;  // keeps the block 64-byte aligned
    static constexpr std::align_val_t kAlign{64};
    static std::size_t size_of(void* block) {
        return *reinterpret_cast<std::size_t*>(static_cast<char*>(block) - kHeader);
    }
    static void release(void* block) noexcept {
        ::operator delete(static_cast<char*>(block) - kHeader, kAlign);
    }
    struct Entry {
        void* block;
        std::size_t size;
        unsigned call;
    };
    std::mutex mutex_;
    std::vector<Entry> free_;
    std::size_t bytes_ = 0;
};

// The outermost call under way (0: none), and how many scopes are open.
struct Calls {
    std::mutex mutex;
    unsigned current = 0, next = 1, open = 0;
};
inline Calls& calls() {
    static Calls* c = new Calls;
    return *c;
}

inline unsigned current_call() {
    std::lock_guard lock(calls().mutex);
    return calls().current;
}

}  // namespace detail

// An allocator whose large blocks (kMinBytes or more) come from, and go back to, the pool of
// raw blocks: a container of it reuses the memory of the last call's containers.
template <class T>
struct Allocator {
    using value_type = T;
    Allocator() = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}  // NOLINT: converting, as allocators are

    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= 64);
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kMinBytes) return static_cast<T*>(::operator new(bytes));
        return static_cast<T*>(detail::Blocks::instance().take(bytes));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kMinBytes) {
            ::operator delete(p);
            return;
        }
        detail::Blocks::instance().give(p, detail::current_call());
    }
    friend bool operator==(const Allocator&, const Allocator&) noexcept { return true; }
};

// A vector of the call's scratch memory.
template <class T>
using vector = std::vector<T, Allocator<T>>;

// The bytes of raw blocks kept now.
inline std::size_t kept_block_bytes() {
    return detail::Blocks::instance().kept_bytes();
}

// The element types whose buffers are pooled; CallScope trims each.
template <class T>
std::vector<T> take(std::size_t n) {
    std::vector<T> v = detail::Pool<T>::instance().take(n);
    v.reserve(n);
    return v;
}

// Keeps `v`'s memory for the next call that takes as much.
template <class T>
void give(std::vector<T>&& v) {
    detail::Pool<T>::instance().give(std::move(v), detail::current_call());
}

// The bytes of T's buffers kept now (for the tests and the benchmarks' reports).
template <class T>
std::size_t kept_bytes() {
    return detail::Pool<T>::instance().kept_bytes();
}

// One call: where the outermost scope ends, every buffer it did not give back is freed.
template <class... Ts>
class CallScope {
  public:
    CallScope() {
        auto& c = detail::calls();
        std::lock_guard lock(c.mutex);
        if (c.open++ == 0) c.current = c.next++;
    }
    ~CallScope() {
        auto& c = detail::calls();
        unsigned ended = 0;
        {
            std::lock_guard lock(c.mutex);
            if (--c.open == 0) {
                ended = c.current;
                c.current = 0;
            }
        }
        if (ended == 0) return;
        (detail::Pool<Ts>::instance().trim(ended), ...);
        detail::Blocks::instance().trim(ended);
    }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;
};

}  // namespace vandra::scratch
