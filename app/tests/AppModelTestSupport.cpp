#include "app/tests/AppModelTestSupport.h"

#include <QCoreApplication>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/Coding.h"

namespace quorvane::apptest {

namespace {

using Clock = std::chrono::steady_clock;

std::filesystem::path makeTempFolder(const std::string& base, const std::string& prefix) {
    std::string pattern = base + "/" + prefix + ".XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern << ": " << std::strerror(errno);
        return {};
    }
    return pattern;
}

std::string tempBase() {
    const char* base = std::getenv("TMPDIR");
    return base != nullptr && base[0] == '/' ? std::string(base) : std::string("/tmp");
}

} // namespace

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    return QTest::qWaitFor(condition, static_cast<int>(limit.count()));
}

void settle(std::chrono::milliseconds duration) {
    QTest::qWait(static_cast<int>(duration.count()));
}

// ---- World ------------------------------------------------------------------------

World::World() {
    root_ = makeTempFolder(tempBase(), "appmodel");
    runtime_ = root_ / "runtime";
    // A socket path must fit a local socket address.
    if ((runtime_ / "quorvane" / std::string(quorvaneServiceName)).string().size() > kMaxSocketPathLength) {
        separateRuntimeRoot_ = makeTempFolder("/tmp", "qvam");
        runtime_ = separateRuntimeRoot_ / "runtime";
    }
    std::filesystem::create_directories(runtime_);
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
    std::filesystem::create_directories(root_ / "data");
    std::filesystem::create_directories(root_ / "home");
    std::filesystem::create_directories(root_ / "bin");
}

World::~World() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
    if (!separateRuntimeRoot_.empty()) {
        std::filesystem::remove_all(separateRuntimeRoot_, ignored);
    }
}

RuntimeEnvironment World::runtimeEnvironment() const {
    RuntimeEnvironment environment;
    environment.xdgRuntimeDir = runtime_.string();
    environment.uid = ::getuid();
    return environment;
}

std::filesystem::path World::socketPath() const {
    return runtime_ / "quorvane" / std::string(quorvaneServiceName);
}

std::vector<std::string> World::environment() const {
    return {
        "XDG_RUNTIME_DIR=" + runtime_.string(),
        "XDG_DATA_HOME=" + (root_ / "data").string(),
        "XDG_CONFIG_HOME=" + (root_ / "home" / ".config").string(),
        "HOME=" + (root_ / "home").string(),
        // An empty folder: no service manager, no registration side effects.
        "PATH=" + (root_ / "bin").string(),
        "LANG=C.UTF-8",
    };
}

ConnectionOptions World::connectionOptions(bool fakeHost) const {
    ConnectionOptions options;
    options.environment = runtimeEnvironment();
    if (fakeHost) {
        options.identityReader = [](pid_t) {
            return Result<ProgramIdentity>(
                ProgramIdentity{std::string(quorvaneTeamIdentifier), std::string(quorvaneHostIdentifier)});
        };
    }
    return options;
}

// ---- Child ------------------------------------------------------------------------

Child::Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
             const std::filesystem::path& errorFile)
    : errorFile_(errorFile) {
    int inputPipe[2];
    int outputPipe[2];
    if (::pipe2(inputPipe, O_CLOEXEC) != 0 || ::pipe2(outputPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inputPipe[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& variable : environment) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(inputPipe[0]);
    ::close(outputPipe[1]);
    input_ = inputPipe[1];
    output_ = outputPipe[0];
    if (spawned != 0) {
        pid_ = -1;
        ADD_FAILURE() << "posix_spawn " << arguments.front() << ": " << std::strerror(spawned);
    }
}

Child::~Child() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        (void)waitForExit(10s);
    }
    if (input_ >= 0) {
        ::close(input_);
    }
    if (output_ >= 0) {
        ::close(output_);
    }
}

bool Child::writeLine(const std::string& line) {
    const std::string bytes = line + "\n";
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(input_, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto end = buffer_.find('\n'); end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd wanted{output_, POLLIN, 0};
        const int ready = ::poll(&wanted, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        char chunk[4096];
        const ssize_t got = ::read(output_, chunk, sizeof chunk);
        if (got <= 0) {
            return std::nullopt;
        }
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }
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
    while (::waitpid(pid_, &status, WUNTRACED) == pid_) {
        if (WIFSTOPPED(status)) {
            return;
        }
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            status_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
            return;
        }
    }
}

std::optional<int> Child::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!status_ && pid_ > 0) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
            break;
        }
        if (done < 0 || Clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(5ms); // between looks at the child
    }
    return status_;
}

bool Child::running() {
    return pid_ > 0 && !waitForExit(0ms);
}

std::string Child::errorText() const {
    std::ifstream file(errorFile_);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// ---- Real programs ------------------------------------------------------------------

std::unique_ptr<Child> startHost(const World& world) {
    auto host = std::make_unique<Child>(std::vector<std::string>{QUORVANE_HOST_PROGRAM}, world.environment(),
                                        world.root() / "host.err");
    const std::string path = world.socketPath().string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const auto deadline = Clock::now() + 20s;
    for (;;) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool accepted =
            fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (fd >= 0) {
            ::close(fd);
        }
        if (accepted) {
            return host;
        }
        if (!host->running() || Clock::now() >= deadline) {
            ADD_FAILURE() << "the host did not get ready: " << host->errorText();
            return host;
        }
        std::this_thread::sleep_for(5ms); // between connection attempts
    }
}

Agent::Agent(const World& world, const std::string& clientName)
    : name_(clientName),
      child_(std::make_unique<Child>(std::vector<std::string>{QUORVANE_BRIDGE_PROGRAM}, world.environment(),
                                     world.root() / ("bridge-" + clientName + ".err"))) {
}

bool Agent::initialize() {
    const Json line{{"jsonrpc", "2.0"},
                    {"id", 1},
                    {"method", "initialize"},
                    {"params",
                     {{"protocolVersion", "2025-06-18"},
                      {"capabilities", Json::object()},
                      {"clientInfo", {{"name", name_}, {"version", "1.0"}}}}}};
    auto reply = call(*serializeJson(line));
    return reply && reply->find("\"result\"") != std::string::npos;
}

std::optional<std::string> Agent::call(const std::string& line) {
    if (!child_->writeLine(line)) {
        return std::nullopt;
    }
    auto reply = child_->readLine();
    if (!reply) {
        ADD_FAILURE() << "the bridge gave no answer to " << line
                      << "; its standard error: " << child_->errorText();
    }
    return reply;
}

// ---- FakeHost -----------------------------------------------------------------------

struct FakeHost::State {
    mutable std::mutex lock;
    Answer answer;
    std::vector<std::string> requests;
    std::vector<std::function<std::shared_ptr<QuorvaneClientProtocol>()>> apps;
};

namespace {

class FakeService final : public QuorvaneServiceProtocol {
public:
    explicit FakeService(std::shared_ptr<FakeHost::State> state) : state_(std::move(state)) {}

    void handleAgentMessage(const std::string&,
                            std::function<void(std::optional<std::string>)> reply) override {
        reply(std::nullopt);
    }

    void control(const std::string& request, std::function<void(std::string)> reply) override {
        FakeHost::Answer answer;
        {
            std::lock_guard guard(state_->lock);
            state_->requests.push_back(request);
            answer = state_->answer;
        }
        if (auto text = answer ? answer(request) : std::nullopt) {
            reply(std::move(*text));
        }
        // Otherwise the callback goes unanswered: a transport failure for the client.
    }

private:
    std::shared_ptr<FakeHost::State> state_;
};

} // namespace

FakeHost::FakeHost(const World& world, Answer answer) : state_(std::make_shared<State>()) {
    state_->answer = std::move(answer);
    auto places = resolveServicePlaces(world.runtimeEnvironment(), FolderUse::create);
    if (!places.ok()) {
        ADD_FAILURE() << places.error().message;
        return;
    }
    auto lock = ServiceLock::acquire(*places);
    if (!lock.lock) {
        ADD_FAILURE() << lock.error;
        return;
    }
    auto state = state_;
    auto started = ServiceListener::start(std::move(*lock.lock), [state](const AcceptedPeer& peer) {
        {
            std::lock_guard guard(state->lock);
            state->apps.push_back(peer.clientProxy);
        }
        return ConnectionSetup{std::make_shared<FakeService>(state), {}};
    });
    if (!started.ok()) {
        ADD_FAILURE() << started.error().message;
        return;
    }
    listener_ = std::move(*started);
}

FakeHost::~FakeHost() = default;

std::vector<std::string> FakeHost::requests() const {
    std::lock_guard guard(state_->lock);
    return state_->requests;
}

std::size_t FakeHost::requestCount() const {
    std::lock_guard guard(state_->lock);
    return state_->requests.size();
}

void FakeHost::setAnswer(Answer answer) {
    std::lock_guard guard(state_->lock);
    state_->answer = std::move(answer);
}

bool FakeHost::pushEvent(const std::string& json) {
    std::vector<std::function<std::shared_ptr<QuorvaneClientProtocol>()>> apps;
    {
        std::lock_guard guard(state_->lock);
        apps = state_->apps;
    }
    bool pushed = false;
    for (auto& app : apps) {
        if (auto proxy = app()) {
            proxy->controlEvent(json);
            pushed = true;
        }
    }
    return pushed;
}

bool FakeHost::pushAgentNotification(const std::string& line) {
    std::vector<std::function<std::shared_ptr<QuorvaneClientProtocol>()>> apps;
    {
        std::lock_guard guard(state_->lock);
        apps = state_->apps;
    }
    bool pushed = false;
    for (auto& app : apps) {
        if (auto proxy = app()) {
            proxy->deliverAgentNotification(line);
            pushed = true;
        }
    }
    return pushed;
}

std::string snapshotAnswer(const Snapshot& snapshot) {
    return *QuorvaneCoding::encodeToString(ControlResponse::snapshot(snapshot));
}

std::string emptySnapshotAnswer() {
    Snapshot snapshot;
    snapshot.hostVersion = "fake";
    snapshot.settings = Settings{true, 50000};
    return snapshotAnswer(snapshot);
}

} // namespace quorvane::apptest
