#include <atomic>
#include <thread>
#include <vector>

#include "check.hpp"
#include "lib/borrow.hpp"

using vandra::BorrowFlag;

TEST_CASE("exclusive excludes everything, shared stacks") {
    BorrowFlag f;
    CHECK(f.try_exclusive());
    CHECK(!f.try_exclusive());
    CHECK(!f.try_shared());
    f.release_exclusive();
    CHECK(f.try_shared() && f.try_shared());
    CHECK(f.value() == 2);
    CHECK(!f.try_exclusive());
    f.release_shared();
    f.release_shared();
    CHECK(f.value() == 0 && f.try_exclusive());
}

TEST_CASE("concurrent acquirers never overlap an exclusive holder") {
    BorrowFlag f;
    std::atomic<int> exclusive_inside{0}, shared_inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < 20000; ++k) {
                if ((k + t) % 3 == 0) {
                    if (!f.try_exclusive()) continue;
                    if (exclusive_inside.fetch_add(1) != 0 || shared_inside.load() != 0)
                        overlap = true;
                    exclusive_inside.fetch_sub(1);
                    f.release_exclusive();
                } else {
                    if (!f.try_shared()) continue;
                    shared_inside.fetch_add(1);
                    if (exclusive_inside.load() != 0) overlap = true;
                    shared_inside.fetch_sub(1);
                    f.release_shared();
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    CHECK(!overlap.load());
    CHECK(f.value() == 0);
}

CHECK_MAIN()
