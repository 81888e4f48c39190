// Process-wide, create-once Python objects (the Encoder class, the internal-error class,
// NumPy's API table). The interpreter lock is released while waiting to enter the
// initialisation, which another thread may be running (it may itself release the lock
// inside Python code), and taken back before running it; so two first users never
// deadlock and all of them see one object.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace vandra {

template <class T>
class PyOnce {
  public:
    // `create` runs with the interpreter lock held and returns the object or null with a
    // Python exception set. Failures are not cached: a later call tries again, also after
    // `create` threw (the lock is scoped, so a throwing creation cannot leave it held).
    template <class Create>
    T* get(Create&& create) {
        if (T* p = value_.load(std::memory_order_acquire)) return p;
        Py_BEGIN_ALLOW_THREADS;
        mutex_.lock();
        Py_END_ALLOW_THREADS;
        const std::lock_guard<std::mutex> held(mutex_, std::adopt_lock);
        T* p = value_.load(std::memory_order_acquire);
        if (!p) {
            p = create();
            if (p) value_.store(p, std::memory_order_release);
        }
        return p;
    }

  private:
    std::atomic<T*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace vandra
