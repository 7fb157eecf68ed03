#pragma once

// The host's side of the service: the single-host lock and the listener that
// accepts bridges and operator apps.
//
// Start-up of a host:
//
//   ignoreSigpipe();
//   auto places = resolveServicePlaces(RuntimeEnvironment::current(), FolderUse::create);
//   auto lock = ServiceLock::acquire(*places);              // alreadyRunning: another host
//   ... open the store ...
//   auto started = ServiceListener::start(std::move(*lock.lock), acceptHandler);
//
// For each connection, on that connection's own thread and in this order: the
// peer is verified (uid, then program identity against quorvaneCallerRequirement;
// a failing peer is closed and the owner never hears of it), the accept handler
// runs and returns the exported service object, and only then are the
// connection's calls read. Calls of one connection are handled one at a time,
// in order: the next call is read only after the service replied to the
// current one. Different connections run concurrently.
//
// Two sockets, two roles: the agent socket (places().socketPath) carries agent
// traffic only, the control socket (places().controlSocketPath, in its own
// private folder) operator traffic only. The socket a peer came through
// decides what it may do; the program identity is checked on both as a second
// lock. On the agent socket only a bridge may call, and only
// handleAgentMessage; the control socket admits only the operator app (and
// programs that speak for it), which may only call control. Any other call is
// answered with a transport failure and never reaches the service object.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "common/ControlProtocol.h"
#include "common/Result.h"
#include "common/transport/ProgramIdentity.h"
#include "common/transport/RuntimePlaces.h"

namespace quorvane {

// Holds flock(LOCK_EX | LOCK_NB) on the lock file beside the socket for its
// whole life. Only the holder may remove a stale socket and bind a new one.
// Movable, not copyable; the lock is released when the last owner goes.
class ServiceLock {
public:
    enum class Status { acquired, alreadyRunning, failed };

    struct Result;

    // Creates the lock file if needed (mode 0600, never through a symbolic
    // link) and tries to lock it without waiting.
    [[nodiscard]] static Result acquire(const ServicePlaces& places);

    ServiceLock(ServiceLock&& other) noexcept;
    ServiceLock& operator=(ServiceLock&& other) noexcept;
    ServiceLock(const ServiceLock&) = delete;
    ServiceLock& operator=(const ServiceLock&) = delete;
    ~ServiceLock();

    [[nodiscard]] const ServicePlaces& places() const { return places_; }

private:
    ServiceLock(ServicePlaces places, int fd) : places_(std::move(places)), fd_(fd) {}
    ServicePlaces places_;
    int fd_ = -1;
};

struct ServiceLock::Result {
    Status status = Status::failed;
    std::optional<ServiceLock> lock; // set when acquired
    std::string error;               // a sentence for a person when not acquired
};

// The listener's two sockets.
enum class ServiceSocket { agent, control };

[[nodiscard]] std::string_view socketName(ServiceSocket socket);

// What the owner learns of an admitted peer.
struct AcceptedPeer {
    ProgramRole role = ProgramRole::bridge; // bridge or app
    pid_t pid = 0;
    ServiceSocket socket = ServiceSocket::agent; // the socket it came through

    // Yields the connection's push proxy while the connection is open, and
    // nullptr once it has closed. Holds the connection weakly, so a copy kept
    // in the owner's tables never keeps a dead connection alive. Copyable,
    // callable from any thread. The proxy's two operations queue a one-way
    // push and return at once; they never block. When a peer stops reading and
    // its queue passes the listener's bound, the connection is closed. A push
    // that is not valid UTF-8 or exceeds maxFrameFromHost is dropped.
    std::function<std::shared_ptr<QuorvaneClientProtocol>()> clientProxy;
};

// The owner's answer for one connection.
struct ConnectionSetup {
    // Receives the connection's calls, on the connection's thread. Each reply
    // callback may be called from any thread; the first call counts, later ones
    // are ignored. A callback destroyed without being called answers the call
    // with a transport failure. A reply that does not fit maxFrameFromHost or
    // is not valid UTF-8 is replaced by a transport failure. nullptr refuses the
    // connection (it is closed, and onClosed is not called).
    std::shared_ptr<QuorvaneServiceProtocol> service;

    // Runs exactly once when the connection has closed (peer gone, protocol
    // violation, push queue overflow, or the listener stopping), on the
    // connection's thread. May be empty.
    std::function<void()> onClosed;
};

struct ListenerOptions {
    std::size_t maxConnections = 512;           // more are closed at once
    std::size_t maxQueuedPushes = 8192;         // per connection
    std::size_t maxQueuedPushBytes = 64u << 20; // per connection; one frame is always accepted
    ProgramIdentityReader identityReader;       // empty: the peer's executable (tests replace it)
};

class ServiceListener {
public:
    // Runs on the new connection's thread after the peer passed verification
    // and before any of its calls is read. Must not throw (an exception refuses
    // the connection).
    using AcceptHandler = std::function<ConnectionSetup(const AcceptedPeer&)>;

    // Removes stale sockets, binds and listens at lock.places().socketPath and
    // controlSocketPath (whose folder must exist), and starts accepting. The
    // listener keeps the lock for its whole life. Fails with a sentence for a
    // person (the lock is then released, and no socket is left behind).
    [[nodiscard]] static quorvane::Result<std::unique_ptr<ServiceListener>>
    start(ServiceLock lock, AcceptHandler onAccept, ListenerOptions options = {});

    // Stops accepting, closes every connection (each onClosed runs before this
    // returns), waits for all transport threads, removes both sockets and then
    // releases the lock. Does not wait for a service object that holds on to a
    // reply callback. Must not be called from a transport thread.
    ~ServiceListener();

    ServiceListener(const ServiceListener&) = delete;
    ServiceListener& operator=(const ServiceListener&) = delete;

    // The number of connections currently open (admitted and not yet closed).
    [[nodiscard]] std::size_t openConnectionCount() const;

    class Impl;

private:
    explicit ServiceListener(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

} // namespace quorvane
