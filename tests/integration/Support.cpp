#include "tests/integration/Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <set>
#include <sstream>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/Json.h"
#include "common/transport/Frame.h"
#include "tests/support/Waiting.h"

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
    return test::findInPath(name).value_or(std::string{});
}

// ---- Sandbox ------------------------------------------------------------------

namespace {

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

Sandbox::Sandbox()
    : folder_(test::TempDir::withSocketRoom(
          std::string_view("/run").size() + test::TempDir::serviceSocketRoom(), "e2e-")) {
    std::signal(SIGPIPE, SIG_IGN);
    // Orphans of our children (a host started detached) come to us.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    root_ = folder_.path();
    runtime_ = root_ / "run";
    data_ = root_ / "data";
    home_ = root_ / "home";
    emptyPath_ = root_ / "bin";
    makePrivateFolder(runtime_);
    makePrivateFolder(data_);
    makePrivateFolder(home_);
    makePrivateFolder(emptyPath_);
}

Sandbox::~Sandbox() {
    killAllChildren(); // before the folders go
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
    options.input = pipeInput ? Child::Stream::pipe : Child::Stream::null;
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
    return test::waitForSocket(socketPath().string(), timeout, host);
}

// ---- ControlClient ------------------------------------------------------------

ControlClient::ControlClient(const Sandbox& sandbox)
    : client_(ConnectionOptions{sandbox.runtimeEnvironment(), {}}) {
}

ControlClient::~ControlClient() = default;

std::optional<ControlResponse> ControlClient::request(const ControlRequest& request, std::string* error,
                                                      std::chrono::milliseconds timeout) {
    Result<ControlResponse> response = client_.control(request, timeout);
    if (!response) {
        const std::string& message = response.error().message;
        if (message.rfind("undecodable control response", 0) == 0 || message.rfind("cannot encode", 0) == 0) {
            ADD_FAILURE() << response.error().message;
        }
        if (error != nullptr) {
            *error = message;
        }
        return std::nullopt;
    }
    return std::move(*response);
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
    Snapshot current;
    if (!test::eventually([&] { return holds(current = snapshot()); }, timeout, 10ms)) {
        ADD_FAILURE() << "the host's state did not come about in time";
    }
    return current;
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
    return encodeFrame(frame, maxFrameToHost);
}

} // namespace quorvane::e2e
