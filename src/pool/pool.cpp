#include "pool/pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>

#include "pool/pool_size.hpp"

namespace vandra::pool {

using detail::Job;
using detail::Worker;

namespace {

// Rounds of fruitless searching (each followed by a yield) before an idle worker sleeps.
constexpr unsigned kSpinRounds = 64;

// Workers may nest joins deeply; don't leave their stacks to RLIMIT_STACK, which may be small
// or "unlimited" (glibc then uses 2 MiB).
constexpr std::size_t kMinStackBytes = std::size_t{8} << 20;

std::uint64_t next_random(std::uint64_t& state) noexcept {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

}  // namespace

void detail::SpinLatch::set() noexcept {
    // The latch may be destroyed as soon as done_ is visible; copy what we need first.
    Worker* owner = owner_;
    done_.store(true, std::memory_order_release);
    owner->pool->notify_latch_set(*owner);
}

Pool::Pool(std::size_t threads) {
    start(threads, /*detach=*/false);
}

Pool::Pool(std::size_t threads, Detached) {
    start(threads, /*detach=*/true);
}

void Pool::start(std::size_t threads, bool detach) {
    const std::size_t wanted = std::clamp<std::size_t>(threads, 1, kMaxThreads);
    workers_.reserve(wanted);
    for (std::size_t i = 0; i < wanted; ++i) workers_.push_back(std::make_unique<Worker>(*this, i));

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    std::size_t stack = 0;
    if (pthread_attr_getstacksize(&attr, &stack) != 0 || stack < kMinStackBytes) {
        pthread_attr_setstacksize(&attr, kMinStackBytes);
    }
    int error = 0;
    threads_.reserve(wanted);
    for (std::size_t i = 0; i < wanted; ++i) {
        pthread_t t;
        error = pthread_create(&t, &attr, &Pool::thread_main, workers_[i].get());
        if (error != 0) break;
        threads_.push_back(t);
    }
    pthread_attr_destroy(&attr);

    count_ = threads_.size();
    detached_ = detach;
    if (detach) {
        for (pthread_t t : threads_) pthread_detach(t);
    }
    if (count_ == 0) throw std::system_error(error, std::generic_category(), "vandra pool");
    // Workers without a thread are never looked at: every loop over workers stops at count_.
    {
        std::lock_guard<std::mutex> lock(start_mu_);
        started_ = true;
    }
    start_cv_.notify_all();
}

Pool::~Pool() {
    terminating_.store(true, std::memory_order_seq_cst);
    // A worker checks terminating_ under its own mutex before it sleeps, so locking each
    // mutex here either finds it asleep or guarantees it sees the flag.
    for (std::size_t i = 0; i < count_; ++i) wake(*workers_[i]);
    if (!detached_) {
        for (pthread_t t : threads_) pthread_join(t, nullptr);
    }
}

void* Pool::thread_main(void* worker) noexcept {
    auto& w = *static_cast<Worker*>(worker);
    detail::tls_worker = &w;
    w.pool->worker_main(w);
    return nullptr;
}

void Pool::worker_main(Worker& w) noexcept {
    {
        std::unique_lock<std::mutex> lock(start_mu_);
        start_cv_.wait(lock, [this] { return started_; });
    }
    run_until(w, nullptr);
}

void Pool::run_until(Worker& w, const detail::SpinLatch* latch) noexcept {
    unsigned idle_rounds = 0;
    for (;;) {
        if (latch != nullptr ? latch->probe() : terminating_.load(std::memory_order_acquire)) {
            return;
        }
        if (Job* job = find_work(w)) {
            job->execute(job);
            idle_rounds = 0;
        } else if (++idle_rounds < kSpinRounds) {
            std::this_thread::yield();
        } else {
            sleep(w, latch);
            idle_rounds = 0;
        }
    }
}

Job* Pool::find_work(Worker& w) noexcept {
    if (Job* job = w.deque.pop()) return job;
    if (Job* job = steal(w)) return job;
    return pop_injected();
}

Job* Pool::steal(Worker& w) noexcept {
    const std::size_t n = count_;
    if (n < 2) return nullptr;
    const std::size_t start = static_cast<std::size_t>(next_random(w.rng) % n);
    bool contended;
    do {
        contended = false;
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t victim = (start + k) % n;
            if (victim == w.index) continue;
            if (Job* job = workers_[victim]->deque.steal(contended)) return job;
        }
    } while (contended);
    return nullptr;
}

Job* Pool::pop_injected() noexcept {
    if (injected_count_.load(std::memory_order_acquire) == 0) return nullptr;
    std::lock_guard<std::mutex> lock(injected_mu_);
    if (injected_.empty()) return nullptr;
    Job* job = injected_.front();
    injected_.pop_front();
    injected_count_.store(injected_.size(), std::memory_order_relaxed);
    return job;
}

void Pool::inject(Job& job) {
    {
        std::lock_guard<std::mutex> lock(injected_mu_);
        injected_.push_back(&job);
        injected_count_.store(injected_.size(), std::memory_order_relaxed);
    }
    notify_new_work();
}

bool Pool::has_work() const noexcept {
    if (injected_count_.load(std::memory_order_acquire) != 0) return true;
    for (std::size_t i = 0; i < count_; ++i) {
        if (workers_[i]->deque.maybe_nonempty()) return true;
    }
    return false;
}

void Pool::sleep(Worker& w, const detail::SpinLatch* latch) noexcept {
    std::unique_lock<std::mutex> lock(w.mu);
    w.sleeping = true;
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    detail::seq_cst_fence();
    const bool done =
        latch != nullptr ? latch->probe() : terminating_.load(std::memory_order_relaxed);
    if (done || has_work()) {
        w.sleeping = false;
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
        return;
    }
    while (w.sleeping) w.cv.wait(lock);
}

bool Pool::wake(Worker& w) noexcept {
    std::lock_guard<std::mutex> lock(w.mu);
    if (!w.sleeping) return false;
    w.sleeping = false;
    sleepers_.fetch_sub(1, std::memory_order_relaxed);
    w.cv.notify_one();
    return true;
}

void Pool::wake_any() noexcept {
    const std::size_t n = count_;
    const std::size_t start = wake_cursor_.fetch_add(1, std::memory_order_relaxed);
    for (std::size_t k = 0; k < n; ++k) {
        if (wake(*workers_[(start + k) % n])) return;
    }
}

void Pool::notify_latch_set(Worker& owner) noexcept {
    detail::seq_cst_fence();
    if (sleepers_.load(std::memory_order_relaxed) != 0) wake(owner);
}

// The process-wide pool. Creation is serialised by g_pool_mu; after fork() the child has the
// parent's pool object but none of its threads, so the child forgets it (leaking it) and
// creates its own on first use.
namespace {

std::atomic<Pool*> g_pool{nullptr};
std::mutex g_pool_mu;

void before_fork() {
    g_pool_mu.lock();
}
void after_fork_parent() {
    g_pool_mu.unlock();
}
void after_fork_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_pool_mu.unlock();
}

}  // namespace

Pool& Pool::global() {
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
    std::lock_guard<std::mutex> lock(g_pool_mu);
    if (Pool* p = g_pool.load(std::memory_order_relaxed)) return *p;
    static const bool fork_handlers =
        pthread_atfork(&before_fork, &after_fork_parent, &after_fork_child) == 0;
    (void)fork_handlers;
    // Intentionally never deleted: workers may still be parked in it at exit.
    Pool* p = new Pool(configured_pool_size(), Detached{});
    g_pool.store(p, std::memory_order_release);
    return *p;
}

std::size_t num_threads() {
    if (Worker* w = detail::current_worker()) return w->pool->num_threads();
    return Pool::global().num_threads();
}

}  // namespace vandra::pool
