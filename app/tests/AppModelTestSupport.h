#pragma once

// Support for the control client and app model tests: a private world of
// folders, the real host and bridge programs as child processes, an in-process
// fake host whose answers a test chooses, and waiting on the Qt event loop.

#include <chrono>
#include <condition_variable>
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

namespace quorvane::apptest {

using namespace std::chrono_literals;

// Runs the Qt event loop until `condition` holds or `limit` has passed.
[[nodiscard]] bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s);
// Runs the Qt event loop for a while (to see that nothing more arrives).
void settle(std::chrono::milliseconds duration = 300ms);

// Private runtime, data and home folders for one test, removed at the end.
// The runtime folder moves to /tmp when the socket path would not fit.
class World {
public:
    World();
    ~World();
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
    std::filesystem::path root_;
    std::filesystem::path runtime_;
    std::filesystem::path separateRuntimeRoot_;
};

// One child process with its standard input and output as pipes; standard
// error goes to a file.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
          const std::filesystem::path& errorFile);
    ~Child(); // SIGKILL and reap when still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool writeLine(const std::string& line);
    // The next line of standard output, or nullopt at its end or after `timeout`.
    [[nodiscard]] std::optional<std::string> readLine(std::chrono::milliseconds timeout = 20s);
    void signal(int number);
    // Stops the child (SIGSTOP) and returns once it has stopped.
    void pause();
    // The exit status (128 + n for signal n), or nullopt while still running after `timeout`.
    [[nodiscard]] std::optional<int> waitForExit(std::chrono::milliseconds timeout = 20s);
    [[nodiscard]] bool running();
    [[nodiscard]] std::string errorText() const;

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
    std::filesystem::path errorFile_;
    std::optional<int> status_;
};

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

// A host in this process: answers every control request with `answer`, keeps
// the requests it saw, and pushes events to connected apps.
class FakeHost {
public:
    // The answer text for one request; nullopt drops the reply (the client
    // sees a transport failure).
    using Answer = std::function<std::optional<std::string>(const std::string& request)>;

    FakeHost(const World& world, Answer answer);
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    [[nodiscard]] std::vector<std::string> requests() const;
    [[nodiscard]] std::size_t requestCount() const;
    void setAnswer(Answer answer);
    // Pushes to every connected app; false when none is connected.
    bool pushEvent(const std::string& json);
    bool pushAgentNotification(const std::string& line);

    struct State;

private:
    std::shared_ptr<State> state_;
    std::unique_ptr<ServiceListener> listener_;
};

// The JSON text of a snapshot answer.
[[nodiscard]] std::string snapshotAnswer(const Snapshot& snapshot);
// A snapshot answer with the fake host's version and nothing else.
[[nodiscard]] std::string emptySnapshotAnswer();

} // namespace quorvane::apptest
