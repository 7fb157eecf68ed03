#include "common/transport/ServiceConnection.h"

#include "common/Result.h"
#include "common/ThreadSafety.h"
#include "common/transport/Frame.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <variant>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvane {

// ---- One call -----------------------------------------------------------------------

struct CallHandle::State {
    enum class Phase { pending, running, done };

    State(Operation operation, std::string payload,
          std::function<void(std::optional<std::string>)> onAgentReply,
          std::function<void(std::string)> onControlReply, std::function<void(std::string)> onError)
        : operation(operation), payload(std::move(payload)), onAgentReply(std::move(onAgentReply)),
          onControlReply(std::move(onControlReply)), onError(std::move(onError)) {}

    const Operation operation;
    std::string payload; // the caller's until enqueued, then the sending thread's

    Mutex mutex;
    std::condition_variable_any cv;
    Phase phase QUORVANE_GUARDED_BY(mutex) = Phase::pending;
    std::thread::id runner QUORVANE_GUARDED_BY(mutex);
    std::function<void(std::optional<std::string>)> onAgentReply QUORVANE_GUARDED_BY(mutex);
    std::function<void(std::string)> onControlReply QUORVANE_GUARDED_BY(mutex);
    std::function<void(std::string)> onError QUORVANE_GUARDED_BY(mutex);

    bool isPending() QUORVANE_EXCLUDES(mutex) {
        MutexLock lock(mutex);
        return phase == Phase::pending;
    }
};

namespace {

using CallState = CallHandle::State;

struct Reply {
    std::optional<std::string> text;
};
struct Failure {
    std::string description;
};

// Runs the call's one callback, unless it already completed or was cancelled.
void complete(const std::shared_ptr<CallState>& call, std::variant<Reply, Failure> outcome) {
    std::function<void(std::optional<std::string>)> onAgentReply;
    std::function<void(std::string)> onControlReply;
    std::function<void(std::string)> onError;
    {
        MutexLock lock(call->mutex);
        if (call->phase != CallState::Phase::pending) {
            return;
        }
        call->phase = CallState::Phase::running;
        call->runner = std::this_thread::get_id();
        onAgentReply = std::move(call->onAgentReply);
        onControlReply = std::move(call->onControlReply);
        onError = std::move(call->onError);
    }
    try {
        if (auto* reply = std::get_if<Reply>(&outcome)) {
            if (call->operation == Operation::handleAgentMessage) {
                if (onAgentReply) {
                    onAgentReply(std::move(reply->text));
                }
            } else if (onControlReply) {
                onControlReply(reply->text.value_or(std::string()));
            }
        } else if (onError) {
            onError(std::move(std::get<Failure>(outcome).description));
        }
    } catch (...) {
        // A throwing callback must not take the transport down.
    }
    onAgentReply = nullptr;
    onControlReply = nullptr;
    onError = nullptr;
    {
        MutexLock lock(call->mutex);
        call->phase = CallState::Phase::done;
    }
    call->cv.notify_all();
}

void failCall(const std::shared_ptr<CallState>& call, std::string description) {
    complete(call, Failure{std::move(description)});
}

// One live socket to the host. The descriptor is closed when the last holder
// (the worker, the reader, or a caller in the middle of a send) lets go; the
// worker joins the reader before it lets go. `pending` and `alive` belong to
// the connection's mutex: they are reached only through the connection's
// pendingOf() and aliveOf(), which require it held.
struct Session {
    explicit Session(int socket) : fd(socket) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() { ::close(fd); }

    const int fd;
    std::thread reader;

private:
    friend class quorvane::ServiceConnection::Impl;
    std::map<std::uint64_t, std::shared_ptr<CallState>> pending;
    bool alive = true;
};

// The largest call a caller's thread sends itself.
constexpr std::size_t directSendLimit = 16 * 1024;

// The connection whose transport thread this is, if any.
thread_local const void* currentTransportOwner = nullptr;

// Whether the peer runs as our uid in namespaces outside ours, so that its
// program cannot be read from here: the kernel shows its pid as 0 (another
// pid namespace), or refuses its executable with EACCES (another user
// namespace). Any other peer is left to the usual check.
bool hostOutsideOurNamespaces(int socketFd) {
    struct ucred cred {};
    socklen_t length = sizeof cred;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred ||
        cred.uid != ::geteuid()) {
        return false;
    }
    if (cred.pid == 0) {
        return true;
    }
    const std::string executable = "/proc/" + std::to_string(cred.pid) + "/exe";
    const int fd = ::open(executable.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    return errno == EACCES;
}

} // namespace

bool CallHandle::cancel() {
    if (!state_) {
        return false;
    }
    std::function<void(std::optional<std::string>)> onAgentReply;
    std::function<void(std::string)> onControlReply;
    std::function<void(std::string)> onError;
    MutexLock lock(state_->mutex);
    switch (state_->phase) {
    case State::Phase::pending:
        state_->phase = State::Phase::done;
        onAgentReply = std::move(state_->onAgentReply);
        onControlReply = std::move(state_->onControlReply);
        onError = std::move(state_->onError);
        lock.unlock(); // the callbacks are destroyed outside the lock
        return true;
    case State::Phase::running:
        if (state_->runner != std::this_thread::get_id()) {
            while (state_->phase != State::Phase::done) {
                state_->cv.wait(lock);
            }
        }
        return false;
    case State::Phase::done:
        return false;
    }
    return false;
}

// ---- The connection -----------------------------------------------------------------

class ServiceConnection::Impl : public std::enable_shared_from_this<Impl> {
public:
    Impl(std::shared_ptr<QuorvaneClientProtocol> exported, ConnectionOptions options)
        : exported_(std::move(exported)),
          environment_(options.environment ? std::move(*options.environment) : RuntimeEnvironment::current()),
          identityReader_(std::move(options.identityReader)), socketPath_(std::move(options.socketPath)),
          onHostOutsideNamespaces_(socketPath_ ? std::move(options.onHostOutsideNamespaces) : nullptr) {}

    void start() {
        worker_ = std::thread([self = shared_from_this()] { self->workerLoop(); });
    }

    void setInterruptionHandler(std::function<void()> handler) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        if (!stopping_ && !invalidationReported_) {
            onInterruption_ = std::move(handler);
        }
    }

    void setInvalidationHandler(std::function<void()> handler) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        if (!stopping_ && !invalidationReported_) {
            onInvalidation_ = std::move(handler);
        }
    }

    // When the connection is live and idle, a small call is sent at once from
    // the caller's thread without blocking (what the socket does not take is
    // left to the worker); otherwise the worker connects and sends it. Large
    // calls always go through the worker, which measured faster for them.
    CallHandle enqueue(std::shared_ptr<CallState> call) QUORVANE_EXCLUDES(mutex_) {
        CallHandle handle(call);
        MutexLock lock(mutex_);
        if (call->payload.size() <= directSendLimit && !invalidated_ && !stopping_ && session_ &&
            aliveOf(*session_) && outbound_.empty() && !sending_ && !remainder_) {
            const std::uint64_t callId = nextCallId_++;
            Frame frame{FrameKind::call, call->operation, callId, false, std::move(call->payload)};
            std::string bytes = encodeFrame(frame, maxFrameToHost);
            if (!bytes.empty()) {
                std::shared_ptr<Session> session = session_;
                pendingOf(*session).emplace(callId, std::move(call));
                sending_ = true;
                lock.unlock();
                const std::optional<std::size_t> sent = sendAvailable(session->fd, bytes);
                lock.lock();
                sending_ = false;
                if (!sent) {
                    ::shutdown(session->fd, SHUT_RDWR); // the reader fails what is pending
                } else if (*sent < bytes.size()) {
                    bytes.erase(0, *sent);
                    remainder_ = Remainder{std::move(session), std::move(bytes)};
                }
                if (remainder_ || !outbound_.empty()) {
                    cv_.notify_all(); // the worker waits for this send to end
                }
                return handle;
            }
            call->payload = std::move(frame.payload); // the worker reports why it cannot be sent
        }
        outbound_.push_back(std::move(call));
        cv_.notify_all();
        return handle;
    }

    void invalidate() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        if (invalidated_) {
            return;
        }
        invalidated_ = true;
        if (session_) {
            ::shutdown(session_->fd, SHUT_RDWR);
        }
        cv_.notify_all();
    }

    // From the owner's destructor.
    void stop() QUORVANE_EXCLUDES(mutex_) {
        const bool onTransportThread = currentTransportOwner == this;
        {
            MutexLock lock(mutex_);
            stopping_ = true;
            if (session_) {
                ::shutdown(session_->fd, SHUT_RDWR);
            }
        }
        cv_.notify_all();
        // A callback that releases its own connection cannot wait for the
        // thread it runs on; the worker then finishes on its own.
        if (onTransportThread) {
            worker_.detach();
        } else {
            worker_.join();
        }
    }

private:
    // Whether the worker has something to do.
    [[nodiscard]] bool workerHasWork() const QUORVANE_REQUIRES(mutex_) {
        return stopping_ || (invalidated_ && !invalidationReported_) ||
               (!sending_ && (remainder_ || !outbound_.empty()));
    }

    void workerLoop() QUORVANE_EXCLUDES(mutex_) {
        currentTransportOwner = this;
        MutexLock lock(mutex_);
        for (;;) {
            while (!workerHasWork()) {
                cv_.wait(lock);
            }
            if (invalidated_ && !invalidationReported_) {
                invalidationReported_ = true;
                tearDown("the connection was invalidated", true);
                continue;
            }
            if (stopping_) {
                tearDown("the connection was released", false);
                return;
            }
            if (remainder_) {
                // The rest of a frame that a caller began: it goes first.
                Remainder rest = std::move(*remainder_);
                remainder_.reset();
                sending_ = true;
                lock.unlock();
                if (!sendAll(rest.session->fd, rest.bytes)) {
                    ::shutdown(rest.session->fd, SHUT_RDWR);
                }
                rest.session.reset();
                lock.lock();
                sending_ = false;
                continue;
            }
            std::shared_ptr<CallState> call = std::move(outbound_.front());
            outbound_.pop_front();
            if (!call->isPending()) {
                continue; // cancelled before it was sent
            }
            if (invalidated_) {
                lock.unlock();
                failCall(call, "the connection was invalidated");
                lock.lock();
                continue;
            }
            if (!session_ || !aliveOf(*session_)) {
                std::shared_ptr<Session> old = std::move(session_);
                lock.unlock();
                if (old) {
                    old->reader.join();
                    old.reset();
                }
                Result<int> connected = connect(call->operation);
                lock.lock();
                if (!connected) {
                    lock.unlock();
                    failCall(call, connected.error().message);
                    lock.lock();
                    continue;
                }
                session_ = std::make_shared<Session>(*connected);
                if (invalidated_ || stopping_) {
                    ::shutdown(session_->fd, SHUT_RDWR);
                }
                session_->reader = std::thread(
                    [self = shared_from_this(), session = session_] { self->readerLoop(session); });
            }

            const std::uint64_t callId = nextCallId_++;
            std::string bytes = encodeFrame(
                {FrameKind::call, call->operation, callId, false, std::move(call->payload)}, maxFrameToHost);
            if (bytes.empty()) {
                lock.unlock();
                failCall(call, "the message is larger than 4 MiB or not valid UTF-8");
                lock.lock();
                continue;
            }
            pendingOf(*session_).emplace(callId, std::move(call));
            std::shared_ptr<Session> session = session_;
            sending_ = true;
            lock.unlock();
            if (!sendAll(session->fd, bytes)) {
                ::shutdown(session->fd, SHUT_RDWR); // the reader fails what is pending
            }
            bytes.clear();
            session.reset();
            lock.lock();
            sending_ = false;
        }
    }

    // Ends the current session and fails every queued call. Runs the
    // invalidation handler when reporting. Releases the mutex while it waits
    // for the reader and runs callbacks; returns with it held again.
    void tearDown(const std::string& reason, bool report) QUORVANE_REQUIRES(mutex_) {
        std::shared_ptr<Session> session = std::move(session_);
        std::optional<Remainder> remainder = std::move(remainder_);
        remainder_.reset();
        std::deque<std::shared_ptr<CallState>> queued;
        queued.swap(outbound_);
        std::function<void()> onInvalidation = report ? std::move(onInvalidation_) : nullptr;
        std::function<void()> onInterruption = std::move(onInterruption_);
        onInvalidation_ = nullptr;
        onInterruption_ = nullptr;
        std::shared_ptr<QuorvaneClientProtocol> exported = std::move(exported_);
        mutex_.unlock();
        if (session) {
            ::shutdown(session->fd, SHUT_RDWR);
            session->reader.join();
            session.reset();
        }
        remainder.reset();
        for (auto& call : queued) {
            failCall(call, reason);
        }
        if (onInvalidation) {
            try {
                onInvalidation();
            } catch (...) {
            }
        }
        onInvalidation = nullptr;
        onInterruption = nullptr;
        exported.reset();
        mutex_.lock();
    }

    void readerLoop(const std::shared_ptr<Session>& session) QUORVANE_EXCLUDES(mutex_) {
        currentTransportOwner = this;
        std::string reason;
        for (;;) {
            ReadResult read = readFrame(session->fd, maxFrameFromHost);
            if (read.status != ReadStatus::frame) {
                reason = std::string(readStatusText(read.status));
                break;
            }
            Frame& frame = read.frame;
            if (frame.kind == FrameKind::push) {
                deliverPush(frame);
                continue;
            }
            if (frame.kind == FrameKind::call) {
                reason = "the host sent a call";
                break;
            }
            std::shared_ptr<CallState> call;
            {
                MutexLock lock(mutex_);
                auto& pending = pendingOf(*session);
                auto it = pending.find(frame.callId);
                if (it != pending.end()) {
                    call = std::move(it->second);
                    pending.erase(it);
                }
            }
            if (!call) {
                continue; // the answer to a call that was given up
            }
            const bool mismatched = frame.operation != call->operation ||
                                    (frame.replyAbsent && call->operation != Operation::handleAgentMessage);
            if (mismatched) {
                failCall(call, "the host answered with a reply of another operation");
                reason = "the host answered with a reply of another operation";
                break;
            }
            if (frame.kind == FrameKind::failure) {
                failCall(call, "the host refused the call: " + frame.payload);
            } else if (frame.replyAbsent) {
                complete(call, Reply{std::nullopt});
            } else {
                complete(call, Reply{std::move(frame.payload)});
            }
        }

        std::map<std::uint64_t, std::shared_ptr<CallState>> pending;
        std::function<void()> onInterruption;
        std::string failure;
        {
            MutexLock lock(mutex_);
            aliveOf(*session) = false;
            pending.swap(pendingOf(*session));
            if (invalidated_) {
                failure = "the connection was invalidated";
            } else if (stopping_) {
                failure = "the connection was released";
            } else {
                failure = "the connection to the Quorvane host was interrupted: " + reason;
                onInterruption = onInterruption_;
            }
        }
        ::shutdown(session->fd, SHUT_RDWR);
        for (auto& [id, call] : pending) {
            failCall(call, failure);
        }
        if (onInterruption) {
            try {
                onInterruption();
            } catch (...) {
            }
        }
    }

    void deliverPush(const Frame& frame) QUORVANE_EXCLUDES(mutex_) {
        std::shared_ptr<QuorvaneClientProtocol> exported;
        {
            MutexLock lock(mutex_);
            exported = exported_;
        }
        if (!exported) {
            return;
        }
        try {
            if (frame.operation == Operation::deliverAgentNotification) {
                exported->deliverAgentNotification(frame.payload);
            } else {
                exported->controlEvent(frame.payload);
            }
        } catch (...) {
        }
    }

    // The socket for a connection opened by a call of `operation`.
    Result<std::string> socketFor(Operation operation) const {
        if (socketPath_) {
            const std::string& path = *socketPath_;
            const std::size_t slash = path.rfind('/');
            if (path.empty() || path.front() != '/' || path.size() > maxSocketPathLength ||
                slash == path.size() - 1) {
                return fail("cannot reach the Quorvane host: the socket path " + path +
                            " is not an absolute path that fits a local socket address");
            }
            const std::string folder = slash == 0 ? std::string("/") : path.substr(0, slash);
            if (Result<void> checked = checkPrivateFolder(folder, environment_.uid); !checked) {
                return fail("cannot reach the Quorvane host: " + checked.error().message);
            }
            return path;
        }
        const Result<ServicePlaces> resolved = resolveServicePlaces(environment_, FolderUse::existingOnly);
        if (!resolved) {
            return fail("cannot reach the Quorvane host: " + resolved.error().message);
        }
        if (operation != Operation::control) {
            return resolved->socketPath;
        }
        if (Result<void> checked = checkPrivateFolder(resolved->controlDirectory, environment_.uid);
            !checked) {
            return fail("cannot reach the Quorvane host: " + checked.error().message);
        }
        return resolved->controlSocketPath;
    }

    // A connected, verified socket to the host.
    Result<int> connect(Operation operation) {
        const Result<std::string> place = socketFor(operation);
        if (!place) {
            return place.error();
        }
        const std::string& path = *place;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1); // length checked by socketFor

        // Non-blocking connect: a host whose backlog is full answers at once
        // instead of holding this thread.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            return fail(std::string("cannot create a socket: ") + std::strerror(errno));
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EAGAIN) {
                return fail("the Quorvane host is not accepting connections right now");
            }
            if (error == ENOENT || error == ECONNREFUSED) {
                return fail("the Quorvane host is not running");
            }
            return fail("cannot connect to the Quorvane host at " + path + ": " + std::strerror(error));
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            const int error = errno;
            ::close(fd);
            return fail(std::string("cannot set up the connection: ") + std::strerror(error));
        }
        const Result<VerifiedPeer> verified = verifyPeer(fd, quorvaneHostRequirement, identityReader_);
        if (!verified) {
            if (onHostOutsideNamespaces_ && hostOutsideOurNamespaces(fd)) {
                try {
                    onHostOutsideNamespaces_();
                } catch (...) {
                }
                return fd;
            }
            ::close(fd);
            return fail("refusing the service at " + path + ": " + verified.error().message);
        }
        return fd;
    }

    struct Remainder {
        std::shared_ptr<Session> session;
        std::string bytes;
    };

    // A session's calls awaiting replies and whether its reader still runs.
    std::map<std::uint64_t, std::shared_ptr<CallState>>& pendingOf(Session& session)
        QUORVANE_REQUIRES(mutex_) {
        return session.pending;
    }
    bool& aliveOf(Session& session) QUORVANE_REQUIRES(mutex_) { return session.alive; }

    Mutex mutex_;
    std::condition_variable_any cv_;
    std::deque<std::shared_ptr<CallState>> outbound_ QUORVANE_GUARDED_BY(mutex_);
    std::shared_ptr<Session> session_ QUORVANE_GUARDED_BY(mutex_);
    // The unsent end of a caller's frame.
    std::optional<Remainder> remainder_ QUORVANE_GUARDED_BY(mutex_);
    // A thread is writing to the session's socket.
    bool sending_ QUORVANE_GUARDED_BY(mutex_) = false;
    std::uint64_t nextCallId_ QUORVANE_GUARDED_BY(mutex_) = 1;
    bool invalidated_ QUORVANE_GUARDED_BY(mutex_) = false;
    bool invalidationReported_ QUORVANE_GUARDED_BY(mutex_) = false;
    bool stopping_ QUORVANE_GUARDED_BY(mutex_) = false;
    std::function<void()> onInterruption_ QUORVANE_GUARDED_BY(mutex_);
    std::function<void()> onInvalidation_ QUORVANE_GUARDED_BY(mutex_);
    std::shared_ptr<QuorvaneClientProtocol> exported_ QUORVANE_GUARDED_BY(mutex_);

    const RuntimeEnvironment environment_;
    const ProgramIdentityReader identityReader_;
    const std::optional<std::string> socketPath_;
    const std::function<void()> onHostOutsideNamespaces_;
    std::thread worker_;
};

ServiceConnection::ServiceConnection(std::shared_ptr<QuorvaneClientProtocol> exported,
                                     ConnectionOptions options)
    : impl_(std::make_shared<Impl>(std::move(exported), std::move(options))) {
    impl_->start();
}

ServiceConnection::~ServiceConnection() {
    impl_->stop();
}

void ServiceConnection::setInterruptionHandler(std::function<void()> handler) {
    impl_->setInterruptionHandler(std::move(handler));
}

void ServiceConnection::setInvalidationHandler(std::function<void()> handler) {
    impl_->setInvalidationHandler(std::move(handler));
}

CallHandle ServiceConnection::handleAgentMessage(std::string message,
                                                 std::function<void(std::optional<std::string>)> onReply,
                                                 std::function<void(std::string)> onError) {
    return impl_->enqueue(std::make_shared<CallState>(Operation::handleAgentMessage, std::move(message),
                                                      std::move(onReply), nullptr, std::move(onError)));
}

CallHandle ServiceConnection::control(std::string request, std::function<void(std::string)> onReply,
                                      std::function<void(std::string)> onError) {
    return impl_->enqueue(std::make_shared<CallState>(Operation::control, std::move(request), nullptr,
                                                      std::move(onReply), std::move(onError)));
}

void ServiceConnection::invalidate() {
    impl_->invalidate();
}

} // namespace quorvane
