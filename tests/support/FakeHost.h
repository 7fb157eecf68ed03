#pragma once

// A host in the test process: a real service listener at the service place of
// a runtime environment, whose answers the test chooses. It keeps the control
// requests and the peers it admitted, and pushes to connected clients.
//
// Peers are checked as the real host checks them (uid, then program identity),
// unless Options::listener says otherwise.
//
// Threads: all members are thread-safe. The answer functions run on the
// listener's threads.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/transport/RuntimePlaces.h"
#include "common/transport/ServiceListener.h"

namespace quorvane::test {

class FakeHost {
public:
    // The reply to one control request; nullopt drops the reply (the client
    // sees a transport failure for the call).
    using ControlAnswer = std::function<std::optional<std::string>(const std::string& request)>;
    // The reply to one agent message; nullopt is the host's "no reply".
    using AgentAnswer = std::function<std::optional<std::string>(const std::string& message)>;

    struct Options {
        ControlAnswer control;    // empty: every request unanswered
        AgentAnswer agent;        // empty: no reply to any message
        ListenerOptions listener; // the peer checks
    };

    // Takes the service lock and listens; throws std::runtime_error when the
    // folders, the lock or the listener cannot be had.
    FakeHost(const RuntimeEnvironment& environment, Options options);
    ~FakeHost(); // stops listening; connections close

    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    [[nodiscard]] std::vector<std::string> requests() const;
    [[nodiscard]] std::size_t requestCount() const;
    [[nodiscard]] std::vector<AcceptedPeer> admitted() const;
    void setControlAnswer(ControlAnswer answer);

    // Pushes to every connected client; false when none is connected.
    bool pushEvent(const std::string& json);
    bool pushAgentNotification(const std::string& line);

    struct State;

private:
    std::shared_ptr<State> state_;
    std::unique_ptr<ServiceListener> listener_;
};

} // namespace quorvane::test
