#include "tests/integration/Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/Coding.h"
#include "common/Json.h"
#include "common/transport/Frame.h"
#include "common/transport/ServiceConnection.h"

extern char** environ;

namespace quorvane::e2e {
namespace fs = std::filesystem;

std::string hostProgram() {
    return QUORVANE_HOST_PROGRAM;
}

std::string bridgeProgram() {
    return QUORVANE_BRIDGE_PROGRAM;
}

std::string appProgram() {
    return QUORVANE_APP_PROGRAM;
}

std::string peerProgram() {
    return QUORVANE_PEER_PROGRAM;
}

std::string findOnPath(std::string_view name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) {
        return {};
    }
    std::stringstream folders{std::string(path)};
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        if (folder.empty()) {
            continue;
        }
        const fs::path candidate = fs::path(folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0 && fs::is_regular_file(candidate)) {
            return candidate.string();
        }
    }
    return {};
}

namespace {

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

int decodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

void check(int error, const char* what) {
    if (error != 0) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(error));
    }
}

} // namespace

// ---- Child ------------------------------------------------------------------

Child::Child(const Options& options) {
    int inputPipe[2] = {-1, -1};
    int outputPipe[2] = {-1, -1};
    int errorPipe[2] = {-1, -1};
    if ((options.pipeInput && ::pipe2(inputPipe, O_CLOEXEC) != 0) ||
        (options.pipeOutput && ::pipe2(outputPipe, O_CLOEXEC) != 0) || ::pipe2(errorPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    check(posix_spawn_file_actions_init(&actions), "posix_spawn_file_actions_init");
    check(posix_spawnattr_init(&attributes), "posix_spawnattr_init");
    if (options.pipeInput) {
        check(posix_spawn_file_actions_adddup2(&actions, inputPipe[0], STDIN_FILENO), "adddup2");
    } else {
        check(posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0), "addopen");
    }
    if (options.pipeOutput) {
        check(posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDOUT_FILENO), "adddup2");
    } else {
        check(posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0), "addopen");
    }
    check(posix_spawn_file_actions_adddup2(&actions, errorPipe[1], STDERR_FILENO), "adddup2");
    check(posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1), "addclosefrom");
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int number : {SIGPIPE, SIGTERM, SIGINT, SIGCHLD}) {
        sigaddset(&defaults, number);
    }
    check(posix_spawnattr_setsigmask(&attributes, &none), "setsigmask");
    check(posix_spawnattr_setsigdefault(&attributes, &defaults), "setsigdefault");
    check(posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF), "setflags");

    std::vector<char*> argv;
    for (const auto& argument : options.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& variable : options.environment) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);

    const int error = ::posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    // The child's ends belong to the child now.
    closeFd(inputPipe[0]);
    closeFd(outputPipe[1]);
    closeFd(errorPipe[1]);
    input_ = inputPipe[1];
    output_ = outputPipe[0];
    errors_ = errorPipe[0];
    if (error != 0) {
        pid_ = -1;
        closeFd(input_);
        closeFd(output_);
        closeFd(errors_);
        throw std::runtime_error("cannot start " + options.arguments.at(0) + ": " + std::strerror(error));
    }
    pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    errorReader_ = std::make_unique<std::thread>([this] { collectErrors(); });
}

Child::~Child() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        (void)waitForExit(10s);
    }
    closeFd(input_);
    if (errorReader_) {
        errorReader_->join();
    }
    closeFd(output_);
    closeFd(errors_);
    closeFd(pidFd_);
}

void Child::collectErrors() {
    char buffer[4096];
    for (;;) {
        pollfd entry{errors_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, 50);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if (ready > 0) {
            const ssize_t n = ::read(errors_, buffer, sizeof buffer);
            if (n <= 0) {
                return; // end of the error stream
            }
            std::lock_guard guard(errorLock_);
            errorText_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        // Nothing to read: stop once the child is gone (a grandchild that kept
        // the pipe open must not hold the test).
        std::lock_guard guard(errorLock_);
        if (status_) {
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

void Child::closeInput() {
    closeFd(input_);
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
    std::lock_guard guard(errorLock_);
    return errorText_;
}

bool Child::waitForErrorText(std::string_view text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (errorOutput().find(text) != std::string::npos) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms); // the reader thread fills the text
    }
}

void Child::signal(int number) {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, number);
    }
}

std::optional<int> Child::waitForExit(std::chrono::milliseconds timeout) {
    if (status_) {
        return status_;
    }
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno == ECHILD)) {
            if (errorReader_ && errorReader_->joinable()) {
                {
                    std::lock_guard guard(errorLock_);
                    status_ = done == pid_ ? decodeStatus(status) : -1;
                }
                errorReader_->join();
                errorReader_.reset();
            } else {
                status_ = done == pid_ ? decodeStatus(status) : -1;
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
            std::this_thread::sleep_for(5ms);
        }
    }
}

bool Child::running() {
    return !waitForExit(0ms).has_value();
}

// ---- Sandbox ------------------------------------------------------------------

namespace {

fs::path makeTemporaryFolder(const fs::path& base, const std::string& prefix) {
    std::string pattern = (base / (prefix + "XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed in " + base.string() + ": " + std::strerror(errno));
    }
    return pattern;
}

fs::path temporaryBase() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && tmp[0] == '/' ? fs::path(tmp) : fs::path("/tmp");
}

void makePrivateFolder(const fs::path& path) {
    fs::create_directories(path);
    ::chmod(path.c_str(), 0700);
}

} // namespace

void killAllChildren() {
    const pid_t self = ::getpid();
    for (int round = 0; round < 20; ++round) {
        std::vector<pid_t> children;
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string name = entry.path().filename().string();
            if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) {
                continue;
            }
            std::ifstream stat(entry.path() / "stat");
            std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
            const auto close = text.rfind(')');
            if (close == std::string::npos) {
                continue;
            }
            std::istringstream fields(text.substr(close + 1));
            std::string state;
            pid_t parent = 0;
            fields >> state >> parent;
            if (parent == self && std::stol(name) > 1) {
                children.push_back(static_cast<pid_t>(std::stol(name)));
            }
        }
        if (children.empty()) {
            return;
        }
        for (pid_t child : children) {
            ::kill(child, SIGKILL);
        }
        for (pid_t child : children) {
            int status = 0;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
}

Sandbox::Sandbox() {
    std::signal(SIGPIPE, SIG_IGN);
    // Orphans of our children (a host started detached) come to us.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    root_ = makeTemporaryFolder(temporaryBase(), "e2e-");
    runtime_ = root_ / "run";
    const std::size_t socketLength =
        (runtime_ / "quorvane" / std::string(quorvaneServiceName)).string().size();
    if (socketLength > kMaxSocketPathLength) {
        separateRuntimeRoot_ = makeTemporaryFolder("/tmp", "qv-");
        runtime_ = *separateRuntimeRoot_ / "run";
    }
    makePrivateFolder(runtime_);
    data_ = root_ / "data";
    home_ = root_ / "home";
    emptyPath_ = root_ / "bin";
    makePrivateFolder(data_);
    makePrivateFolder(home_);
    makePrivateFolder(emptyPath_);
}

Sandbox::~Sandbox() {
    killAllChildren();
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    if (separateRuntimeRoot_) {
        fs::remove_all(*separateRuntimeRoot_, ignored);
    }
}

fs::path Sandbox::socketPath() const {
    return serviceFolder() / std::string(quorvaneServiceName);
}

RuntimeEnvironment Sandbox::runtimeEnvironment() const {
    RuntimeEnvironment environment;
    environment.xdgRuntimeDir = runtime_.string();
    environment.uid = ::getuid();
    return environment;
}

std::vector<std::string> Sandbox::environment(const std::vector<std::string>& overrides) const {
    const std::set<std::string> replaced = {
        "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "HOME", "PATH", "DBUS_SESSION_BUS_ADDRESS"};
    std::vector<std::string> result;
    auto nameOf = [](const std::string& variable) { return variable.substr(0, variable.find('=')); };
    std::set<std::string> overridden;
    for (const auto& variable : overrides) {
        overridden.insert(nameOf(variable));
    }
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string text = *variable;
        const std::string name = nameOf(text);
        if (!replaced.contains(name) && !overridden.contains(name)) {
            result.push_back(text);
        }
    }
    const std::vector<std::string> ours = {
        "XDG_RUNTIME_DIR=" + runtime_.string(),
        "XDG_DATA_HOME=" + data_.string(),
        "HOME=" + home_.string(),
        "PATH=" + emptyPath_.string(),
    };
    for (const auto& variable : ours) {
        if (!overridden.contains(nameOf(variable))) {
            result.push_back(variable);
        }
    }
    for (const auto& variable : overrides) {
        if (variable.find('=') != std::string::npos) { // "NAME" alone removes the variable
            result.push_back(variable);
        }
    }
    return result;
}

std::unique_ptr<Child> Sandbox::start(std::vector<std::string> arguments,
                                      const std::vector<std::string>& environmentOverrides, bool pipeInput) {
    Child::Options options;
    options.arguments = std::move(arguments);
    options.environment = environment(environmentOverrides);
    options.pipeInput = pipeInput;
    return std::make_unique<Child>(options);
}

std::unique_ptr<Child> Sandbox::startHost() {
    auto host = start({hostProgram()}, {}, false);
    if (!waitForSocket(20s, host.get())) {
        ADD_FAILURE() << "the host did not get ready; its standard error: " << host->errorOutput();
        return nullptr;
    }
    return host;
}

std::unique_ptr<Child> Sandbox::startBridge(const std::string& program) {
    return start({program});
}

bool Sandbox::waitForSocket(std::chrono::milliseconds timeout, Child* host) const {
    const std::string path = socketPath().string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), std::min(path.size() + 1, sizeof address.sun_path - 1));
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
        if ((host != nullptr && !host->running()) || Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms); // between connection attempts
    }
}

// ---- ControlClient ------------------------------------------------------------

namespace {

// The operator app's receiver of pushes; the tests read state through snapshots.
class IgnoringReceiver final : public QuorvaneClientProtocol {
public:
    void deliverAgentNotification(const std::string&) override {}
    void controlEvent(const std::string&) override {}
};

struct PendingControl {
    std::mutex lock;
    std::condition_variable done;
    bool settled = false;
    std::optional<std::string> reply;
    std::string error;
};

} // namespace

struct ControlClient::Impl {
    explicit Impl(const Sandbox& sandbox)
        : connection(std::make_shared<IgnoringReceiver>(),
                     ConnectionOptions{sandbox.runtimeEnvironment(), {}}) {}
    ServiceConnection connection;
};

ControlClient::ControlClient(const Sandbox& sandbox) : impl_(std::make_unique<Impl>(sandbox)) {
}

ControlClient::~ControlClient() = default;

std::optional<ControlResponse> ControlClient::request(const ControlRequest& request, std::string* error,
                                                      std::chrono::milliseconds timeout) {
    const std::optional<std::string> text = QuorvaneCoding::encodeToString(request);
    if (!text) {
        ADD_FAILURE() << "cannot encode the control request";
        return std::nullopt;
    }
    auto pending = std::make_shared<PendingControl>();
    CallHandle call = impl_->connection.control(
        *text,
        [pending](std::string reply) {
            std::lock_guard guard(pending->lock);
            pending->settled = true;
            pending->reply = std::move(reply);
            pending->done.notify_all();
        },
        [pending](std::string description) {
            std::lock_guard guard(pending->lock);
            pending->settled = true;
            pending->error = std::move(description);
            pending->done.notify_all();
        });
    std::unique_lock guard(pending->lock);
    if (!pending->done.wait_for(guard, timeout, [&] { return pending->settled; })) {
        guard.unlock();
        call.cancel();
        if (error != nullptr) {
            *error = "no answer in time";
        }
        return std::nullopt;
    }
    if (!pending->reply) {
        if (error != nullptr) {
            *error = pending->error;
        }
        return std::nullopt;
    }
    std::string decodeError;
    auto response = QuorvaneCoding::decode<ControlResponse>(*pending->reply, &decodeError);
    if (!response) {
        ADD_FAILURE() << "undecodable control response: " << decodeError << ": " << *pending->reply;
    }
    return response;
}

Snapshot ControlClient::snapshot() {
    std::string error;
    const auto response = request(ControlRequest::snapshot(), &error);
    if (!response) {
        ADD_FAILURE() << "no snapshot: " << error;
        return {};
    }
    if (const auto* snapshot = std::get_if<ControlResponse::Snapshot>(&response->value)) {
        return snapshot->snapshot;
    }
    ADD_FAILURE() << "the snapshot request was not answered with a snapshot";
    return {};
}

Snapshot ControlClient::snapshotWhen(const std::function<bool(const Snapshot&)>& holds,
                                     std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        Snapshot current = snapshot();
        if (holds(current)) {
            return current;
        }
        if (Clock::now() >= deadline) {
            ADD_FAILURE() << "the host's state did not come about in time";
            return current;
        }
        std::this_thread::sleep_for(10ms); // between two snapshots
    }
}

void ControlClient::expectOk(const ControlRequest& request) {
    std::string error;
    const auto response = this->request(request, &error);
    ASSERT_TRUE(response.has_value()) << error;
    EXPECT_TRUE(std::holds_alternative<ControlResponse::Ok>(response->value));
}

std::vector<std::string> requestPayloads(const Snapshot& snapshot) {
    std::vector<std::string> payloads;
    for (const auto& entry : snapshot.recentApiLog) {
        if (entry.direction == ApiLogEntry::Direction::request) {
            payloads.push_back(entry.payload);
        }
    }
    return payloads;
}

::testing::AssertionResult sameMessage(const std::optional<std::string>& actual, std::string_view expected) {
    if (!actual) {
        return ::testing::AssertionFailure() << "no line came; expected " << expected;
    }
    const auto actualValue = parseJson(*actual, JsonTopLevel::anyValue);
    const auto expectedValue = parseJson(expected, JsonTopLevel::anyValue);
    if (!expectedValue) {
        return ::testing::AssertionFailure() << "the expectation is not JSON: " << expected;
    }
    if (actualValue != expectedValue) {
        return ::testing::AssertionFailure() << "got      " << *actual << "\nexpected " << expected;
    }
    for (std::size_t at = actual->find('/'); at != std::string::npos; at = actual->find('/', at + 1)) {
        if (at == 0 || (*actual)[at - 1] != '\\') {
            return ::testing::AssertionFailure() << "unescaped '/' in " << *actual;
        }
    }
    if (actual->size() != expected.size()) {
        return ::testing::AssertionFailure()
               << "same value in another text form: got " << *actual << "\nexpected " << expected;
    }
    return ::testing::AssertionSuccess();
}

std::string agentCallFrame(std::string_view line, std::uint64_t callId) {
    Frame frame;
    frame.kind = FrameKind::call;
    frame.operation = Operation::handleAgentMessage;
    frame.callId = callId;
    frame.payload = std::string(line);
    return encodeFrame(frame, kMaxFrameToHost);
}

} // namespace quorvane::e2e
