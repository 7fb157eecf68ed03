#pragma once

// A bridge's or operator app's connection to the host's service.
//
// The object is cheap to create: nothing is connected until the first call.
// Each call connects when there is no live connection, verifies the host
// (uid, then program identity against quorvaneHostRequirement; any other
// program is refused), sends, and completes exactly once: onReply with the
// host's answer, or onError with a description (cannot connect, host refused,
// connection dropped while the call was pending, invalidated, argument too
// large or not UTF-8, or the host's transport failure for the call). Replies,
// errors, pushes and both handlers run on the connection's transport threads,
// never on the caller's thread, and never while the caller is inside a call
// of this class.
//
// Which socket: the host serves agents and operators on separate sockets
// (RuntimePlaces.h), and the socket decides what a peer may do. A connection
// goes to the socket of the call that opens it: the control socket for
// control(), the agent socket for handleAgentMessage(). A call of the other
// kind on an open connection is refused by the host.
//
// Interruption: a live connection dropped (the host went away). Every pending
// call fails, the interruption handler runs, and the next call connects again
// on the same object. Invalidation is final: invalidate() fails every queued
// and pending call, the invalidation handler runs once, and every later call
// fails.
//
// Usage (a bridge waiting at most 30 s for one reply):
//
//   auto done = std::make_shared<Outcome>();          // settled once, with its own lock
//   CallHandle call = connection.handleAgentMessage(line,
//       [done](std::optional<std::string> reply) { done->settle(reply); },
//       [done](std::string error) { done->settleFailure(error); });
//   if (!done->waitFor(30s)) call.cancel();            // a late reply is then never delivered
//
// Threads: all member functions are thread-safe. Pushes to the exported object
// and replies are delivered on the connection's reader thread, one at a time
// and in the order they arrived; failures to connect or send come from its
// worker thread. The exported object must be safe to call from there.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/ControlProtocol.h"
#include "common/transport/ProgramIdentity.h"
#include "common/transport/RuntimePlaces.h"

namespace quorvane {

struct ConnectionOptions {
    // Where to look for the service; the folders are checked (never created)
    // at each connection attempt. Empty: RuntimeEnvironment::current(), read
    // when the object is made.
    std::optional<RuntimeEnvironment> environment;
    // Empty: the host's executable (tests replace it).
    ProgramIdentityReader identityReader;
    // A socket to connect to instead of the service place, whatever the call
    // (quorvane-bridge --socket). Its folder must be a private folder of ours,
    // checked at each connection attempt.
    std::optional<std::string> socketPath{};
    // Only with socketPath, for a client confined in its own namespaces: when
    // the host's program cannot be read because the host runs outside them
    // (its pid is 0 here, or /proc/<pid>/exe is refused with EACCES), a host
    // of our uid is admitted on the uid check alone, and this runs, on a
    // transport thread, each time that happens. Empty: such a host is refused.
    std::function<void()> onHostOutsideNamespaces{};
};

// The caller's hold on one call.
class CallHandle {
public:
    CallHandle() = default;

    // Gives up the call. True when it had not completed yet: then neither of
    // its callbacks will ever run (a reply that arrives later is dropped).
    // False when a callback has already run or is running; in the latter case
    // cancel() first waits for it to return, unless cancel() is called from
    // within that callback. Thread-safe; a default handle answers false.
    bool cancel();

    struct State;
    explicit CallHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

private:
    std::shared_ptr<State> state_;
};

class ServiceConnection {
public:
    // `exported` receives the host's pushes; it is held strongly until the
    // object is invalidated or destroyed. An owner that is itself the exported
    // object should pass a forwarder holding it weakly, or call invalidate(),
    // to avoid a reference cycle.
    explicit ServiceConnection(std::shared_ptr<QuorvaneClientProtocol> exported,
                               ConnectionOptions options = {});

    // Closes the connection without running either handler; calls that are
    // still outstanding fail with onError. Must not be called while holding a
    // lock that a callback of this connection takes. May be called from a
    // callback of this connection.
    ~ServiceConnection();

    ServiceConnection(const ServiceConnection&) = delete;
    ServiceConnection& operator=(const ServiceConnection&) = delete;

    // Set before the first call; replacing them later is allowed.
    void setInterruptionHandler(std::function<void()> handler);
    void setInvalidationHandler(std::function<void()> handler);

    // onReply gets the host's line, or nullopt when the host had no answer
    // (never confused with the empty string).
    CallHandle handleAgentMessage(std::string message,
                                  std::function<void(std::optional<std::string>)> onReply,
                                  std::function<void(std::string)> onError);

    // onReply gets the JSON form of a ControlResponse.
    CallHandle control(std::string request, std::function<void(std::string)> onReply,
                       std::function<void(std::string)> onError);

    // Final. Returns at once; the invalidation handler runs on a transport
    // thread. Later calls of invalidate() do nothing.
    void invalidate();

    class Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace quorvane
