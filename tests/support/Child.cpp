#include "tests/support/Child.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvane::test {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int msUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void check(int error, const char* what) {
    if (error != 0) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(error));
    }
}

// The spawn attributes and file actions, released with the object.
struct SpawnSetup {
    SpawnSetup() {
        check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
        if (const int error = posix_spawnattr_init(&attributes); error != 0) {
            posix_spawn_file_actions_destroy(&actions);
            check(error, "posix_spawnattr_init");
        }
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

// The child's end of one standard stream. `pipeEnd` is the child's side of
// the pipe when the stream is a pipe.
void setStream(SpawnSetup& setup, int target, Child::Stream stream, int pipeEnd, const std::string& file) {
    switch (stream) {
    case Child::Stream::pipe:
        check(posix_spawn_file_actions_adddup2(&setup.actions, pipeEnd, target), "adddup2");
        break;
    case Child::Stream::null:
        check(posix_spawn_file_actions_addopen(&setup.actions, target, "/dev/null",
                                               target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0),
              "addopen");
        break;
    case Child::Stream::file:
        check(posix_spawn_file_actions_addopen(&setup.actions, target, file.c_str(),
                                               O_WRONLY | O_CREAT | O_APPEND, 0600),
              "addopen");
        break;
    case Child::Stream::inherit:
        break;
    }
}

void makePipe(bool wanted, int (&ends)[2]) {
    if (wanted && ::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
}

int decodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

} // namespace

Child::Child(std::vector<std::string> arguments)
    : Child(
          Options{std::move(arguments), std::nullopt, Stream::pipe, Stream::pipe, Stream::inherit, {}, {}}) {
}

Child::Child(const Options& options) : errorFile_(options.errorFile) {
    if (options.arguments.empty()) {
        throw std::runtime_error("no program to start");
    }
    if (options.input == Stream::file || options.output == Stream::file) {
        throw std::runtime_error("only standard error goes to a file");
    }
    int inputPipe[2] = {-1, -1};
    int outputPipe[2] = {-1, -1};
    int errorPipe[2] = {-1, -1};
    try {
        makePipe(options.input == Stream::pipe, inputPipe);
        makePipe(options.output == Stream::pipe, outputPipe);
        makePipe(options.error == Stream::pipe, errorPipe);

        SpawnSetup setup;
        setStream(setup, STDIN_FILENO, options.input, inputPipe[0], {});
        setStream(setup, STDOUT_FILENO, options.output, outputPipe[1], {});
        setStream(setup, STDERR_FILENO, options.error, errorPipe[1], options.errorFile);
        if (options.inheritFds.empty()) {
            check(posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1),
                  "addclosefrom");
        }
        for (int fd : options.inheritFds) {
            // dup2 onto itself clears FD_CLOEXEC in the child.
            check(posix_spawn_file_actions_adddup2(&setup.actions, fd, fd), "adddup2");
        }
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int number : {SIGPIPE, SIGTERM, SIGINT, SIGCHLD}) {
            sigaddset(&defaults, number);
        }
        check(posix_spawnattr_setsigmask(&setup.attributes, &none), "setsigmask");
        check(posix_spawnattr_setsigdefault(&setup.attributes, &defaults), "setsigdefault");
        check(posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF),
              "setflags");

        std::vector<char*> argv;
        for (const auto& argument : options.arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        if (options.environment) {
            for (const auto& variable : *options.environment) {
                envp.push_back(const_cast<char*>(variable.c_str()));
            }
            envp.push_back(nullptr);
        }
        const int error = ::posix_spawnp(&pid_, argv[0], &setup.actions, &setup.attributes, argv.data(),
                                         options.environment ? envp.data() : environ);
        if (error != 0) {
            pid_ = -1;
            throw std::runtime_error("cannot start " + options.arguments.front() + ": " +
                                     std::strerror(error));
        }
    } catch (...) {
        for (int* fd :
             {&inputPipe[0], &inputPipe[1], &outputPipe[0], &outputPipe[1], &errorPipe[0], &errorPipe[1]}) {
            closeFd(*fd);
        }
        throw;
    }
    // The child's ends belong to the child now.
    closeFd(inputPipe[0]);
    closeFd(outputPipe[1]);
    closeFd(errorPipe[1]);
    input_ = inputPipe[1];
    output_ = outputPipe[0];
    errors_ = errorPipe[0];
    pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (errors_ >= 0) {
        errorReader_ = std::make_unique<std::thread>([this] { collectErrors(); });
    }
}

Child::~Child() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        (void)waitForExit(10s);
    }
    closeFd(input_);
    if (errorReader_) {
        exited_ = true;
        errorReader_->join();
    }
    closeFd(output_);
    closeFd(errors_);
    closeFd(pidFd_);
}

void Child::collectErrors() {
    char buffer[4096];
    for (;;) {
        // With a process descriptor the exit wakes the poll; without one the
        // exit is noticed at the next look.
        pollfd entries[2] = {{errors_, POLLIN, 0}, {pidFd_, POLLIN, 0}};
        const int ready = ::poll(entries, pidFd_ >= 0 ? 2 : 1, pidFd_ >= 0 ? -1 : 50);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((entries[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::read(errors_, buffer, sizeof buffer);
            if (n <= 0) {
                return; // end of the error stream
            }
            std::lock_guard guard(errorLock_);
            errorText_.append(buffer, static_cast<std::size_t>(n));
            errorGrew_.notify_all();
            continue;
        }
        // Nothing left to read: stop once the child is gone (a grandchild that
        // kept the pipe open must not hold the test).
        if ((pidFd_ >= 0 && entries[1].revents != 0) || exited_) {
            return;
        }
    }
}

bool Child::write(std::string_view bytes) {
    while (!bytes.empty() && input_ >= 0) {
        const ssize_t n = ::write(input_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return bytes.empty();
}

bool Child::writeLine(std::string_view line) {
    return write(std::string(line) + "\n");
}

void Child::closeInput() {
    closeFd(input_);
}

void Child::closeOutput() {
    closeFd(output_);
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto end = outputBuffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = outputBuffer_.substr(0, end);
            outputBuffer_.erase(0, end + 1);
            return line;
        }
        if (outputEnded_ || output_ < 0) {
            return std::nullopt;
        }
        pollfd entry{output_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, msUntil(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        char buffer[65536];
        const ssize_t n = ::read(output_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            outputEnded_ = true;
            continue;
        }
        outputBuffer_.append(buffer, static_cast<std::size_t>(n));
    }
}

bool Child::hasOutputWithin(std::chrono::milliseconds timeout) {
    auto line = readLine(timeout);
    if (!line) {
        return false;
    }
    outputBuffer_.insert(0, *line + "\n");
    return true;
}

std::string Child::readRemainingOutput(std::chrono::milliseconds timeout) {
    std::string all;
    while (auto line = readLine(timeout)) {
        all += *line + "\n";
    }
    all += outputBuffer_;
    outputBuffer_.clear();
    return all;
}

std::string Child::errorOutput() const {
    if (!errorFile_.empty()) {
        std::ifstream file(errorFile_, std::ios::binary);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }
    std::lock_guard guard(errorLock_);
    return errorText_;
}

bool Child::waitForErrorText(std::string_view text, std::chrono::milliseconds timeout) {
    if (!errorFile_.empty()) {
        // A file has no one to tell of new text: read it again until the deadline.
        return eventually([&] { return errorOutput().find(text) != std::string::npos; }, timeout, 10ms);
    }
    std::unique_lock guard(errorLock_);
    return errorGrew_.wait_for(guard, timeout, [&] { return errorText_.find(text) != std::string::npos; });
}

void Child::signal(int number) {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, number);
    }
}

void Child::pause() {
    if (pid_ <= 0 || status_) {
        return;
    }
    ::kill(pid_, SIGSTOP);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WUNTRACED);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done != pid_ || WIFSTOPPED(status)) {
            return;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            recordStatus(decodeStatus(status));
            return;
        }
    }
}

void Child::recordStatus(int status) {
    status_ = status;
    exited_ = true;
}

std::optional<int> Child::waitForExit(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno == ECHILD)) {
            // A subreaper's clean-up may have reaped it first.
            recordStatus(done == pid_ ? decodeStatus(status) : -1);
            if (errorReader_) {
                errorReader_->join(); // standard error is complete after this
                errorReader_.reset();
            }
            return status_;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        if (pidFd_ >= 0) {
            pollfd entry{pidFd_, POLLIN, 0};
            (void)::poll(&entry, 1, msUntil(deadline));
        } else {
            std::this_thread::sleep_for(5ms); // no process descriptor: look again shortly
        }
    }
}

bool Child::running() {
    return pid_ > 0 && !waitForExit(0ms).has_value();
}

int Child::finish(std::chrono::milliseconds timeout) {
    closeInput();
    if (auto status = waitForExit(timeout)) {
        return *status;
    }
    ::kill(pid_, SIGKILL);
    (void)waitForExit(10s);
    return -1;
}

std::optional<std::string> findInPath(std::string_view name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) {
        return std::nullopt;
    }
    const std::string_view all = path;
    for (std::size_t start = 0; start <= all.size();) {
        const std::size_t end = std::min(all.find(':', start), all.size());
        if (end > start) {
            const std::string candidate =
                std::string(all.substr(start, end - start)) + "/" + std::string(name);
            struct stat info {};
            if (::access(candidate.c_str(), X_OK) == 0 && ::stat(candidate.c_str(), &info) == 0 &&
                S_ISREG(info.st_mode)) {
                return candidate;
            }
        }
        start = end + 1;
    }
    return std::nullopt;
}

bool waitForSocket(const std::string& path, std::chrono::milliseconds timeout, Child* watched) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool connected =
            fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (fd >= 0) {
            ::close(fd);
        }
        if (connected) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        // Between two attempts; a watched child that exits ends the wait.
        if (watched != nullptr) {
            if (watched->waitForExit(5ms)) {
                return false;
            }
        } else {
            std::this_thread::sleep_for(5ms);
        }
    }
}

} // namespace quorvane::test
