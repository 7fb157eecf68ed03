#pragma once

// Support for the end-to-end tests: private folders per test, real child
// processes with pipes, readiness by the service socket, and an operator-app
// client speaking the control protocol.
//
// Every test runs in its own process (CTest starts each case alone). The test
// process makes itself a child subreaper, so that a host started detached by
// the registration program is re-parented to it and can be reaped; the
// Sandbox's destructor kills and reaps every child process that is left.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include <gtest/gtest.h>

#include "common/ControlProtocol.h"
#include "common/Records.h"
#include "common/transport/RuntimePlaces.h"
#include "tests/support/Child.h"
#include "tests/support/ServiceClient.h"
#include "tests/support/TempDir.h"

namespace quorvane::e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The programs under test, from CMake.
[[nodiscard]] std::string hostProgram();
[[nodiscard]] std::string bridgeProgram();
[[nodiscard]] std::string appProgram(); // empty when the app program is not built
[[nodiscard]] std::string peerProgram();

// An absolute path of a program found on the test's own PATH, or empty.
[[nodiscard]] std::string findOnPath(std::string_view name);

// One child process (tests/support): standard input and output are pipes to
// the test when asked; standard error is always a pipe, collected in the
// background.
using Child = test::Child;

// The private world of one test: runtime, data and home folders, an empty
// PATH folder (so that no service manager is found), the environment for the
// programs, and the children it started.
class Sandbox {
public:
    Sandbox();
    ~Sandbox(); // kills and reaps every child of the test process, removes the folders

    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    [[nodiscard]] const std::filesystem::path& root() const { return root_; }
    [[nodiscard]] const std::filesystem::path& runtimeFolder() const { return runtime_; }
    [[nodiscard]] const std::filesystem::path& dataFolder() const { return data_; }
    [[nodiscard]] const std::filesystem::path& homeFolder() const { return home_; }
    [[nodiscard]] std::filesystem::path serviceFolder() const { return runtime_ / "quorvane"; }
    [[nodiscard]] std::filesystem::path socketPath() const;
    [[nodiscard]] RuntimeEnvironment runtimeEnvironment() const;

    // The environment the programs run with. Values in `overrides` ("NAME=value")
    // replace or add variables.
    [[nodiscard]] std::vector<std::string> environment(const std::vector<std::string>& overrides = {}) const;

    // Starts a program with this sandbox's environment.
    [[nodiscard]] std::unique_ptr<Child> start(std::vector<std::string> arguments,
                                               const std::vector<std::string>& environmentOverrides = {},
                                               bool pipeInput = true);

    // Starts quorvane-host and waits until its socket accepts a connection.
    // Returns nullptr (after recording a test failure) when it does not get ready.
    [[nodiscard]] std::unique_ptr<Child> startHost();
    [[nodiscard]] std::unique_ptr<Child> startBridge(const std::string& program = bridgeProgram());

    // Whether a connection to the service socket succeeds within `timeout`;
    // gives up early when `host` (if given) has exited.
    [[nodiscard]] bool waitForSocket(std::chrono::milliseconds timeout, Child* host = nullptr) const;

private:
    test::TempDir folder_; // room for the service socket below "<root>/run"
    std::filesystem::path root_;
    std::filesystem::path runtime_;
    std::filesystem::path data_;
    std::filesystem::path home_;
    std::filesystem::path emptyPath_;
};

// Kills and reaps every child of this process (direct children and orphans
// re-parented to it).
void killAllChildren();

// An operator app: the test process carries the app's identity. Records a
// test failure where the host's answer is not what a request needs.
class ControlClient {
public:
    explicit ControlClient(const Sandbox& sandbox);
    ~ControlClient();

    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // The host's response, or nullopt on a transport failure or time-out
    // (`error` then tells why).
    [[nodiscard]] std::optional<ControlResponse> request(const ControlRequest& request,
                                                         std::string* error = nullptr,
                                                         std::chrono::milliseconds timeout = 10s);
    // A snapshot; records a test failure and answers an empty one when none came.
    [[nodiscard]] Snapshot snapshot();
    // Asks for snapshots until `holds` is true of one (answered) or `timeout`
    // passes (a test failure is recorded and the last snapshot answered). For
    // state the host changes after the fact, such as a closed connection.
    [[nodiscard]] Snapshot snapshotWhen(const std::function<bool(const Snapshot&)>& holds,
                                        std::chrono::milliseconds timeout = 10s);
    // Sends the request and expects `ok`.
    void expectOk(const ControlRequest& request);

private:
    test::ServiceClient client_;
};

// The API log's requests on one connection, oldest first (payloads).
[[nodiscard]] std::vector<std::string> requestPayloads(const Snapshot& snapshot);

// Whether a line the programs wrote is the expected message: the same JSON
// value (member order carries no meaning), written in the same text form —
// compact, '/' escaped — which for the same value means the same length.
[[nodiscard]] ::testing::AssertionResult sameMessage(const std::optional<std::string>& actual,
                                                     std::string_view expected);

// Builds one call frame the way a client would, for raw peers.
[[nodiscard]] std::string agentCallFrame(std::string_view line, std::uint64_t callId = 1);

} // namespace quorvane::e2e
