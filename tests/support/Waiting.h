#pragma once

// Waiting on observable state with a guard time. Every wait ends as soon as
// its condition holds; the bound only turns a hang into a failure.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace quorvane::test {

class Child;

// Upper bound for a wait that is expected to succeed.
inline constexpr std::chrono::seconds guardTimeout{20};

// Waits for a condition that other threads change under its lock.
// Thread-safe.
class Waiter {
public:
    // Runs `change` under the lock and wakes the waiters. Notifies under the
    // lock: a waiter that sees the change may return and destroy this object
    // as soon as the lock is free.
    template <typename F>
    void update(F&& change) {
        std::lock_guard lock(mutex_);
        std::forward<F>(change)();
        cv_.notify_all();
    }

    // True once `predicate` (called under the lock) holds; false after `bound`.
    template <typename P>
    [[nodiscard]] bool waitFor(P&& predicate, std::chrono::milliseconds bound = guardTimeout) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, bound, std::forward<P>(predicate));
    }

    // Runs `reader` under the lock and answers what it returns.
    template <typename F>
    auto read(F&& reader) {
        std::lock_guard lock(mutex_);
        return std::forward<F>(reader)();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
};

// Asks `condition` every `interval` until it holds (true) or `limit` has
// passed (false). For state no one announces, such as a file another process
// writes; state changed under a lock is better waited for with a Waiter.
template <typename Condition>
[[nodiscard]] bool eventually(Condition&& condition, std::chrono::milliseconds limit = guardTimeout,
                              std::chrono::milliseconds interval = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
    return true;
}

// Whether a connection to the local socket at `path` is accepted within
// `timeout`. Tries again every few milliseconds; gives up early when
// `watched` (if given) has exited, as a host that failed to start does.
[[nodiscard]] bool waitForSocket(const std::string& path, std::chrono::milliseconds timeout = guardTimeout,
                                 Child* watched = nullptr);

} // namespace quorvane::test
