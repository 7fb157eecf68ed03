#include "app/Subprocess.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvane::autostart {

namespace {

using Clock = std::chrono::steady_clock;

std::string errorText(int error) {
    std::array<char, 256> buffer{};
    // GNU strerror_r: answers a pointer that may or may not be the buffer.
    return ::strerror_r(error, buffer.data(), buffer.size());
}

class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    [[nodiscard]] int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

std::vector<char*> pointerVector(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

std::string_view variableName(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides) {
    std::vector<std::string> result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        bool replaced = std::any_of(overrides.begin(), overrides.end(), [&](const std::string& override) {
            return variableName(override) == variableName(text);
        });
        if (!replaced) {
            result.emplace_back(text);
        }
    }
    result.insert(result.end(), overrides.begin(), overrides.end());
    return result;
}

// Reads what is available without blocking; closes the descriptor at end of file.
void readAvailable(Descriptor& pipe, std::string& sink) {
    std::array<char, 4096> buffer{};
    for (;;) {
        ssize_t got = ::read(pipe.get(), buffer.data(), buffer.size());
        if (got > 0) {
            std::size_t room = maxCapturedOutput - std::min(sink.size(), maxCapturedOutput);
            sink.append(buffer.data(), std::min(static_cast<std::size_t>(got), room));
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            pipe.reset();
        }
        return;
    }
}

int openPidDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return static_cast<int>(fd);
    }
#endif
    (void)pid;
    return -1;
}

void fillStatus(CommandResult& result, int status) {
    if (WIFEXITED(status)) {
        result.outcome = CommandResult::Outcome::exited;
        result.exitStatus = WEXITSTATUS(status);
    } else {
        result.outcome = CommandResult::Outcome::signalled;
    }
}

// ---- Detached start: the code between fork and exec -----------------------------

struct ChildFailure {
    int stage;
    int error;
};

enum ChildStage : int { stageSession = 1, stageFork, stageNull, stageExec };

[[noreturn]] void failInChild(int reportFd, int stage) {
    ChildFailure failure{stage, errno};
    ssize_t ignored = ::write(reportFd, &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
}

// Runs in the grandchild; only async-signal-safe calls from here on.
[[noreturn]] void execDetached(const char* path, char* const* argv, int reportFd, int maxFd) {
    reportFd = ::fcntl(reportFd, F_DUPFD, 3);
    if (reportFd < 0) {
        ::_exit(127);
    }
    int null = ::open("/dev/null", O_RDWR);
    if (null < 0) {
        failInChild(reportFd, stageNull);
    }
    for (int target = 0; target <= 2; ++target) {
        if (null != target && ::dup2(null, target) < 0) {
            failInChild(reportFd, stageNull);
        }
    }
    if (reportFd != 3) {
        if (::dup2(reportFd, 3) < 0) {
            ::_exit(127);
        }
        reportFd = 3;
    }
    ::fcntl(reportFd, F_SETFD, FD_CLOEXEC);
    if (::close_range(4, ~0U, 0) != 0) {
        for (int fd = 4; fd < maxFd; ++fd) {
            ::close(fd);
        }
    }
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) {
            ::sigaction(signal, &defaults, nullptr);
        }
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::chdir("/") != 0) {
        // Not fatal: the program still runs, only from the old folder.
    }
    ::execve(path, argv, environ);
    failInChild(reportFd, stageExec);
}

} // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::vector<std::string>& environmentOverrides) {
    CommandResult result;
    if (argv.empty()) {
        result.failure = "no program given";
        return result;
    }
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment = mergedEnvironment(environmentOverrides);
    auto argumentPointers = pointerVector(arguments);
    auto environmentPointers = pointerVector(environment);

    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        result.failure = "cannot create a pipe: " + errorText(errno);
        return result;
    }
    Descriptor outRead(outPipe[0]);
    Descriptor outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        result.failure = "cannot create a pipe: " + errorText(errno);
        return result;
    }
    Descriptor errRead(errPipe[0]);
    Descriptor errWrite(errPipe[1]);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
    ::posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);
    ::posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none;
    sigset_t all;
    ::sigemptyset(&none);
    ::sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &all);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    ::posix_spawnattr_setflags(&attributes,
                               POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    pid_t pid = -1;
    int spawnError = ::posix_spawnp(&pid, arguments.front().c_str(), &actions, &attributes,
                                    argumentPointers.data(), environmentPointers.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    outWrite.reset();
    errWrite.reset();
    if (spawnError != 0) {
        result.failure = "cannot start " + arguments.front() + ": " + errorText(spawnError);
        return result;
    }

    ::fcntl(outRead.get(), F_SETFL, O_NONBLOCK);
    ::fcntl(errRead.get(), F_SETFL, O_NONBLOCK);
    Descriptor pidDescriptor(openPidDescriptor(pid));
    const auto deadline = Clock::now() + timeout;

    for (;;) {
        int status = 0;
        pid_t waited = ::waitpid(pid, &status, WNOHANG);
        if (waited == pid || (waited < 0 && errno == ECHILD)) {
            // Whatever is still buffered belongs to the answer; descendants that
            // keep the pipes open are not waited for.
            if (outRead.get() >= 0) {
                readAvailable(outRead, result.output);
            }
            if (errRead.get() >= 0) {
                readAvailable(errRead, result.errorOutput);
            }
            if (waited == pid) {
                fillStatus(result, status);
            } else {
                result.outcome = CommandResult::Outcome::exited;
            }
            return result;
        }

        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) {
            if (::kill(-pid, SIGKILL) != 0) {
                ::kill(pid, SIGKILL);
            }
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            result.outcome = CommandResult::Outcome::timedOut;
            return result;
        }

        std::array<pollfd, 3> watched{};
        nfds_t count = 0;
        for (int fd : {outRead.get(), errRead.get(), pidDescriptor.get()}) {
            if (fd >= 0) {
                watched[count++] = pollfd{fd, POLLIN, 0};
            }
        }
        // Without a process descriptor the exit is noticed by polling waitpid.
        auto slice =
            pidDescriptor.get() >= 0 ? remaining : std::min(remaining, std::chrono::milliseconds(10));
        int ready =
            ::poll(watched.data(), count, static_cast<int>(std::min<long long>(slice.count() + 1, 60000)));
        if (ready <= 0) {
            continue;
        }
        if (outRead.get() >= 0) {
            readAvailable(outRead, result.output);
        }
        if (errRead.get() >= 0) {
            readAvailable(errRead, result.errorOutput);
        }
    }
}

Result<void> spawnDetached(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
    // Everything the children use is prepared before fork: in between fork and
    // exec only async-signal-safe calls are allowed in a threaded process.
    std::string path = program.string();
    std::vector<std::string> argumentStrings;
    argumentStrings.push_back(path);
    argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
    auto argumentPointers = pointerVector(argumentStrings);
    long openMax = ::sysconf(_SC_OPEN_MAX);
    int maxFd = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) : 65536;

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return fail("cannot create a pipe: " + errorText(errno));
    }
    Descriptor reportRead(report[0]);
    Descriptor reportWrite(report[1]);

    pid_t middle = ::fork();
    if (middle < 0) {
        return fail("cannot start " + path + ": " + errorText(errno));
    }
    if (middle == 0) {
        ::close(report[0]);
        if (::setsid() < 0) {
            failInChild(report[1], stageSession);
        }
        pid_t grandchild = ::fork();
        if (grandchild < 0) {
            failInChild(report[1], stageFork);
        }
        if (grandchild > 0) {
            ::_exit(0);
        }
        execDetached(path.c_str(), argumentPointers.data(), report[1], maxFd);
    }

    reportWrite.reset();
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }

    // The pipe reaches end of file when the program was executed (close on
    // exec) and carries a ChildFailure otherwise.
    ChildFailure failure{};
    std::size_t got = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (got < sizeof failure) {
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (remaining.count() <= 0) {
            return fail("no word from " + path + " after it was started");
        }
        pollfd watched{reportRead.get(), POLLIN, 0};
        int ready = ::poll(&watched, 1, static_cast<int>(remaining.count()) + 1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            continue;
        }
        ssize_t n = ::read(reportRead.get(), reinterpret_cast<char*>(&failure) + got, sizeof failure - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got == 0) {
        return {};
    }
    if (got < sizeof failure) {
        return fail("cannot start " + path + ": the start-up was cut short");
    }
    switch (failure.stage) {
    case stageSession:
        return fail("cannot start " + path + " in a new session: " + errorText(failure.error));
    case stageNull:
        return fail("cannot start " + path + ": cannot open /dev/null: " + errorText(failure.error));
    default:
        return fail("cannot start " + path + ": " + errorText(failure.error));
    }
}

} // namespace quorvane::autostart
