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
// Connections are served by a small fixed set of threads (ServingLoop.h), not
// by threads of their own. For each connection, on a serving thread and in
// this order: the peer is verified (uid, then program identity against
// quorvaneCallerRequirement; a failing peer is closed and the owner never
// hears of it), the accept handler runs and returns the exported service
// object, and only then are the connection's calls read. Calls of one
// connection are handled one at a time, in order: the next call is read only
// after the service replied to the current one (and while the peer does not
// leave too many reply bytes unread). Different connections run concurrently,
// as far as the serving threads go.
//
// A peer that shuts down its writing side (after pipelining calls, say) still
// gets the reply to every call it sent, and every push queued before, as long
// as it reads; the connection closes once they are written.
//
// When a socket, its folder or the lock file is removed under the listener
// (a session cleaner, rm -rf of the runtime folder), the listener notices
// through the folders' events, takes the lock again and publishes the
// sockets again where clients look for them; if another host took that place
// meanwhile, or the folders cannot be made, it stops accepting and tells its
// owner (onLost): it never keeps serving where no new client can find it.
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

    // Whether the lock file at places().lockPath is still the file this lock
    // holds (it may have been removed or replaced under a running host).
    [[nodiscard]] bool isInPlace() const;

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
    // Receives the connection's calls, on a serving thread. Each reply
    // callback may be called from any thread; the first call counts, later ones
    // are ignored. A callback destroyed without being called answers the call
    // with a transport failure. A reply that does not fit maxFrameFromHost or
    // is not valid UTF-8 is replaced by a transport failure. nullptr refuses the
    // connection (it is closed, and onClosed is not called).
    std::shared_ptr<QuorvaneServiceProtocol> service;

    // Runs exactly once when the connection has closed (peer gone, protocol
    // violation, push queue overflow, or the listener stopping), on a serving
    // thread, after any call of the connection running there has returned.
    // May be empty.
    std::function<void()> onClosed;
};

struct ListenerOptions {
    // More are closed at once. Room for a thousand agent sessions and their
    // apps; each open connection costs a descriptor and a few kilobytes.
    std::size_t maxConnections = 4096;
    std::size_t maxQueuedPushes = 8192;         // per connection
    std::size_t maxQueuedPushBytes = 64u << 20; // per connection; one frame is always accepted
    // Across all connections. A push that would pass it first cuts off the
    // connection holding the most queued push bytes (the slowest reader), with
    // a note: twenty stalled agents must not make the host hundreds of
    // megabytes large, while one app that is briefly busy still keeps
    // thousands of events queued.
    std::size_t maxTotalQueuedPushBytes = 32u << 20;
    // Per connection, the next call is read only below this many unwritten
    // reply and push bytes: a peer that pipelines calls without reading stops
    // being read.
    std::size_t maxUnsentBytes = 8u << 20;
    // Threads serving the connections; each blocking service call holds one.
    std::size_t servingThreads = 4;
    ProgramIdentityReader identityReader; // empty: the peer's executable (tests replace it)

    // Where clients look for the service. When a socket or its folder is
    // removed under the listener, the places are resolved again from it (and
    // made) and the sockets published there once more. Empty: the lock's own
    // folders are made again as they were.
    std::optional<RuntimeEnvironment> environment;
    // A sentence for the host's log (a peer cut off, a socket published
    // again). Called on a transport thread, never under a listener lock; may
    // be empty.
    std::function<void(const std::string&)> onNote;
    // The sockets were removed and cannot be published again (another host
    // now holds the lock there, or the folders cannot be made): the listener
    // no longer accepts, and the sentence says why. Connections already open
    // go on being served. Called once, on a transport thread; may be empty.
    std::function<void(const std::string&)> onLost;
};

class ServiceListener {
public:
    // Runs on a serving thread after the peer passed verification
    // and before any of its calls is read. Must not throw (an exception refuses
    // the connection).
    using AcceptHandler = std::function<ConnectionSetup(const AcceptedPeer&)>;

    // Removes stale sockets, binds and listens at lock.places().socketPath and
    // controlSocketPath (whose folder must exist), and starts accepting. The
    // listener keeps the lock for its whole life (or the one it takes when it
    // publishes the sockets again). Fails with a sentence for a person (the
    // lock is then released, and no socket is left behind).
    [[nodiscard]] static quorvane::Result<std::unique_ptr<ServiceListener>>
    start(ServiceLock lock, AcceptHandler onAccept, ListenerOptions options = {});

    // Stops accepting, closes every connection (each onClosed runs before this
    // returns), waits for all transport threads, removes both sockets (those
    // still the ones it bound) and then releases the lock. Does not wait for a
    // service object that holds on to a reply callback. Must not be called
    // from a transport thread.
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
