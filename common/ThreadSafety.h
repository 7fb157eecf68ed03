#pragma once

// Lock discipline the compiler checks. Members name the mutex that guards
// them (QUORVANE_GUARDED_BY), functions the mutex they need held
// (QUORVANE_REQUIRES) or must not hold (QUORVANE_EXCLUDES); a clang build
// with -Wthread-safety then refuses code that breaks the rule. Other
// compilers see plain std::mutex.
//
// Use Mutex and MutexLock instead of std::mutex and std::lock_guard. A
// condition variable waits with std::condition_variable_any on a MutexLock.

#include <mutex>

#if defined(__clang__)
#define QUORVANE_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define QUORVANE_THREAD_ATTRIBUTE(x)
#endif

#define QUORVANE_CAPABILITY(x) QUORVANE_THREAD_ATTRIBUTE(capability(x))
#define QUORVANE_SCOPED_CAPABILITY QUORVANE_THREAD_ATTRIBUTE(scoped_lockable)
#define QUORVANE_GUARDED_BY(x) QUORVANE_THREAD_ATTRIBUTE(guarded_by(x))
#define QUORVANE_PT_GUARDED_BY(x) QUORVANE_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define QUORVANE_REQUIRES(...) QUORVANE_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define QUORVANE_EXCLUDES(...) QUORVANE_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define QUORVANE_ACQUIRE(...) QUORVANE_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define QUORVANE_RELEASE(...) QUORVANE_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define QUORVANE_TRY_ACQUIRE(...) QUORVANE_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define QUORVANE_ASSERT_HELD(x) QUORVANE_THREAD_ATTRIBUTE(assert_capability(x))
#define QUORVANE_NO_THREAD_SAFETY_ANALYSIS QUORVANE_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace quorvane {

class QUORVANE_CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() QUORVANE_ACQUIRE() { mutex_.lock(); }
    void unlock() QUORVANE_RELEASE() { mutex_.unlock(); }
    bool try_lock() QUORVANE_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
    // Tells the analysis the caller holds the mutex (checked nowhere else).
    void assertHeld() const QUORVANE_ASSERT_HELD(this) {}

private:
    std::mutex mutex_;
};

// Holds a Mutex for its scope. lock() and unlock() let a
// std::condition_variable_any wait on it.
class QUORVANE_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) QUORVANE_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() QUORVANE_RELEASE() {
        if (held_) {
            mutex_.unlock();
        }
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void lock() QUORVANE_ACQUIRE() {
        mutex_.lock();
        held_ = true;
    }
    void unlock() QUORVANE_RELEASE() {
        held_ = false;
        mutex_.unlock();
    }

private:
    Mutex& mutex_;
    bool held_ = true;
};

} // namespace quorvane
