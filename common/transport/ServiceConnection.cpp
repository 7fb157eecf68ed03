#include "common/transport/ServiceConnection.h"

#include "common/transport/Frame.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
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

    Operation operation = Operation::handleAgentMessage;
    std::string payload; // touched only by the worker

    std::mutex mutex;
    std::condition_variable cv;
    Phase phase = Phase::pending;
    std::thread::id runner;
    std::function<void(std::optional<std::string>)> onAgentReply;
    std::function<void(std::string)> onControlReply;
    std::function<void(std::string)> onError;

    bool isPending() {
        std::lock_guard lock(mutex);
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
        std::lock_guard lock(call->mutex);
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
        std::lock_guard lock(call->mutex);
        call->phase = CallState::Phase::done;
    }
    call->cv.notify_all();
}

void fail(const std::shared_ptr<CallState>& call, std::string description) {
    complete(call, Failure{std::move(description)});
}

// One live socket to the host. The descriptor is closed when the last holder
// (the worker, the reader, or a caller in the middle of a send) lets go; the
// worker joins the reader before it lets go.
struct Session {
    explicit Session(int socket) : fd(socket) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() { ::close(fd); }

    const int fd;
    std::thread reader;
    std::map<std::uint64_t, std::shared_ptr<CallState>> pending; // guarded by the Impl's mutex
    bool alive = true;                                           // guarded by the Impl's mutex
};

// The largest call a caller's thread sends itself.
constexpr std::size_t kDirectSendLimit = 16 * 1024;

// The connection whose transport thread this is, if any.
thread_local const void* currentTransportOwner = nullptr;

struct Connected {
    int fd = -1;
    std::string error;
};

} // namespace

bool CallHandle::cancel() {
    if (!state_) {
        return false;
    }
    std::function<void(std::optional<std::string>)> onAgentReply;
    std::function<void(std::string)> onControlReply;
    std::function<void(std::string)> onError;
    std::unique_lock lock(state_->mutex);
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
            state_->cv.wait(lock, [&] { return state_->phase == State::Phase::done; });
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
          identityReader_(std::move(options.identityReader)) {}

    void start() {
        worker_ = std::thread([self = shared_from_this()] { self->workerLoop(); });
    }

    void setInterruptionHandler(std::function<void()> handler) {
        std::lock_guard lock(mutex_);
        if (!stopping_ && !invalidationReported_) {
            onInterruption_ = std::move(handler);
        }
    }

    void setInvalidationHandler(std::function<void()> handler) {
        std::lock_guard lock(mutex_);
        if (!stopping_ && !invalidationReported_) {
            onInvalidation_ = std::move(handler);
        }
    }

    // When the connection is live and idle, a small call is sent at once from
    // the caller's thread without blocking (what the socket does not take is
    // left to the worker); otherwise the worker connects and sends it. Large
    // calls always go through the worker, which measured faster for them.
    CallHandle enqueue(std::shared_ptr<CallState> call) {
        CallHandle handle(call);
        std::unique_lock lock(mutex_);
        if (call->payload.size() <= kDirectSendLimit && !invalidated_ && !stopping_ && session_ &&
            session_->alive && outbound_.empty() && !sending_ && !remainder_) {
            const std::uint64_t callId = nextCallId_++;
            Frame frame{FrameKind::call, call->operation, callId, false, std::move(call->payload)};
            std::string bytes = encodeFrame(frame, kMaxFrameToHost);
            if (!bytes.empty()) {
                std::shared_ptr<Session> session = session_;
                session->pending.emplace(callId, std::move(call));
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

    void invalidate() {
        std::lock_guard lock(mutex_);
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
    void stop() {
        const bool onTransportThread = currentTransportOwner == this;
        {
            std::lock_guard lock(mutex_);
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
    void workerLoop() {
        currentTransportOwner = this;
        std::unique_lock lock(mutex_);
        for (;;) {
            cv_.wait(lock, [&] {
                return stopping_ || (invalidated_ && !invalidationReported_) ||
                       (!sending_ && (remainder_ || !outbound_.empty()));
            });
            if (invalidated_ && !invalidationReported_) {
                invalidationReported_ = true;
                tearDown(lock, "the connection was invalidated", true);
                continue;
            }
            if (stopping_) {
                tearDown(lock, "the connection was released", false);
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
                fail(call, "the connection was invalidated");
                lock.lock();
                continue;
            }
            if (!session_ || !session_->alive) {
                std::shared_ptr<Session> old = std::move(session_);
                lock.unlock();
                if (old) {
                    old->reader.join();
                    old.reset();
                }
                Connected connected = connect();
                lock.lock();
                if (connected.fd < 0) {
                    lock.unlock();
                    fail(call, std::move(connected.error));
                    lock.lock();
                    continue;
                }
                session_ = std::make_shared<Session>(connected.fd);
                if (invalidated_ || stopping_) {
                    ::shutdown(session_->fd, SHUT_RDWR);
                }
                session_->reader = std::thread(
                    [self = shared_from_this(), session = session_] { self->readerLoop(session); });
            }

            const std::uint64_t callId = nextCallId_++;
            std::string bytes = encodeFrame(
                {FrameKind::call, call->operation, callId, false, std::move(call->payload)}, kMaxFrameToHost);
            if (bytes.empty()) {
                lock.unlock();
                fail(call, "the message is larger than 4 MiB or not valid UTF-8");
                lock.lock();
                continue;
            }
            session_->pending.emplace(callId, std::move(call));
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
    // invalidation handler when reporting. Called with the lock held; returns
    // with it held.
    void tearDown(std::unique_lock<std::mutex>& lock, const std::string& reason, bool report) {
        std::shared_ptr<Session> session = std::move(session_);
        std::deque<std::shared_ptr<CallState>> queued;
        queued.swap(outbound_);
        std::function<void()> onInvalidation = report ? std::move(onInvalidation_) : nullptr;
        std::function<void()> onInterruption = std::move(onInterruption_);
        onInvalidation_ = nullptr;
        onInterruption_ = nullptr;
        std::shared_ptr<QuorvaneClientProtocol> exported = std::move(exported_);
        lock.unlock();
        if (session) {
            ::shutdown(session->fd, SHUT_RDWR);
            session->reader.join();
            session.reset();
        }
        remainder_.reset();
        for (auto& call : queued) {
            fail(call, reason);
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
        lock.lock();
    }

    void readerLoop(const std::shared_ptr<Session>& session) {
        currentTransportOwner = this;
        std::string reason;
        for (;;) {
            ReadResult read = readFrame(session->fd, kMaxFrameFromHost);
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
                std::lock_guard lock(mutex_);
                auto it = session->pending.find(frame.callId);
                if (it != session->pending.end()) {
                    call = std::move(it->second);
                    session->pending.erase(it);
                }
            }
            if (!call) {
                continue; // the answer to a call that was given up
            }
            const bool mismatched = frame.operation != call->operation ||
                                    (frame.replyAbsent && call->operation != Operation::handleAgentMessage);
            if (mismatched) {
                fail(call, "the host answered with a reply of another operation");
                reason = "the host answered with a reply of another operation";
                break;
            }
            if (frame.kind == FrameKind::failure) {
                fail(call, "the host refused the call: " + frame.payload);
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
            std::lock_guard lock(mutex_);
            session->alive = false;
            pending.swap(session->pending);
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
            fail(call, failure);
        }
        if (onInterruption) {
            try {
                onInterruption();
            } catch (...) {
            }
        }
    }

    void deliverPush(const Frame& frame) {
        std::shared_ptr<QuorvaneClientProtocol> exported;
        {
            std::lock_guard lock(mutex_);
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

    Connected connect() {
        PlacesResult resolved = resolveServicePlaces(environment_, FolderUse::existingOnly);
        if (!resolved.places) {
            return {-1, "cannot reach the Quorvane host: " + resolved.error};
        }
        const std::string& path = resolved.places->socketPath;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(),
                    path.size() + 1); // length checked by resolveServicePlaces

        // Non-blocking connect: a host whose backlog is full answers at once
        // instead of holding this thread.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            return {-1, std::string("cannot create a socket: ") + std::strerror(errno)};
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EAGAIN) {
                return {-1, "the Quorvane host is not accepting connections right now"};
            }
            if (error == ENOENT || error == ECONNREFUSED) {
                return {-1, "the Quorvane host is not running"};
            }
            return {-1, "cannot connect to the Quorvane host at " + path + ": " + std::strerror(error)};
        }
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            const int error = errno;
            ::close(fd);
            return {-1, std::string("cannot set up the connection: ") + std::strerror(error)};
        }
        const PeerVerdict verdict = verifyPeer(fd, quorvaneHostRequirement, identityReader_);
        if (!verdict.role) {
            ::close(fd);
            return {-1, "refusing the service at " + path + ": " + verdict.refusal};
        }
        return {fd, {}};
    }

    struct Remainder {
        std::shared_ptr<Session> session;
        std::string bytes;
    };

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<CallState>> outbound_;
    std::shared_ptr<Session> session_;
    std::optional<Remainder> remainder_; // the unsent end of a caller's frame
    bool sending_ = false;               // a thread is writing to the session's socket
    std::uint64_t nextCallId_ = 1;
    bool invalidated_ = false;
    bool invalidationReported_ = false;
    bool stopping_ = false;
    std::function<void()> onInterruption_;
    std::function<void()> onInvalidation_;
    std::shared_ptr<QuorvaneClientProtocol> exported_;

    const RuntimeEnvironment environment_;
    const ProgramIdentityReader identityReader_;
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
    auto call = std::make_shared<CallState>();
    call->operation = Operation::handleAgentMessage;
    call->payload = std::move(message);
    call->onAgentReply = std::move(onReply);
    call->onError = std::move(onError);
    return impl_->enqueue(std::move(call));
}

CallHandle ServiceConnection::control(std::string request, std::function<void(std::string)> onReply,
                                      std::function<void(std::string)> onError) {
    auto call = std::make_shared<CallState>();
    call->operation = Operation::control;
    call->payload = std::move(request);
    call->onControlReply = std::move(onReply);
    call->onError = std::move(onError);
    return impl_->enqueue(std::move(call));
}

void ServiceConnection::invalidate() {
    impl_->invalidate();
}

} // namespace quorvane
