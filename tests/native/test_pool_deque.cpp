#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "check.hpp"
#include "pool/deque.hpp"

using vandra::pool::detail::WorkDeque;

namespace {

// Items are addresses inside one array, so a taken item maps back to its index.
struct Items {
    explicit Items(std::size_t n) : storage(n), taken(n) {}
    int* item(std::size_t i) { return &storage[i]; }
    void take(int* p) { taken[static_cast<std::size_t>(p - storage.data())].fetch_add(1); }
    bool each_taken_once() const {
        for (const auto& t : taken) {
            if (t.load() != 1) return false;
        }
        return true;
    }
    std::vector<int> storage;
    std::vector<std::atomic<int>> taken;
};

}  // namespace

TEST_CASE("deque: owner pops newest first, thieves steal oldest first") {
    WorkDeque<int> d(8);
    Items items(3);
    bool contended = false;
    CHECK(d.pop() == nullptr);
    CHECK(d.steal(contended) == nullptr && !contended);
    for (std::size_t i = 0; i < 3; ++i) CHECK(d.push(items.item(i)));
    CHECK(d.maybe_nonempty());
    CHECK(d.steal(contended) == items.item(0));
    CHECK(d.pop() == items.item(2));
    CHECK(d.pop() == items.item(1));
    CHECK(d.pop() == nullptr);
    CHECK(d.steal(contended) == nullptr && !contended);
    CHECK(!d.maybe_nonempty());
}

TEST_CASE("deque: a full ring refuses pushes until space is freed, across many wrap-arounds") {
    WorkDeque<int> d(4);
    Items items(4);
    bool contended = false;
    for (int round = 0; round < 50; ++round) {
        for (std::size_t i = 0; i < 4; ++i) CHECK(d.push(items.item(i)));
        CHECK(!d.push(items.item(0)));
        // Freeing the oldest slot from the thief's end lets the owner reuse it.
        CHECK(d.steal(contended) == items.item(0));
        CHECK(d.push(items.item(0)));
        CHECK(!d.push(items.item(0)));
        CHECK(d.pop() == items.item(0));
        for (std::size_t i = 4; i-- > 1;) CHECK(d.pop() == items.item(i));
        CHECK(d.pop() == nullptr);
    }
}

TEST_CASE("deque: under concurrent stealing every item is taken exactly once") {
    constexpr std::size_t kItems = 300000;
    Items items(kItems);
    WorkDeque<int> d(256);
    std::atomic<bool> done{false};
    std::vector<std::thread> thieves;
    for (int t = 0; t < 2; ++t) {
        thieves.emplace_back([&] {
            for (;;) {
                const bool finished = done.load();
                bool contended = false;
                if (int* p = d.steal(contended)) {
                    items.take(p);
                } else if (finished && !contended) {
                    return;
                }
            }
        });
    }
    // The owner keeps the deque nearly empty, so that races for the last item are frequent.
    std::size_t next = 0;
    while (next < kItems) {
        const std::size_t burst = 1 + next % 3;
        for (std::size_t k = 0; k < burst && next < kItems; ++k) {
            if (d.push(items.item(next))) {
                ++next;
            } else if (int* p = d.pop()) {  // full: the thieves are behind
                items.take(p);
            }
        }
        for (std::size_t k = 0; k + 1 < burst; ++k) {
            if (int* p = d.pop()) items.take(p);
        }
    }
    while (int* p = d.pop()) items.take(p);
    done.store(true);
    for (auto& t : thieves) t.join();
    CHECK(items.each_taken_once());
}

CHECK_MAIN()
