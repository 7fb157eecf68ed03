#pragma once

// The operator app's one connection to the host.
//
// send() encodes a control request, hands it to a private worker thread that
// owns the service connection, and later calls the completion on the thread
// that created the client (the app's main thread, which must run a Qt event
// loop). The connection is made lazily on the first send, thrown away when the
// transport reports a drop or a call fails, and made afresh on the next send.
// There are no timers, retries or request queues of its own: every request is
// tried once.
//
// Guarantees:
// - Every completion runs exactly once, on the main thread, with the host's
//   decoded answer or nullopt (the request did not encode, the transport
//   failed, or the answer did not decode). Results arrive in the order the
//   transport produced them.
// - After every answer (even an undecodable one) the connection handler is
//   called with true, after every transport failure or drop with false; the
//   handler therefore sees repeats. Both run on the main thread, queued, after
//   the completion they belong to.
// - Pushed control events are decoded and passed to the event handler on the
//   main thread; an event that does not decode is dropped silently. Agent
//   notifications pushed to the app are ignored.
//
// Threads: construct, send, set the handlers and destroy on the main thread.
// Destroying the client closes the connection and stops the worker (it waits
// for the transport's threads); completions, events and reports not yet run
// are then never delivered.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/ControlProtocol.h"
#include "common/transport/ServiceConnection.h"

namespace quorvane {

class ControlClient final : public QuorvaneClientProtocol {
public:
    using Completion = std::function<void(std::optional<ControlResponse>)>;
    using EventHandler = std::function<void(const ControlEvent&)>;
    using ConnectionHandler = std::function<void(bool reachable)>;

    // `options` is used for every connection the client makes (tests point it
    // at a private runtime folder). Must be called on the main thread, after
    // the QCoreApplication exists.
    explicit ControlClient(ConnectionOptions options = {});
    ~ControlClient() override;

    ControlClient(const ControlClient&) = delete;
    ControlClient& operator=(const ControlClient&) = delete;

    // Set on the main thread before the first send; called on the main thread.
    void setOnEvent(EventHandler handler);
    void setOnConnectionChange(ConnectionHandler handler);

    // Returns at once. The completion runs exactly once, later, on the main
    // thread (never inside this call).
    void send(const ControlRequest& request, Completion completion);

    // The client side of the service contract, called by the transport on its
    // own threads. controlEvent decodes and forwards; deliverAgentNotification
    // does nothing.
    void controlEvent(const std::string& json) override;
    void deliverAgentNotification(const std::string& line) override;

    struct Core;

private:
    std::unique_ptr<Core> core_;
};

} // namespace quorvane
