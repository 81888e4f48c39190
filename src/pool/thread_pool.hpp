// The worker pool behind vandra::pool: workers with work-stealing deques, a queue for jobs
// submitted from outside, the sleep protocol, and fork-join on top of them.
//
// Jobs are type-erased, stack-allocated records with a function pointer; joining allocates
// nothing. A worker that waits for a stolen job keeps running other jobs until it is done.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "pool/deque.hpp"
#include "pool/latch.hpp"

namespace vandra::pool {

class Pool;

namespace detail {

struct Job {
    void (*execute)(Job*) noexcept;
};

struct alignas(64) Worker {
    // Deep enough for any realistic nesting; deeper joins run their second half inline.
    static constexpr std::size_t kDequeCapacity = 4096;

    Worker(Pool& p, std::size_t i) : pool(&p), index(i), rng(0x9E3779B97F4A7C15ull * (i + 1)) {}

    WorkDeque<Job> deque{kDequeCapacity};
    Pool* const pool;
    const std::size_t index;
    std::uint64_t rng;  // victim selection; touched only by this worker

    std::mutex mu;
    std::condition_variable cv;
    bool sleeping = false;  // guarded by mu; cleared by whoever wakes the worker
};

// The worker running on this thread, or nullptr on threads outside every pool.
inline thread_local Worker* tls_worker = nullptr;

inline Worker* current_worker() noexcept {
    return tls_worker;
}

// The second half of a join, on the joiner's stack: run by the joiner itself unless a thief
// took it first.
template <class F>
struct StackJob final : Job {
    // The base's aggregate initialiser sets execute; cppcheck does not see it.
    // cppcheck-suppress uninitDerivedMemberVar
    StackJob(F& f, Worker& owner) noexcept : Job{&StackJob::execute_stolen}, fn(&f), latch(owner) {}

    void run() noexcept {
        try {
            (*fn)();
        } catch (...) {
            error = std::current_exception();
        }
    }
    static void execute_stolen(Job* job) noexcept {
        auto* self = static_cast<StackJob*>(job);
        self->run();
        self->latch.set();
    }

    F* fn;
    SpinLatch latch;
    std::exception_ptr error;
};

// A job submitted from a thread outside the pool, which blocks until it is done.
template <class F>
struct InjectedJob final : Job {
    // cppcheck-suppress uninitDerivedMemberVar
    explicit InjectedJob(F& f) noexcept : Job{&InjectedJob::execute_injected}, fn(&f) {}

    static void execute_injected(Job* job) noexcept {
        auto* self = static_cast<InjectedJob*>(job);
        try {
            (*self->fn)();
        } catch (...) {
            self->error = std::current_exception();
        }
        self->latch.set();
    }

    F* fn;
    LockLatch latch;
    std::exception_ptr error;
};

template <class A, class B>
void join_on_worker(Worker& w, A& a, B& b);

}  // namespace detail

// A fixed set of worker threads. The vandra::pool functions use the process-wide instance
// (global()) when called from outside any pool, and the caller's own pool when called from one
// of its workers; install() runs code on a particular pool, e.g. to compare pool sizes.
// A forked child has none of the parent's worker threads: only global() is usable there.
class Pool {
  public:
    // Largest pool size honoured; larger requests are clamped.
    static constexpr std::size_t kMaxThreads = 1024;

    // Starts `threads` workers (at least 1, at most kMaxThreads). If the system refuses some
    // threads, the pool runs with those it got; throws std::system_error if it got none.
    explicit Pool(std::size_t threads);
    // Stops and joins the workers. No call into this pool may be in progress.
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // The process-wide pool, created on first use with the size from pool_size.hpp and never
    // destroyed. A child process created by fork() gets a fresh one on its first use.
    static Pool& global();

    std::size_t num_threads() const noexcept { return count_; }

    // Runs f() on a worker of this pool and returns when it has finished, rethrowing what it
    // threw. The caller blocks meanwhile (a worker of another pool too); called from one of
    // this pool's workers, it simply calls f().
    template <class F>
    void install(F&& f) {
        detail::Worker* w = detail::current_worker();
        if (w != nullptr && w->pool == this) {
            f();
            return;
        }
        detail::InjectedJob<std::remove_reference_t<F>> job(f);
        inject(job);
        job.latch.wait();
        if (job.error) std::rethrow_exception(job.error);
    }

  private:
    template <class A, class B>
    friend void detail::join_on_worker(detail::Worker&, A&, B&);
    friend class detail::SpinLatch;

    struct Detached {};
    Pool(std::size_t threads, Detached);
    void start(std::size_t threads, bool detach);

    static void* thread_main(void* worker) noexcept;
    void worker_main(detail::Worker& w) noexcept;

    // Runs jobs until latch is set (or, for latch == nullptr, until the pool terminates).
    void run_until(detail::Worker& w, const detail::SpinLatch* latch) noexcept;
    void wait_until(detail::Worker& w, const detail::SpinLatch& latch) noexcept {
        run_until(w, &latch);
    }
    detail::Job* find_work(detail::Worker& w) noexcept;
    detail::Job* steal(detail::Worker& w) noexcept;
    detail::Job* pop_injected() noexcept;
    void inject(detail::Job& job);
    bool has_work() const noexcept;

    // Sleep protocol: a worker announces itself in sleepers_, fences, and re-checks for work
    // before blocking, all under its own mutex; producers publish work, fence, and wake a
    // sleeper if sleepers_ is non-zero. One side always sees the other.
    void sleep(detail::Worker& w, const detail::SpinLatch* latch) noexcept;
    void notify_new_work() noexcept {
        detail::seq_cst_fence();
        if (sleepers_.load(std::memory_order_relaxed) != 0) wake_any();
    }
    void notify_latch_set(detail::Worker& owner) noexcept;
    void wake_any() noexcept;
    bool wake(detail::Worker& w) noexcept;

    std::vector<std::unique_ptr<detail::Worker>> workers_;
    std::vector<pthread_t> threads_;
    std::size_t count_ = 0;  // workers actually running; fixed before any of them runs
    bool detached_ = false;

    std::mutex start_mu_;
    std::condition_variable start_cv_;
    bool started_ = false;

    alignas(64) std::atomic<std::size_t> sleepers_{0};
    std::atomic<std::size_t> wake_cursor_{0};
    std::atomic<bool> terminating_{false};

    alignas(64) std::mutex injected_mu_;
    std::deque<detail::Job*> injected_;  // guarded by injected_mu_
    std::atomic<std::size_t> injected_count_{0};
};

namespace detail {

// Fork-join on a worker: offer b to thieves, run a, then take b back and run it here unless it
// was stolen, in which case keep running other work until the thief has finished it. Whatever
// a or b throws is rethrown here, a's first, after both have finished.
template <class A, class B>
void join_on_worker(Worker& w, A& a, B& b) {
    StackJob<B> job_b(b, w);
    const bool queued = w.deque.push(&job_b);
    if (queued) w.pool->notify_new_work();

    std::exception_ptr error;
    try {
        a();
    } catch (...) {
        error = std::current_exception();
    }

    if (!queued) {
        job_b.run();
    } else {
        // a's own joins are balanced, so b is on top of the deque unless it was stolen; a
        // stolen b implies everything older was stolen too, leaving the deque empty.
        while (!job_b.latch.probe()) {
            Job* job = w.deque.pop();
            if (job == &job_b) {
                job_b.run();
                break;
            }
            if (job == nullptr) {
                w.pool->wait_until(w, job_b.latch);
                break;
            }
            job->execute(job);
        }
    }
    if (error) std::rethrow_exception(error);
    if (job_b.error) std::rethrow_exception(job_b.error);
}

}  // namespace detail
}  // namespace vandra::pool
