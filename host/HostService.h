#pragma once

// The host program's thin shell around the engine: the object exported on each
// accepted connection, and the delegate that sets up each connection.
//
// Threading: the listener calls the delegate and every service object on
// transport threads, concurrently across connections; the engine is safe for
// that. Neither class holds a lock.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/ControlProtocol.h"
#include "common/transport/ServiceListener.h"
#include "host/core/HostEngine.h"

namespace quorvane {

// Exported on one connection: hands each call with the connection's id to the
// engine and answers it exactly once, on the thread the call arrived on.
class QuorvaneService final : public QuorvaneServiceProtocol {
public:
    QuorvaneService(std::shared_ptr<HostEngine> engine, std::string connectionId)
        : engine_(std::move(engine)), connectionId_(std::move(connectionId)) {}

    // Replies with the engine's line, or with no string when the engine had no
    // answer (a JSON-RPC notification).
    void handleAgentMessage(const std::string& message,
                            std::function<void(std::optional<std::string>)> reply) override;

    // Replies with the engine's encoded control response.
    void control(const std::string& request, std::function<void(std::string)> reply) override;

    [[nodiscard]] const std::string& connectionId() const { return connectionId_; }

private:
    const std::shared_ptr<HostEngine> engine_;
    const std::string connectionId_;
};

// Decides on and sets up each admitted connection (the listener has already
// verified the peer). Every connection that reaches it is accepted: it gets a
// fresh upper-case UUID, is reported to the engine with connectionOpened before
// any of its calls is read, and is reported with connectionClosed when it
// closes, if the engine still exists (the closing action holds it weakly).
class HostListenerDelegate {
public:
    explicit HostListenerDelegate(std::shared_ptr<HostEngine> engine) : engine_(std::move(engine)) {}

    // The listener's accept handler. Called on the connection's thread.
    [[nodiscard]] ConnectionSetup operator()(const AcceptedPeer& peer) const;

private:
    std::shared_ptr<HostEngine> engine_;
};

} // namespace quorvane
