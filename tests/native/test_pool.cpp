// The fork-join machinery and parallel loops, on pools of explicit sizes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
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

// Kills the process if a test hangs (a lost wake-up or a deadlock shows up as a hang).
struct Watchdog {
    explicit Watchdog(const char* what) {
        thread = std::thread([this, what] {
            std::unique_lock<std::mutex> lock(mu);
            if (!cv.wait_for(lock, 60s, [this] { return done; })) {
                std::printf("HUNG %s\n", what);
                std::fflush(stdout);
                std::_Exit(3);
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mu);
            done = true;
        }
        cv.notify_all();
        thread.join();
    }
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    std::thread thread;
};

bool wait_for(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// Joins whose first half cannot finish before another worker has started the second, so the
// second half must be stolen: by a worker that may be asleep and must be woken.
void stolen_join(std::atomic<bool>& ok, std::thread::id& thief) {
    std::atomic<bool> b_started{false};
    join([&] { ok = wait_for(b_started); },
         [&] {
             thief = std::this_thread::get_id();
             b_started = true;
         });
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

}  // namespace

TEST_CASE("join runs both halves, from outside the pool and nested inside it") {
    Watchdog dog("join basics");
    for (std::size_t n : kSizes) {
        Pool p(n);
        CHECK(p.num_threads() == n);
        std::atomic<int> calls{0};
        auto bump = [&] { calls.fetch_add(1); };
        p.install([&] { join(bump, bump); });
        CHECK(calls == 2);
        p.install([&] {
            CHECK(num_threads() == n);
            join([&] { join(bump, [&] { CHECK(num_threads() == n); }); }, bump);
        });
        CHECK(calls == 4);
    }
}

TEST_CASE("a half that must be stolen is, and sleeping workers are woken for it") {
    Watchdog dog("stealing and wake-ups");
    for (std::size_t n : {2, 3, 8}) {
        Pool p(n);
        for (int round = 0; round < 30; ++round) {
            // Let the workers run out of spinning and go to sleep first.
            std::this_thread::sleep_for(2ms);
            std::atomic<bool> ok{false};
            std::thread::id thief, joiner;
            p.install([&] {
                joiner = std::this_thread::get_id();
                stolen_join(ok, thief);
            });
            CHECK(ok);
            CHECK(thief != joiner);
        }
    }
}

TEST_CASE("a joiner waiting on a slow thief sleeps and is woken when it finishes") {
    Watchdog dog("latch wake-up");
    Pool p(2);
    for (int round = 0; round < 10; ++round) {
        std::atomic<bool> b_started{false}, b_done{false}, ok{false};
        p.install([&] {
            join([&] { ok = wait_for(b_started); },
                 [&] {
                     b_started = true;
                     std::this_thread::sleep_for(5ms);
                     b_done = true;
                 });
            CHECK(b_done);
        });
        CHECK(ok);
    }
}

namespace {
void nest(int depth, std::atomic<int>& count) {
    if (depth == 0) return;
    join([&] { nest(depth - 1, count); }, [&] { count.fetch_add(1, std::memory_order_relaxed); });
}
}  // namespace

TEST_CASE("joins nested thousands deep finish, past the deque's capacity") {
    Watchdog dog("deep nesting");
    constexpr int kDepth = 6000;
    static_assert(kDepth > static_cast<int>(detail::Worker::kDequeCapacity));
    for (std::size_t n : {1, 2}) {
        Pool p(n);
        std::atomic<int> count{0};
        p.install([&] { nest(kDepth, count); });
        CHECK(count == kDepth);
    }
}

TEST_CASE("many small nested loops on one worker and on several") {
    Watchdog dog("nested loops");
    for (std::size_t n : {1, 3}) {
        Pool p(n);
        std::vector<std::uint64_t> sums(300);
        p.install([&] {
            for_each_index(0, sums.size(), [&](std::size_t i) {
                std::vector<std::uint64_t> row(i % 7 + 1);
                for_each_index(0, row.size(), [&](std::size_t j) {
                    const auto odd = gather<std::uint64_t>(
                        0, j + 2, [](std::size_t k) -> std::optional<std::uint64_t> {
                            if (k % 2 == 0) return std::nullopt;
                            return k;
                        });
                    for (auto k : odd) row[j] += k * i;
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
    Watchdog dog("exceptions");
    for (std::size_t n : kSizes) {
        Pool p(n);
        std::atomic<bool> b_ran{false};
        auto throws = [](const char* what) { return [what] { throw Error(what); }; };
        auto note_b = [&] { b_ran = true; };

        CHECK(thrown_by([&] { p.install([&] { join(throws("a"), note_b); }); }) == "a");
        CHECK(b_ran);
        CHECK(thrown_by([&] { p.install([&] { join([] {}, throws("b")); }); }) == "b");
        CHECK(thrown_by([&] { p.install([&] { join(throws("a"), throws("b")); }); }) == "a");
        CHECK(thrown_by([&] { p.install(throws("install")); }) == "install");

        // Deep inside a parallel loop: every piece still completes or unwinds cleanly.
        std::vector<int> touched(10000);
        CHECK(thrown_by([&] {
                  p.install([&] {
                      for_each_index(0, touched.size(), [&](std::size_t i) {
                          if (i == 7777) throw Error("loop");
                          touched[i] = 1;
                      });
                  });
              }) == "loop");
        CHECK(touched[0] == 1 && touched[7777] == 0);

        // The pool is still usable afterwards.
        std::atomic<int> calls{0};
        p.install([&] { for_each_index(0, 100, [&](std::size_t) { calls.fetch_add(1); }); });
        CHECK(calls == 100);
    }

    // A stolen half's exception crosses threads.
    Pool p(2);
    CHECK(thrown_by([&] {
              p.install([&] {
                  std::atomic<bool> b_started{false};
                  join([&] { CHECK(wait_for(b_started)); },
                       [&] {
                           b_started = true;
                           throw Error("stolen b");
                       });
              });
          }) == "stolen b");
}

TEST_CASE("for_each_range covers the range once, in ascending disjoint pieces") {
    Watchdog dog("for_each_range");
    for (std::size_t n : kSizes) {
        Pool p(n);
        for (std::size_t len : {0, 1, 2, 3, 17, 1000, 10007}) {
            const std::size_t begin = 5;
            std::mutex mu;
            std::map<std::size_t, std::size_t> pieces;
            std::vector<int> order(len);  // position of each index within its piece
            p.install([&] {
                for_each_range(begin, begin + len, [&](std::size_t lo, std::size_t hi) {
                    CHECK(lo < hi);
                    std::lock_guard<std::mutex> lock(mu);
                    pieces.emplace(lo, hi);
                });
                for_each_index(begin, begin + len,
                               [&](std::size_t i) { order[i - begin] = static_cast<int>(i); });
            });
            std::size_t at = begin;
            for (auto [lo, hi] : pieces) {
                CHECK(lo == at);
                CHECK(hi - lo <= std::max<std::size_t>(1, len / (8 * n)) || len == 1);
                at = hi;
            }
            CHECK(at == begin + len);
            for (std::size_t i = 0; i < len; ++i) CHECK(order[i] == static_cast<int>(begin + i));
        }
        // Empty and reversed ranges call nothing.
        p.install([&] {
            for_each_range(9, 9, [&](std::size_t, std::size_t) { CHECK(false); });
            for_each_range(9, 3, [&](std::size_t, std::size_t) { CHECK(false); });
        });
    }
}

TEST_CASE("a loop over one item runs on the calling thread") {
    const auto caller = std::this_thread::get_id();
    std::thread::id ran_on;
    for_each_index(41, 42, [&](std::size_t i) {
        CHECK(i == 41);
        ran_on = std::this_thread::get_id();
    });
    CHECK(ran_on == caller);
    const auto one = gather<int>(3, 4, [&](std::size_t i) -> std::optional<int> {
        ran_on = std::this_thread::get_id();
        return static_cast<int>(i);
    });
    CHECK(one == std::vector<int>{3});
    CHECK(ran_on == caller);
}

TEST_CASE("gather keeps index order, skips absent results, and agrees across pool sizes") {
    Watchdog dog("gather");
    std::vector<std::string> first;
    for (std::size_t n : kSizes) {
        Pool p(n);
        std::vector<std::string> got;
        std::vector<std::unique_ptr<std::size_t>> owned;
        p.install([&] {
            got = gather<std::string>(10, 5010, [](std::size_t i) -> std::optional<std::string> {
                if (i % 3 == 0) return std::nullopt;
                return std::to_string(i);
            });
            // Move-only results.
            owned = gather<std::unique_ptr<std::size_t>>(
                0, 1000, [](std::size_t i) -> std::optional<std::unique_ptr<std::size_t>> {
                    if (i % 10 != 0) return std::nullopt;
                    return std::make_unique<std::size_t>(i);
                });
            CHECK(gather<int>(0, 0, [](std::size_t) { return std::optional<int>(1); }).empty());
            CHECK(gather<int>(0, 500, [](std::size_t) { return std::optional<int>(); }).empty());
        });
        std::vector<std::string> want;
        for (std::size_t i = 10; i < 5010; ++i) {
            if (i % 3 != 0) want.push_back(std::to_string(i));
        }
        CHECK(got == want);
        CHECK(owned.size() == 100);
        for (std::size_t k = 0; k < owned.size(); ++k) CHECK(*owned[k] == 10 * k);
        if (first.empty()) first = got;
        CHECK(got == first);
    }
}

namespace {

using Keyed = std::pair<std::uint32_t, std::uint32_t>;  // (key, original position)

std::vector<Keyed> keyed(std::size_t n, const char* pattern, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Keyed> v(n);
    const std::string_view p = pattern;
    for (std::size_t i = 0; i < n; ++i) {
        const auto u = static_cast<std::uint32_t>(i);
        std::uint32_t key = static_cast<std::uint32_t>(rng());
        if (p == "few") key %= 3;
        if (p == "equal") key = 7;
        if (p == "ascending") key = u;
        if (p == "descending") key = static_cast<std::uint32_t>(n) - u;
        if (p == "organ") key = std::min(u, static_cast<std::uint32_t>(n) - u);
        if (p == "sawtooth") key = u % 1000;
        if (p == "two-runs") key = u < n / 2 ? u : u - static_cast<std::uint32_t>(n / 2);
        v[i] = {key, u};
    }
    return v;
}

}  // namespace

TEST_CASE("sort_unstable sorts every input shape and agrees across pool sizes") {
    Watchdog dog("sort");
    const char* patterns[] = {"random",     "few",   "equal",    "ascending",
                              "descending", "organ", "sawtooth", "two-runs"};
    // Compares keys only, so equivalent elements stay distinguishable.
    auto by_key = [](const Keyed& a, const Keyed& b) { return a.first < b.first; };
    std::vector<Pool*> pools;
    for (std::size_t n : kSizes) pools.push_back(new Pool(n));
    for (const char* pattern : patterns) {
        for (std::size_t len : {0, 1, 2, 2048, 2049, 20000}) {
            const auto input = keyed(len, pattern, static_cast<std::uint32_t>(len));
            std::vector<Keyed> first_result;
            for (Pool* p : pools) {
                auto v = input;
                p->install([&] { sort_unstable(v.begin(), v.end(), by_key); });
                CHECK(std::is_sorted(v.begin(), v.end(), by_key));
                if (first_result.empty()) {
                    first_result = v;
                    auto a = v, b = input;
                    std::sort(a.begin(), a.end());
                    std::sort(b.begin(), b.end());
                    CHECK(a == b);  // a permutation of the input
                }
                CHECK(v == first_result);
            }
        }
    }
    for (Pool* p : pools) delete p;
}

TEST_CASE("sort_unstable needs few comparisons with many equal elements") {
    Watchdog dog("sort comparisons");
    Pool p(3);
    constexpr std::size_t kLen = 100000;
    // Comparisons per element. Runs of equal keys are set aside in one pass, so few distinct
    // keys cost O(n); log2(kLen) is about 17, and a quadratic sort would need ~kLen.
    const std::pair<const char*, std::size_t> budgets[] = {
        {"equal", 3}, {"few", 6}, {"sawtooth", 2 * 17}, {"random", 2 * 17}};
    for (auto [pattern, per_element] : budgets) {
        auto v = keyed(kLen, pattern, 1);
        std::atomic<std::uint64_t> comparisons{0};
        auto by_key = [&](const Keyed& a, const Keyed& b) {
            comparisons.fetch_add(1, std::memory_order_relaxed);
            return a.first < b.first;
        };
        p.install([&] { sort_unstable(v.begin(), v.end(), by_key); });
        const auto counted = comparisons.load();
        CHECK(std::is_sorted(v.begin(), v.end(), by_key));
        CHECK(counted < per_element * kLen);
    }
}

TEST_CASE("sort_unstable on string views and non-pointer iterators matches std::sort") {
    Watchdog dog("sort strings");
    std::mt19937 rng(5);
    std::vector<std::string> storage(30000);
    for (auto& s : storage) s = std::to_string(rng() % 5000) + "x";
    std::vector<std::string_view> views(storage.begin(), storage.end());
    std::deque<int> numbers;
    for (int i = 0; i < 20000; ++i) numbers.push_back(static_cast<int>(rng() % 100));
    Pool p(3);
    auto want_views = views;
    std::sort(want_views.begin(), want_views.end());
    std::deque<int> want_numbers = numbers;
    std::sort(want_numbers.begin(), want_numbers.end(), std::greater<>());
    p.install([&] {
        sort_unstable(views.begin(), views.end(), std::less<>());
        sort_unstable(numbers.begin(), numbers.end(), std::greater<>());
    });
    CHECK(views == want_views);
    CHECK(numbers == want_numbers);
}

TEST_CASE("several outside threads share one pool") {
    Watchdog dog("shared pool");
    Pool p(3);
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < 10; ++round) {
                auto v = keyed(5000, "random", static_cast<std::uint32_t>(t * 100 + round));
                std::vector<std::uint64_t> doubled(v.size());
                p.install([&] {
                    join([&] { sort_unstable(v.begin(), v.end(), std::less<>()); },
                         [&] {
                             for_each_index(0, doubled.size(),
                                            [&](std::size_t i) { doubled[i] = 2 * i; });
                         });
                });
                if (!std::is_sorted(v.begin(), v.end())) failures.fetch_add(1);
                for (std::size_t i = 0; i < doubled.size(); ++i) {
                    if (doubled[i] != 2 * i) failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& c : callers) c.join();
    CHECK(failures == 0);
}

TEST_CASE("a pool of zero threads is clamped to one") {
    Pool p(0);
    CHECK(p.num_threads() == 1);
    std::atomic<int> calls{0};
    p.install([&] { join([&] { ++calls; }, [&] { ++calls; }); });
    CHECK(calls == 2);
}

CHECK_MAIN()
