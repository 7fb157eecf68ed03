#pragma once

// Support for the control client and app model tests: a private world of
// folders, the real host and bridge programs as child processes, an in-process
// fake host whose answers a test chooses, and waiting on the Qt event loop.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "common/ControlProtocol.h"
#include "common/transport/RuntimePlaces.h"
#include "common/transport/ServiceConnection.h"
#include "common/transport/ServiceListener.h"
#include "tests/support/Child.h"
#include "tests/support/FakeHost.h"
#include "tests/support/TempDir.h"

namespace quorvane::apptest {

using namespace std::chrono_literals;

// Runs the Qt event loop until `condition` holds or `limit` has passed.
[[nodiscard]] bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s);
// Runs the Qt event loop for a while (to see that nothing more arrives).
void settle(std::chrono::milliseconds duration = 300ms);

// Private runtime, data and home folders for one test, removed at the end.
// The whole world lies under /tmp when $TMPDIR leaves no room for the socket
// path.
class World {
public:
    World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    [[nodiscard]] const std::filesystem::path& root() const { return root_; }
    [[nodiscard]] RuntimeEnvironment runtimeEnvironment() const;
    [[nodiscard]] std::filesystem::path socketPath() const;
    // Environment for the programs: the private folders and a minimal PATH.
    [[nodiscard]] std::vector<std::string> environment() const;
    // Options for a client of this world's host. `fakeHost`: the peer is
    // this very process (the in-process fake host), taken for the host.
    [[nodiscard]] ConnectionOptions connectionOptions(bool fakeHost = false) const;

private:
    test::TempDir folder_;
    std::filesystem::path root_;
    std::filesystem::path runtime_;
};

// One child process (tests/support); the programs started here have their
// standard input and output as pipes and standard error in a file.
using Child = test::Child;

// The real quorvane-host in a world; ready once its socket accepts.
[[nodiscard]] std::unique_ptr<Child> startHost(const World& world);

// A real quorvane-bridge in a world, acting for one agent.
class Agent {
public:
    Agent(const World& world, const std::string& clientName);
    // Sends initialize (with the client name) and waits for the answer.
    [[nodiscard]] bool initialize();
    // Sends one line and waits for the answer line.
    [[nodiscard]] std::optional<std::string> call(const std::string& line);
    [[nodiscard]] Child& process() { return *child_; }

private:
    std::string name_;
    std::unique_ptr<Child> child_;
};

// A host in this process (tests/support): answers every control request with
// `answer`, keeps the requests it saw, and pushes events to connected apps.
// Throws when it cannot listen in the world.
class FakeHost : public test::FakeHost {
public:
    // The answer text for one request; nullopt drops the reply (the client
    // sees a transport failure).
    using Answer = ControlAnswer;

    FakeHost(const World& world, Answer answer);

    void setAnswer(Answer answer) { setControlAnswer(std::move(answer)); }
};

// Bytes the world's host has not read yet from its control connections (the
// operator programs'), as the kernel's socket table (Linux sock_diag) shows
// them; nullopt when the host has no such connection or the table cannot be
// read. With the host stopped, a value above zero shows a request has reached
// it.
[[nodiscard]] std::optional<std::size_t> unreadAtHostControl(const World& world);

// The JSON text of a snapshot answer.
[[nodiscard]] std::string snapshotAnswer(const Snapshot& snapshot);
// A snapshot answer with the fake host's version and nothing else.
[[nodiscard]] std::string emptySnapshotAnswer();

} // namespace quorvane::apptest
