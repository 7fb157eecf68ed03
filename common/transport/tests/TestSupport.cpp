#include "common/transport/tests/TestSupport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quorvane::test {

namespace {

std::string tmpBase() {
    const char* tmp = std::getenv("TMPDIR");
    return (tmp && *tmp) ? tmp : "/tmp";
}

std::string makeTemp(const std::string& base, const std::string& prefix) {
    std::string pattern = base + "/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed under " + base + ": " + std::strerror(errno));
    }
    return buffer.data();
}

} // namespace

TempDir::TempDir(const std::string& base) : path_(makeTemp(base, "qt")) {
}

TempDir TempDir::forRuntime() {
    // Room for the deepest layout the tests build inside the folder
    // ("<dir>/run-user/<uid>/quorvane/<service name>").
    const std::size_t needed =
        std::string("/run-user/4294967295/quorvane/").size() + quorvaneServiceName.size();
    TempDir dir;
    dir.path_ = makeTemp(tmpBase(), "rt");
    if (dir.path_.size() + needed > kMaxSocketPathLength) {
        std::filesystem::remove_all(dir.path_);
        dir.path_ = makeTemp("/tmp", "qvt");
    }
    return dir;
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
}

RuntimeEnvironment privateEnvironment(const std::string& runtimeDir) {
    RuntimeEnvironment env;
    env.xdgRuntimeDir = runtimeDir;
    env.uid = ::geteuid();
    env.runUserBase = runtimeDir + "/no-run-user";
    env.tmpBase = runtimeDir + "/no-tmp";
    return env;
}

ProgramIdentityReader readerAs(std::string_view identifier) {
    return [id = std::string(identifier)](pid_t) {
        return IdentityReading{ProgramIdentity{std::string(quorvaneTeamIdentifier), id}, {}};
    };
}

int connectRaw(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    timeval tv{};
    tv.tv_sec = kGuard.count();
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

bool readsUntilClosed(int fd, bool dataAllowed) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            return true;
        }
        if (n > 0) {
            if (!dataAllowed) {
                return false;
            }
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == ECONNRESET; // a reset is a close too; a time-out is not
    }
}

std::string rawHeader(std::uint32_t length, std::uint8_t kind, std::uint8_t operation, std::uint8_t flags,
                      std::uint8_t version, std::uint64_t callId) {
    std::string header(kFrameHeaderSize, '\0');
    for (int i = 0; i < 4; ++i) {
        header[i] = static_cast<char>((length >> (8 * i)) & 0xff);
    }
    header[4] = static_cast<char>(kind);
    header[5] = static_cast<char>(operation);
    header[6] = static_cast<char>(flags);
    header[7] = static_cast<char>(version);
    for (int i = 0; i < 8; ++i) {
        header[8 + i] = static_cast<char>((callId >> (8 * i)) & 0xff);
    }
    return header;
}

std::optional<Child> Child::spawn(const std::vector<std::string>& argv, const std::vector<int>& inheritFds) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    for (int fd : inheritFds) {
        // dup2 onto itself clears FD_CLOEXEC in the child.
        posix_spawn_file_actions_adddup2(&actions, fd, fd);
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        return std::nullopt;
    }
    Child child;
    child.pid_ = pid;
    child.in_ = in[1];
    child.out_ = out[0];
    return child;
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), in_(std::exchange(other.in_, -1)),
      out_(std::exchange(other.out_, -1)), buffered_(std::move(other.buffered_)) {
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        finish();
    }
}

std::optional<std::string> Child::readLine() {
    const auto deadline = std::chrono::steady_clock::now() + kGuard;
    for (;;) {
        const auto newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (out_ < 0 || left.count() <= 0) {
            return std::nullopt;
        }
        pollfd pfd{out_, POLLIN, 0};
        const int n = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t got = ::read(out_, buffer, sizeof buffer);
        if (got <= 0) {
            return std::nullopt;
        }
        buffered_.append(buffer, static_cast<std::size_t>(got));
    }
}

int Child::finish() {
    if (in_ >= 0) {
        ::close(in_);
        in_ = -1;
    }
    int status = 0;
    int rc = -1;
    if (pid_ > 0) {
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (out_ >= 0) {
        ::close(out_);
        out_ = -1;
    }
    return rc;
}

std::string peerProgram(const std::string& flavour) {
    return std::string(QUORVANE_TEST_PEER_DIR) + "/transport_peer_" + flavour;
}

std::optional<std::string> findInPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path) {
        return std::nullopt;
    }
    std::string all = path;
    std::size_t start = 0;
    while (start <= all.size()) {
        const std::size_t end = std::min(all.find(':', start), all.size());
        const std::string candidate = all.substr(start, end - start) + "/" + name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

} // namespace quorvane::test
