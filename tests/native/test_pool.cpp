// The fork-join machinery and parallel loops, on pools of explicit sizes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "check.hpp"
#include "pool/pool.hpp"

using namespace vandra::pool;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kSizes[] = {1, 2, 3, 8};

// A lost wake-up or a deadlock shows up as a hang: fail the run instead of stalling it.
const bool watchdog = [] {
    std::thread([] {
        std::this_thread::sleep_for(60s);
        std::fputs("HUNG: no progress for 60 s\n", stderr);
        std::_Exit(3);
    }).detach();
    return true;
}();

bool wait_for(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

template <class F>
std::string thrown_by(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}

void nest(int depth, std::atomic<int>& count) {
    if (depth == 0) return;
    join([&] { nest(depth - 1, count); }, [&] { count.fetch_add(1, std::memory_order_relaxed); });
}

}  // namespace

TEST_CASE("join runs both halves, nested, and reports the pool's size inside") {
    for (std::size_t n : {0, 1, 2, 3, 8}) {
        Pool p(n);
        CHECK(p.num_threads() == std::max<std::size_t>(n, 1));
        std::atomic<int> calls{0};
        auto bump = [&] { calls.fetch_add(1); };
        p.install([&] {
            join(bump, bump);
            join([&] { join(bump, [&] { CHECK(num_threads() == p.num_threads()); }); }, bump);
        });
        CHECK(calls == 4);
    }
}

TEST_CASE("a half that must be stolen is; sleeping thieves and joiners are woken") {
    for (std::size_t n : {2, 3, 8}) {
        Pool p(n);
        std::minstd_rand rng(static_cast<unsigned>(n));
        for (int round = 0; round < 400; ++round) {
            // Catch the workers at random points of going idle, and now and then asleep.
            if (round % 20 == 0) {
                std::this_thread::sleep_for(2ms);
            } else {
                const auto until = std::chrono::steady_clock::now() + 1us * (rng() % 50);
                while (std::chrono::steady_clock::now() < until) {
                }
            }
            std::atomic<bool> b_started{false}, ok{false};
            std::thread::id joiner, thief;
            bool b_done = false;  // published to the joiner by the job's latch
            p.install([&] {
                joiner = std::this_thread::get_id();
                // a cannot finish before another worker has started b.
                join([&] { ok = wait_for(b_started); },
                     [&] {
                         thief = std::this_thread::get_id();
                         b_started = true;
                         if (round % 20 == 10) std::this_thread::sleep_for(3ms);  // joiner sleeps
                         b_done = true;
                     });
                CHECK(b_done);
            });
            CHECK(ok);
            CHECK(thief != joiner);
        }
    }
}

TEST_CASE("joins nested thousands deep, and many small nested loops, on one worker") {
    constexpr int kDepth = 6000;
    static_assert(kDepth > static_cast<int>(detail::Worker::kDequeCapacity));
    for (std::size_t n : {1, 3}) {
        Pool p(n);
        std::atomic<int> count{0};
        p.install([&] { nest(kDepth, count); });
        CHECK(count == kDepth);

        std::vector<std::uint64_t> sums(300);
        p.install([&] {
            for_each_index(0, sums.size(), [&](std::size_t i) {
                std::vector<std::uint64_t> row(i % 7 + 1);
                for_each_index(0, row.size(), [&](std::size_t j) {
                    auto odd = [](std::size_t k) {
                        return k % 2 ? std::optional(k) : std::nullopt;
                    };
                    for (auto k : gather<std::size_t>(0, j + 2, odd)) row[j] += k * i;
                });
                for (auto v : row) sums[i] += v;
            });
        });
        for (std::size_t i = 0; i < sums.size(); ++i) {
            std::uint64_t want = 0;
            for (std::size_t j = 0; j < i % 7 + 1; ++j) {
                for (std::size_t k = 1; k < j + 2; k += 2) want += k * i;
            }
            CHECK(sums[i] == want);
        }
    }
}

TEST_CASE("exceptions reach the join point after both halves have finished") {
    auto throws = [](const char* what) { return [what] { throw Error(what); }; };
    for (std::size_t n : kSizes) {
        Pool p(n);
        std::atomic<bool> b_ran{false};
        CHECK(thrown_by([&] { p.install([&] { join(throws("a"), [&] { b_ran = true; }); }); }) ==
              "a");
        CHECK(b_ran);
        CHECK(thrown_by([&] { p.install([&] { join([] {}, throws("b")); }); }) == "b");
        CHECK(thrown_by([&] { p.install([&] { join(throws("a"), throws("b")); }); }) == "a");
        CHECK(thrown_by([&] { p.install(throws("install")); }) == "install");

        std::vector<int> touched(10000);
        auto loop = [&] {
            for_each_index(0, touched.size(), [&](std::size_t i) {
                if (i == 7777) throw Error("loop");
                touched[i] = 1;
            });
        };
        CHECK(thrown_by([&] { p.install(loop); }) == "loop");
        CHECK(touched[0] == 1 && touched[7777] == 0);
        std::atomic<int> calls{0};  // still usable afterwards
        p.install([&] { for_each_index(0, 100, [&](std::size_t) { calls.fetch_add(1); }); });
        CHECK(calls == 100);
    }
    // A stolen half's exception crosses threads.
    Pool p(2);
    std::atomic<bool> b_started{false};
    CHECK(thrown_by([&] {
              p.install([&] {
                  join([&] { CHECK(wait_for(b_started)); },
                       [&] {
                           b_started = true;
                           throw Error("stolen b");
                       });
              });
          }) == "stolen b");
}

TEST_CASE("for_each_range covers the range once, in ascending disjoint pieces") {
    for (std::size_t n : kSizes) {
        Pool p(n);
        for (std::size_t len : {0, 1, 2, 3, 17, 1000, 10007}) {
            const std::size_t begin = 5;
            std::mutex mu;
            std::map<std::size_t, std::size_t> pieces;
            std::vector<std::size_t> seen;
            p.install([&] {
                for_each_range(begin, begin + len, [&](std::size_t lo, std::size_t hi) {
                    std::lock_guard<std::mutex> lock(mu);
                    CHECK(lo < hi && pieces.emplace(lo, hi).second);
                    for (std::size_t i = lo; i < hi; ++i) seen.push_back(i);
                });
                for_each_range(9, 3, [&](std::size_t, std::size_t) { CHECK(false); });
            });
            std::size_t at = begin;
            for (auto [lo, hi] : pieces) {
                CHECK(lo == at);
                CHECK(hi - lo <= std::max<std::size_t>(1, len / (8 * n)));
                at = hi;
            }
            CHECK(at == begin + len && seen.size() == len);
        }
    }
    // One item is not split and runs right here, without the pool.
    const auto caller = std::this_thread::get_id();
    std::thread::id ran_on;
    for_each_index(41, 42,
                   [&](std::size_t i) { ran_on = i == 41 ? std::this_thread::get_id() : ran_on; });
    CHECK(ran_on == caller);
    ran_on = {};
    CHECK(gather<int>(3, 4, [&](std::size_t i) {
              ran_on = std::this_thread::get_id();
              return std::optional(static_cast<int>(i));
          }) == std::vector<int>{3});
    CHECK(ran_on == caller);
}

TEST_CASE("gather keeps index order, skips absent results, and agrees across pool sizes") {
    std::vector<std::string> want;
    for (std::size_t i = 10; i < 5010; ++i) {
        if (i % 3 != 0) want.push_back(std::to_string(i));
    }
    for (std::size_t n : kSizes) {
        Pool p(n);
        std::vector<std::string> got;
        std::vector<std::unique_ptr<std::size_t>> owned;  // move-only results
        p.install([&] {
            got = gather<std::string>(10, 5010, [](std::size_t i) {
                return i % 3 ? std::optional(std::to_string(i)) : std::nullopt;
            });
            owned = gather<std::unique_ptr<std::size_t>>(0, 1000, [](std::size_t i) {
                return i % 10 ? std::nullopt : std::optional(std::make_unique<std::size_t>(i));
            });
            CHECK(gather<int>(0, 0, [](std::size_t) { return std::optional(1); }).empty());
            CHECK(gather<int>(0, 500, [](std::size_t) { return std::optional<int>(); }).empty());
        });
        CHECK(got == want);
        CHECK(owned.size() == 100);
        for (std::size_t k = 0; k < owned.size(); ++k) CHECK(*owned[k] == 10 * k);
    }
}

TEST_CASE("several outside threads share one pool") {
    Pool p(3);
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (std::uint32_t t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (std::uint32_t round = 0; round < 10; ++round) {
                const auto odd = t * 100 + round;
                std::vector<std::size_t> v(5000), doubled(v.size());
                p.install([&] {
                    join(
                        [&] {
                            for_each_index(0, v.size(), [&](std::size_t i) { v[i] = i + odd; });
                        },
                        [&] {
                            for_each_index(0, v.size(), [&](std::size_t i) { doubled[i] = 2 * i; });
                        });
                });
                bool ok = v.front() == odd && v.back() == v.size() - 1 + odd;
                for (std::size_t i = 0; i < doubled.size(); ++i) ok = ok && doubled[i] == 2 * i;
                if (!ok) failures.fetch_add(1);
            }
        });
    }
    for (auto& c : callers) c.join();
    CHECK(failures == 0);
}

CHECK_MAIN()
