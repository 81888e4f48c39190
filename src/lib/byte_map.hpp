// Hash map keyed by owned byte strings, made for many short keys.
//
// Open addressing with linear probing over a power-of-two slot array, at most 70% full. A
// slot holds the key's 64-bit hash (top bit set, so zero marks an empty slot), the key's
// offset in one arena of chars, and the value inline. In the arena each key is its length
// (LEB128: one byte below 128) followed by its bytes, copied once; growing the slot array
// moves neither keys nor the arena. Lookups compare the hash first, then length and bytes,
// and never write, so any number of threads may call the const members concurrently.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "lib/byte_hash.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vandra {

namespace detail {

// Zero-filled memory for large arrays read and written at random. Blocks of 4 MiB and more
// come from mmap, aligned to 2 MiB and advised for transparent huge pages, which cuts page
// faults and TLB misses; smaller ones from calloc. Either way pages are zeroed lazily, by the
// thread that first touches them.
class ZeroedBlock {
  public:
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;
    static constexpr std::size_t kMapThreshold = std::size_t{4} << 20;

    ZeroedBlock() = default;
    // Throws std::bad_alloc.
    explicit ZeroedBlock(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (bytes >= kMapThreshold && bytes <= SIZE_MAX - kHugePage) {
            const std::size_t mapped = bytes + kHugePage;
            void* base =
                ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (base != MAP_FAILED) {
                const auto start = (reinterpret_cast<std::uintptr_t>(base) + kHugePage - 1) &
                                   ~(std::uintptr_t{kHugePage} - 1);
                data_ = reinterpret_cast<void*>(start);
                ::madvise(data_, bytes, MADV_HUGEPAGE);  // advice only: failure is harmless
                base_ = base;
                mapped_ = mapped;
                return;
            }
        }
#endif
        data_ = std::calloc(bytes == 0 ? 1 : bytes, 1);
        if (data_ == nullptr) throw std::bad_alloc();
        base_ = data_;
    }
    ZeroedBlock(ZeroedBlock&& other) noexcept {
        swap(other);
    }
    ZeroedBlock& operator=(ZeroedBlock&& other) noexcept {
        ZeroedBlock gone(std::move(other));
        swap(gone);
        return *this;
    }
    ~ZeroedBlock() {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (mapped_ != 0) {
            ::munmap(base_, mapped_);
            return;
        }
#endif
        std::free(base_);
    }
    void swap(ZeroedBlock& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(base_, other.base_);
        std::swap(mapped_, other.mapped_);
    }

    void* get() const noexcept {
        return data_;
    }

  private:
    void* data_ = nullptr;
    void* base_ = nullptr;    // what to free or unmap
    std::size_t mapped_ = 0;  // mapping length; 0 for calloc'd blocks
};

// Asks for transparent huge pages on the whole 2 MiB pages inside [p, p + bytes) of a large,
// not yet touched allocation. Advice only: nothing changes where the system declines.
inline void advise_huge_pages(void* p, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes < ZeroedBlock::kMapThreshold) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t mask = ZeroedBlock::kHugePage - 1;
    const std::uintptr_t first = (begin + mask) & ~mask, last = (begin + bytes) & ~mask;
    if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

}  // namespace detail

template <class V, class Hash = ByteHash>
class ByteMap {
  public:
    ByteMap() = default;
    explicit ByteMap(std::size_t expected) {
        if (expected > 0) {
            const std::size_t cap = capacity_for(expected);
            slots_ = allocate_slots(cap);
            mask_ = cap - 1;
        }
    }
    ByteMap(const ByteMap& other) : hash_(other.hash_) {
        if (other.slots() == nullptr) return;
        // Built in a complete map, whose destructor cleans up if a value's copy throws.
        ByteMap copy;
        copy.hash_ = other.hash_;
        copy.slots_ = allocate_slots(other.capacity());
        copy.mask_ = other.mask_;
        if (other.arena_size_ > 0) {
            copy.arena_.reset(static_cast<char*>(checked_malloc(other.arena_size_)));
            std::memcpy(copy.arena_.get(), other.arena_.get(), other.arena_size_);
            copy.arena_size_ = copy.arena_capacity_ = other.arena_size_;
        }
        for (std::size_t i = 0; i < other.capacity(); ++i) {
            const Slot& from = other.slots()[i];
            if (from.hash == 0) continue;
            Slot& to = copy.slots()[i];
            ::new (static_cast<void*>(to.storage)) V(*from.value());
            to.offset = from.offset;
            to.hash = from.hash;
            ++copy.size_;
        }
        swap(copy);
    }
    ByteMap(ByteMap&& other) noexcept { swap(other); }
    ByteMap& operator=(ByteMap other) noexcept {
        swap(other);
        return *this;
    }
    ~ByteMap() { destroy_values(); }

    void swap(ByteMap& other) noexcept {
        using std::swap;
        swap(hash_, other.hash_);
        swap(slots_, other.slots_);
        swap(mask_, other.mask_);
        swap(arena_, other.arena_);
        swap(arena_size_, other.arena_size_);
        swap(arena_capacity_, other.arena_capacity_);
        swap(size_, other.size_);
    }

    // Inserts (copy of key, value) if the key is absent. Returns the stored value and
    // whether it was inserted. The pointer stays valid until the next insertion.
    std::pair<V*, bool> try_emplace(std::string_view key, V value) {
        const std::uint64_t h = stored_hash(key);
        if (slots() != nullptr) {
            if (Slot* s = locate(key, h); s->hash != 0) return {s->value(), false};
        }
        // Make room first, so that a failed allocation leaves the map as it was.
        const std::size_t stored = stored_bytes(key.size());
        reserve_arena(stored);
        if (slots() == nullptr || (size_ + 1) * 10 > capacity() * 7) {
            rehash(capacity_for(size_ + 1));
        }
        Slot* s = locate(key, h);
        ::new (static_cast<void*>(s->storage)) V(std::move(value));
        store_key(arena_.get() + arena_size_, key);
        s->offset = arena_size_;
        s->hash = h;
        arena_size_ += stored;
        ++size_;
        return {s->value(), true};
    }

    const V* find(std::string_view key) const {
        if (slots() == nullptr) return nullptr;
        const Slot* s = locate(key, stored_hash(key));
        return s->hash == 0 ? nullptr : s->value();
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // f(std::string_view key, const V& value) for every entry, in no particular order.
    template <class F>
    void for_each(F&& f) const {
        for_each_in_slots(0, slot_count(), f);
    }

    // Slots can be visited in pieces, e.g. by a parallel loop over [0, slot_count()).
    std::size_t slot_count() const { return slots() == nullptr ? 0 : capacity(); }
    template <class F>
    void for_each_in_slots(std::size_t lo, std::size_t hi, F&& f) const {
        for (std::size_t i = lo; i < hi; ++i) {
            const Slot& s = slots()[i];
            if (s.hash != 0) f(key_of(s), *s.value());
        }
    }

    // Bulk construction from keys known to be pairwise distinct, by many threads at once:
    // reset_for_distinct(count, bytes) empties the map and makes room for `count` keys taking
    // `bytes` arena bytes in all (the sum of their stored_bytes()); then place_distinct() is
    // called once per key, each with its own arena offset such that the keys lie back to back
    // in [0, bytes). Calls of place_distinct may run concurrently with each other, and with
    // nothing else on this map.
    void reset_for_distinct(std::size_t count, std::size_t bytes) {
        ByteMap fresh;
        fresh.hash_ = hash_;
        if (count > 0) {
            fresh.mask_ = capacity_for(count) - 1;
            fresh.slots_ = allocate_slots(fresh.mask_ + 1);
        }
        if (bytes > 0) {
            fresh.arena_.reset(static_cast<char*>(checked_malloc(bytes)));
            detail::advise_huge_pages(fresh.arena_.get(), bytes);
            fresh.arena_capacity_ = bytes;
        }
        fresh.arena_size_ = bytes;
        fresh.size_ = count;
        swap(fresh);
    }
    // Arena bytes a key of `size` bytes takes: its length, then its bytes.
    static constexpr std::size_t stored_bytes(std::size_t size) noexcept {
        std::size_t header = 1;
        for (std::size_t rest = size >> 7; rest != 0; rest >>= 7) ++header;
        return header + size;
    }
    // The hash place_distinct() wants for key; prefetch_slot() starts loading its slot, so
    // that a batch of placements can overlap their cache misses.
    std::uint64_t hash_key(std::string_view key) const noexcept { return stored_hash(key); }
    void prefetch_slot(std::uint64_t hash) const noexcept {
        __builtin_prefetch(slots() + (hash & mask_), 1);
    }
    void place_distinct(std::string_view key, std::uint64_t hash, std::size_t offset,
                        V value) noexcept {
        std::size_t i = hash & mask_;
        for (;; i = (i + 1) & mask_) {
            std::atomic_ref<std::uint64_t> claim(slots()[i].hash);
            std::uint64_t expected = 0;
            if (claim.load(std::memory_order_relaxed) == 0 &&
                claim.compare_exchange_strong(expected, hash, std::memory_order_relaxed)) {
                break;
            }
        }
        Slot& s = slots()[i];
        ::new (static_cast<void*>(s.storage)) V(std::move(value));
        store_key(arena_.get() + offset, key);
        s.offset = offset;
    }

  private:
    struct Slot {
        std::uint64_t hash;  // 0: empty
        std::size_t offset;  // of the key's length in the arena
        alignas(V) unsigned char storage[sizeof(V)];

        V* value() { return std::launder(reinterpret_cast<V*>(storage)); }
        const V* value() const { return std::launder(reinterpret_cast<const V*>(storage)); }
    };
    static_assert(std::is_trivially_copyable_v<Slot>);
    // Growing moves values between slots and must not fail halfway.
    static_assert(std::is_nothrow_move_constructible_v<V>);

    struct FreeDeleter {
        void operator()(void* p) const noexcept { std::free(p); }
    };

    static constexpr std::uint64_t kOccupied = std::uint64_t{1} << 63;

    static void* checked_malloc(std::size_t bytes) {
        void* p = std::malloc(bytes);
        if (p == nullptr) throw std::bad_alloc();
        return p;
    }
    // All empty: an empty slot is all zero bytes.
    static detail::ZeroedBlock allocate_slots(std::size_t n) {
        if (n > SIZE_MAX / sizeof(Slot)) throw std::bad_alloc();
        return detail::ZeroedBlock(n * sizeof(Slot));
    }
    Slot* slots() const noexcept { return static_cast<Slot*>(slots_.get()); }

    // Smallest power of two that holds n entries at most 70% full.
    static std::size_t capacity_for(std::size_t n) {
        if (n > SIZE_MAX / 16) throw std::bad_alloc();
        std::size_t cap = 8;
        while (cap * 7 < n * 10) cap *= 2;
        return cap;
    }

    std::size_t capacity() const { return mask_ + 1; }
    std::uint64_t stored_hash(std::string_view key) const { return hash_(key) | kOccupied; }
    static void store_key(char* p, std::string_view key) noexcept {
        std::size_t size = key.size();
        for (; size >= 0x80; size >>= 7) *p++ = static_cast<char>(0x80 | (size & 0x7F));
        *p++ = static_cast<char>(size);
        if (!key.empty()) std::memcpy(p, key.data(), key.size());
    }
    std::string_view key_of(const Slot& s) const {
        const char* p = arena_.get() + s.offset;
        std::size_t size = 0;
        for (unsigned shift = 0;; shift += 7) {
            const auto byte = static_cast<unsigned char>(*p++);
            size |= static_cast<std::size_t>(byte & 0x7F) << shift;
            if (byte < 0x80) break;
        }
        return std::string_view(p, size);
    }

    // The slot holding key, or the empty slot where it would go.
    Slot* locate(std::string_view key, std::uint64_t h) const {
        Slot* const table = slots();
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            Slot& s = table[i];
            if (s.hash == 0) return &s;
            if (s.hash == h && key_of(s) == key) return &s;
        }
    }

    void reserve_arena(std::size_t extra) {
        if (extra <= arena_capacity_ - arena_size_) return;
        if (extra > SIZE_MAX / 2 - arena_size_) throw std::bad_alloc();
        std::size_t cap = arena_capacity_ < 64 ? 64 : arena_capacity_;
        while (cap - arena_size_ < extra) cap *= 2;
        void* p = std::realloc(arena_.get(), cap);
        if (p == nullptr) throw std::bad_alloc();
        (void)arena_.release();
        arena_.reset(static_cast<char*>(p));
        arena_capacity_ = cap;
    }

    void rehash(std::size_t new_capacity) {
        detail::ZeroedBlock fresh = allocate_slots(new_capacity);
        Slot* const table = static_cast<Slot*>(fresh.get());
        const std::size_t new_mask = new_capacity - 1;
        for (std::size_t i = 0; i < slot_count(); ++i) {
            Slot& from = slots()[i];
            if (from.hash == 0) continue;
            std::size_t k = from.hash & new_mask;
            while (table[k].hash != 0) k = (k + 1) & new_mask;
            Slot& to = table[k];
            ::new (static_cast<void*>(to.storage)) V(std::move(*from.value()));
            from.value()->~V();
            to.offset = from.offset;
            to.hash = from.hash;
        }
        slots_ = std::move(fresh);
        mask_ = new_mask;
    }

    void destroy_values() noexcept {
        if constexpr (!std::is_trivially_destructible_v<V>) {
            for (std::size_t i = 0; i < slot_count(); ++i) {
                Slot& s = slots()[i];
                if (s.hash != 0) s.value()->~V();
            }
        }
    }

    [[no_unique_address]] Hash hash_{};
    detail::ZeroedBlock slots_;  // Slot[capacity], or nothing
    std::size_t mask_ = 0;       // capacity - 1 while slots_ is allocated
    std::unique_ptr<char, FreeDeleter> arena_;
    std::size_t arena_size_ = 0;
    std::size_t arena_capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace vandra
