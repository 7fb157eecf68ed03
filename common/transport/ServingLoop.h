#pragma once

// The host's serving loop: a small fixed set of threads sharing one epoll
// instance serve every accepted connection, instead of threads of each
// connection's own.
//
// A connection is handled by at most one serving thread at a time: its
// descriptor is registered one-shot, and the thread that handled it arms it
// again. That thread admits the connection (the owner's admission runs there,
// before any call is read), reads the next call, runs the service on it and,
// when the service answers at once, writes the reply and goes on with the
// connection. A reply given later, from any thread, is written from that
// thread as far as the socket takes it without waiting; whatever the socket
// does not take is written by a serving thread once the socket is writable.
// A service call that blocks holds one serving thread; the others go on.
//
// Back-pressure, per connection: the next call is read only once the current
// one is answered and fewer than maxUnsentBytes are still waiting to be
// written to the peer, so a peer that pipelines calls without reading its
// replies stops being read. Pushes are bounded per connection (count and
// bytes) and in total across connections; when the total would pass its
// bound, the connection holding the most queued push bytes (the slowest
// reader) is cut off, with a note.
//
// A peer that shuts down its writing side still gets every reply, and the
// pushes queued before them, as long as it reads; the connection then closes.
// A peer that hangs up entirely is noticed at once, even while the service
// holds its call.
//
// Threads: every member is thread-safe; stop() must not be called from a
// serving thread or from a service call.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <sys/types.h>

#include "common/ControlProtocol.h"
#include "common/Result.h"
#include "common/transport/Frame.h"

namespace quorvane {

struct ServingOptions {
    // Serving threads. Each blocking service call holds one of them.
    std::size_t threads = 4;
    std::size_t maxQueuedPushes = 8192;         // per connection
    std::size_t maxQueuedPushBytes = 64u << 20; // per connection; one frame is always accepted
    std::size_t maxTotalQueuedPushBytes = 32u << 20;
    // The next call is read only below this many unwritten bytes (replies and
    // pushes) on the connection.
    std::size_t maxUnsentBytes = 8u << 20;
    // A sentence for the host's log; called on a serving or pushing thread,
    // never under a lock of the loop. May be empty.
    std::function<void(const std::string&)> onNote;
};

// Yields a connection's push proxy while it is open, nullptr once it closes.
using PushProxyProvider = std::function<std::shared_ptr<QuorvaneClientProtocol>()>;

// The owner's answer for one connection, from its admission.
struct Admission {
    // Receives the calls (see ConnectionSetup in ServiceListener.h for the
    // reply rules). nullptr refuses the connection: it is closed, and
    // onClosed is not called.
    std::shared_ptr<QuorvaneServiceProtocol> service;
    // Runs once when the connection has closed, on a serving thread, after any
    // service call running on it has returned. May be empty.
    std::function<void()> onClosed;
    // Why a call of this operation is refused (answered with a transport
    // failure, never reaching the service), or nullopt to let it through.
    // Empty: every call goes through.
    std::function<std::optional<std::string>(Operation)> refusal;
};

class ServingLoop {
public:
    // Runs on a serving thread for each adopted connection before any of its
    // calls is read: checks the peer on the descriptor (which it must not
    // close or read from) and sets the connection up. `origin` is what the
    // owner gave adopt() (which socket the peer came through, say); `peer` is
    // the connection's push proxy provider; `pid` tells whose the connection
    // is, for notes, once the admission sets it. Must not throw (an exception
    // refuses the connection).
    using Admit = std::function<Admission(int fd, int origin, const PushProxyProvider& peer, pid_t& pid)>;

    // Starts the serving threads. Fails with a sentence for a person.
    [[nodiscard]] static Result<std::unique_ptr<ServingLoop>> start(ServingOptions options, Admit admit);

    // stop().
    ~ServingLoop();

    ServingLoop(const ServingLoop&) = delete;
    ServingLoop& operator=(const ServingLoop&) = delete;

    // Takes an accepted socket (blocking or not) and serves it; `origin` is
    // handed to its admission. False when it was closed at once instead: the
    // loop is stopping, or holds `limit` connections already.
    bool adopt(int fd, std::size_t limit, int origin = 0);

    // Connections admitted and not yet closed.
    [[nodiscard]] std::size_t openCount() const;

    // Closes every connection (each onClosed runs before this returns) and
    // ends the serving threads. Does not wait for a service object that holds
    // on to a reply callback. Idempotent.
    void stop();

    class Impl;

private:
    explicit ServingLoop(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

} // namespace quorvane
