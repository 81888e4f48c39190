// The process-wide pool itself: sized once from the environment on first use, shared by all
// outside threads, and recreated in a forked child. One pool creation per process, so this is
// its own test binary; the cases run in order.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <numeric>
#include <thread>
#include <vector>

#include "check.hpp"
#include "pool/pool.hpp"

using namespace vandra::pool;

#if defined(__has_feature)
#define VANDRA_HAS_TSAN __has_feature(thread_sanitizer)
#else
#define VANDRA_HAS_TSAN 0
#endif

namespace {

// A small workload through every entry point; true if all results are right.
bool workload_ok() {
    std::vector<std::size_t> v(20000);
    for_each_index(0, v.size(), [&](std::size_t i) { v[i] = i; });
    std::vector<std::size_t> want(v.size());
    std::iota(want.begin(), want.end(), 0);
    const auto odd = gather<std::size_t>(0, 1000, [](std::size_t i) -> std::optional<std::size_t> {
        return i % 2 == 1 ? std::optional<std::size_t>(i) : std::nullopt;
    });
    int a = 0, b = 0;
    join([&] { a = 1; }, [&] { b = 1; });
    return v == want && odd.size() == 500 && odd.front() == 1 && odd.back() == 999 && a + b == 2;
}

}  // namespace

TEST_CASE("first use from several threads at once creates one pool of the configured size") {
    // RAYON_NUM_THREADS takes precedence over RAYON_RS_NUM_CPUS.
    CHECK(setenv("RAYON_NUM_THREADS", "3", 1) == 0);
    CHECK(setenv("RAYON_RS_NUM_CPUS", "5", 1) == 0);
    std::atomic<bool> go{false};
    std::vector<std::size_t> seen(4);
    std::vector<Pool*> pools(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < seen.size(); ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            seen[t] = num_threads();
            pools[t] = &Pool::global();
        });
    }
    go.store(true);
    for (auto& t : threads) t.join();
    for (std::size_t t = 0; t < seen.size(); ++t) {
        CHECK(seen[t] == 3);
        CHECK(pools[t] == pools[0]);
    }
    // Read once: later changes to the environment do not resize it.
    CHECK(setenv("RAYON_NUM_THREADS", "6", 1) == 0);
    CHECK(num_threads() == 3);
}

TEST_CASE("the process-wide pool serves the main thread and other threads concurrently") {
    CHECK(workload_ok());
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 5; ++round) {
                if (!workload_ok()) failures.fetch_add(1);
            }
        });
    }
    for (auto& t : threads) t.join();
    CHECK(failures == 0);
    // Inside a job, num_threads() still reports the pool running it.
    std::size_t inside = 0;
    join([&] { inside = num_threads(); }, [] {});
    CHECK(inside == 3);
}

TEST_CASE("a forked child gets a working pool of its own") {
#if defined(__SANITIZE_THREAD__) || VANDRA_HAS_TSAN
    // ThreadSanitizer does not support starting threads after a multithreaded fork.
    std::printf("  (skipped under ThreadSanitizer)\n");
#else
    CHECK(workload_ok());  // the parent's pool is running
    const pid_t pid = fork();
    CHECK(pid >= 0);
    if (pid == 0) {
        alarm(20);  // a hung child fails the test instead of hanging it
        // A fresh pool, sized from the environment as it is now.
        _exit(workload_ok() && num_threads() == 6 ? 0 : 1);
    }
    int status = 0;
    CHECK(waitpid(pid, &status, 0) == pid);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    CHECK(workload_ok());  // and the parent's is unaffected
#endif
}

TEST_CASE("a process-wide pool of one thread runs the work on the calling thread") {
#if defined(__SANITIZE_THREAD__) || VANDRA_HAS_TSAN
    std::printf("  (skipped under ThreadSanitizer)\n");
#else
    CHECK(setenv("RAYON_NUM_THREADS", "1", 1) == 0);
    const pid_t pid = fork();
    CHECK(pid >= 0);
    if (pid == 0) {
        alarm(20);
        const std::thread::id caller = std::this_thread::get_id();
        std::atomic<int> elsewhere{0};
        for_each_range(0, 1000, [&](std::size_t, std::size_t) {
            if (std::this_thread::get_id() != caller) elsewhere.fetch_add(1);
        });
        _exit(workload_ok() && num_threads() == 1 && elsewhere == 0 ? 0 : 1);
    }
    int status = 0;
    CHECK(waitpid(pid, &status, 0) == pid);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#endif
}

CHECK_MAIN()
