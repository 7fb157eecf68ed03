#pragma once

// Shared pieces of the transport tests: private runtime folders, waiting on a
// condition with a guard time, raw sockets and child processes.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "common/ControlProtocol.h"
#include "common/transport/Frame.h"
#include "common/transport/ProgramIdentity.h"
#include "common/transport/RuntimePlaces.h"

namespace quorvane::test {

// Upper bound for any wait in these tests. Waits end as soon as their
// condition holds; the bound only turns a hang into a failure.
inline constexpr std::chrono::seconds kGuard{20};

// A folder made with mkdtemp and removed with everything in it.
class TempDir {
public:
    // Under $TMPDIR (or /tmp), unless the service socket inside it would not
    // fit a socket address: then a short folder under /tmp is used instead.
    static TempDir forRuntime();
    explicit TempDir(const std::string& base);
    TempDir(TempDir&& other) noexcept;
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();

    [[nodiscard]] const std::string& path() const { return path_; }

private:
    TempDir() = default;
    std::string path_;
};

// An environment that points XDG_RUNTIME_DIR at `runtimeDir` and the other two
// bases at places inside it that do not exist.
[[nodiscard]] RuntimeEnvironment privateEnvironment(const std::string& runtimeDir);

// Waits for a condition that other threads change under its lock.
class Waiter {
public:
    // Notifies under the lock: a waiter that sees the change may return and
    // destroy this object as soon as the lock is free.
    template <typename F>
    void update(F&& change) {
        std::lock_guard lock(mutex_);
        change();
        cv_.notify_all();
    }

    template <typename P>
    [[nodiscard]] bool waitFor(P&& predicate, std::chrono::milliseconds bound = kGuard) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, bound, std::forward<P>(predicate));
    }

    template <typename F>
    auto read(F&& reader) {
        std::lock_guard lock(mutex_);
        return reader();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
};

// Identity readers for running both ends in this process.
[[nodiscard]] ProgramIdentityReader readerAs(std::string_view identifier);

// A blocking local socket connected to `path`, with a receive time-out of kGuard
// so that a missing close fails the test instead of hanging it. -1 on failure.
[[nodiscard]] int connectRaw(const std::string& path);

// Reads until the peer closes or kGuard passes. True when it closed and, unless
// data is allowed, nothing arrived before.
[[nodiscard]] bool readsUntilClosed(int fd, bool dataAllowed = false);

// The header bytes of a frame with the given fields and announced length.
[[nodiscard]] std::string rawHeader(std::uint32_t length, std::uint8_t kind, std::uint8_t operation,
                                    std::uint8_t flags, std::uint8_t version, std::uint64_t callId);

// A child process with pipes on its standard input and output.
class Child {
public:
    // Starts argv[0] (a path, or a name looked up in PATH) with the given
    // arguments. Standard error is inherited. Empty when it cannot start.
    static std::optional<Child> spawn(const std::vector<std::string>& argv,
                                      const std::vector<int>& inheritFds = {});
    Child(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    // The next line of standard output (without its line feed), or nullopt at
    // end of output or after kGuard.
    [[nodiscard]] std::optional<std::string> readLine();

    // Closes the child's standard input and waits for it to exit; answers the
    // exit status, or -1 when it died from a signal.
    int finish();

    [[nodiscard]] pid_t pid() const { return pid_; }

private:
    Child() = default;
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffered_;
};

// The folder of the peer test programs (transport_peer_host and friends).
[[nodiscard]] std::string peerProgram(const std::string& flavour);

// The full path of a program found in PATH, if any.
[[nodiscard]] std::optional<std::string> findInPath(const std::string& name);

} // namespace quorvane::test
