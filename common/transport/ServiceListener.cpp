#include "common/transport/ServiceListener.h"

#include "common/ThreadSafety.h"
#include "common/transport/Frame.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvane {

// ---- ServiceLock ------------------------------------------------------------------

ServiceLock::Result ServiceLock::acquire(const ServicePlaces& places) {
    const int fd = ::open(places.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return {Status::failed, std::nullopt,
                "cannot open the lock file " + places.lockPath + ": " + std::strerror(errno)};
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return {Status::failed, std::nullopt,
                "refusing the lock file " + places.lockPath + ": it is not a regular file of ours"};
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            return {Status::alreadyRunning, std::nullopt, "another host is already running"};
        }
        return {Status::failed, std::nullopt, "cannot lock " + places.lockPath + ": " + std::strerror(error)};
    }
    return {Status::acquired, ServiceLock(places, fd), {}};
}

ServiceLock::ServiceLock(ServiceLock&& other) noexcept
    : places_(std::move(other.places_)), fd_(std::exchange(other.fd_, -1)) {
}

ServiceLock& ServiceLock::operator=(ServiceLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        places_ = std::move(other.places_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

ServiceLock::~ServiceLock() {
    if (fd_ >= 0) {
        ::close(fd_); // releases the flock
    }
}

std::string_view socketName(ServiceSocket socket) {
    return socket == ServiceSocket::control ? "control" : "agent";
}

// ---- One accepted connection ------------------------------------------------------

namespace {

// The program each socket admits.
bool socketAdmits(ServiceSocket socket, ProgramRole role) {
    switch (socket) {
    case ServiceSocket::agent:
        return role == ProgramRole::bridge || role == ProgramRole::app;
    case ServiceSocket::control:
        return role == ProgramRole::app;
    }
    return false;
}

// A call must suit both the socket and the program: the socket is the role,
// the program's own role a second lock.
std::optional<std::string> refusalOf(ServiceSocket socket, ProgramRole role, Operation operation) {
    const Operation carried =
        socket == ServiceSocket::control ? Operation::control : Operation::handleAgentMessage;
    if (operation != carried) {
        return "the " + std::string(socketName(socket)) + " socket does not carry " +
               std::string(operationName(operation));
    }
    const bool programMay = (role == ProgramRole::bridge && operation == Operation::handleAgentMessage) ||
                            (role == ProgramRole::app && operation == Operation::control);
    if (!programMay) {
        return "the " + std::string(roleName(role)) + " may not call " +
               std::string(operationName(operation));
    }
    return std::nullopt;
}

// The largest frame a host sends from the replying or pushing thread.
constexpr std::size_t directSendLimit = 16 * 1024;

std::string failureFrame(std::uint64_t callId, Operation operation, std::string description) {
    return encodeFrame({FrameKind::failure, operation, callId, false, std::move(description)},
                       maxFrameFromHost);
}

class AcceptedConnection : public std::enable_shared_from_this<AcceptedConnection> {
public:
    AcceptedConnection(int fd, std::size_t maxPushes, std::size_t maxPushBytes)
        : fd_(fd), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), maxPushes_(maxPushes),
          maxPushBytes_(maxPushBytes) {}

    ~AcceptedConnection() {
        if (wakeFd_ >= 0) {
            ::close(wakeFd_);
        }
    }

    AcceptedConnection(const AcceptedConnection&) = delete;
    AcceptedConnection& operator=(const AcceptedConnection&) = delete;

    int fd() const { return fd_; }

    // No more writes; wakes the writer, the dispatcher and (through shutdown)
    // the reader. Idempotent; any thread.
    void beginClose() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        closeLocked();
    }

    bool isClosing() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return closing_;
    }

    // Sends or queues a push; a peer whose queue passes the bound is cut off.
    // Never blocks.
    void enqueuePush(std::string bytes) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        if (closing_) {
            return;
        }
        if (!queue_.empty() &&
            (queuedPushes_ + 1 > maxPushes_ || queuedPushBytes_ + bytes.size() > maxPushBytes_)) {
            closeLocked();
            return;
        }
        submitLocked(std::move(bytes), true);
    }

    // Sends or queues a reply frame; ends the dispatcher's wait for that call.
    void finishCall(std::uint64_t callId, std::string bytes) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        if (callId == currentCall_) {
            currentDone_ = true;
            if (dispatcherPolling_) {
                wakeDispatcher();
            }
        }
        if (!closing_ && !bytes.empty()) {
            submitLocked(std::move(bytes), false);
        }
    }

    void beginCall(std::uint64_t callId) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        currentCall_ = callId;
        currentDone_ = false;
    }

    // Waits until the current call was answered or the connection is closing.
    // Meanwhile it watches the socket, so that a peer that hangs up while a
    // service holds its reply is noticed at once. (A peer that only shut down
    // its writing side still gets its reply.)
    void awaitCall() QUORVANE_EXCLUDES(mutex_) {
        for (;;) {
            {
                MutexLock lock(mutex_);
                dispatcherPolling_ = !(currentDone_ || closing_);
                if (!dispatcherPolling_) {
                    return;
                }
            }
            pollfd fds[2] = {{fd_, 0, 0}, {wakeFd_, POLLIN, 0}};
            const int n = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, wakeFd_ >= 0 ? -1 : 100);
            if (n < 0 && errno != EINTR) {
                beginClose();
                return;
            }
            if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                beginClose();
                return;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = ::read(wakeFd_, &count, sizeof count);
            }
        }
    }

    // Writes what the direct path could not: blocking sends, in order.
    void runWriter() QUORVANE_EXCLUDES(mutex_) {
        for (;;) {
            Outgoing next;
            {
                MutexLock lock(mutex_);
                while (!closing_ && (queue_.empty() || sending_)) {
                    cv_.wait(lock);
                }
                if (closing_) {
                    return;
                }
                next = std::move(queue_.front());
                queue_.pop_front();
                if (next.push) {
                    queuedPushes_ -= 1;
                    queuedPushBytes_ -= next.bytes.size();
                }
                sending_ = true;
            }
            const bool sent = sendAll(fd_, next.bytes);
            MutexLock lock(mutex_);
            sending_ = false;
            if (!sent) {
                closeLocked();
                return;
            }
        }
    }

    // After the reader and the writer are done; waits out a direct send.
    void closeSocket() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        while (sending_) {
            cv_.wait(lock);
        }
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    std::shared_ptr<QuorvaneClientProtocol> proxy;

private:
    struct Outgoing {
        std::string bytes;
        bool push = false;
    };

    // Hands a frame to the socket. A small frame, when nothing is queued or
    // being written, is sent at once from this thread without blocking;
    // whatever the socket does not take then goes to the front of the queue
    // for the writer. Large frames always go through the writer: measured
    // under load, sending them from the replying thread made round trips of
    // 64 KiB ten times slower, while small frames gain from skipping a
    // thread hand-off.
    // Called when not closing; may drop the lock meanwhile.
    void submitLocked(std::string bytes, bool push) QUORVANE_REQUIRES(mutex_) {
        std::size_t sent = 0;
        if (bytes.size() <= directSendLimit && queue_.empty() && !sending_) {
            sending_ = true;
            mutex_.unlock();
            const std::optional<std::size_t> taken = sendAvailable(fd_, bytes);
            mutex_.lock();
            sending_ = false;
            if (!queue_.empty() || closing_) {
                cv_.notify_all(); // the writer, or closeSocket, waits for this send to end
            }
            if (!taken) {
                closeLocked();
                return;
            }
            sent = *taken;
            if (sent == bytes.size() || closing_) {
                return;
            }
            bytes.erase(0, sent);
        }
        if (push) {
            queuedPushes_ += 1;
            queuedPushBytes_ += bytes.size();
        }
        if (sent > 0) {
            queue_.push_front({std::move(bytes), push}); // the rest of a frame already begun
        } else {
            queue_.push_back({std::move(bytes), push});
        }
        cv_.notify_all();
    }

    void closeLocked() QUORVANE_REQUIRES(mutex_) {
        if (!closing_) {
            closing_ = true;
            queue_.clear();
            queuedPushes_ = 0;
            queuedPushBytes_ = 0;
            if (fd_ >= 0) {
                ::shutdown(fd_, SHUT_RDWR);
            }
            wakeDispatcher();
            cv_.notify_all();
        }
    }

    void wakeDispatcher() {
        if (wakeFd_ >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
        }
    }

    // Read without the lock by the threads that use the socket; closeSocket()
    // changes it only after they are done (and under the lock, against a
    // direct send still under way).
    int fd_;
    const int wakeFd_; // wakes the dispatcher's wait for an answer
    const std::size_t maxPushes_;
    const std::size_t maxPushBytes_;
    Mutex mutex_;
    std::condition_variable_any cv_;
    std::deque<Outgoing> queue_ QUORVANE_GUARDED_BY(mutex_);
    std::size_t queuedPushes_ QUORVANE_GUARDED_BY(mutex_) = 0;
    std::size_t queuedPushBytes_ QUORVANE_GUARDED_BY(mutex_) = 0;
    bool closing_ QUORVANE_GUARDED_BY(mutex_) = false;
    // A thread is writing to the socket.
    bool sending_ QUORVANE_GUARDED_BY(mutex_) = false;
    bool dispatcherPolling_ QUORVANE_GUARDED_BY(mutex_) = false;
    std::uint64_t currentCall_ QUORVANE_GUARDED_BY(mutex_) = 0;
    bool currentDone_ QUORVANE_GUARDED_BY(mutex_) = true;
};

// The push proxy handed to the owner; refers to its connection weakly.
class PushProxy final : public QuorvaneClientProtocol {
public:
    explicit PushProxy(std::weak_ptr<AcceptedConnection> connection) : connection_(std::move(connection)) {}

    void deliverAgentNotification(const std::string& line) override {
        push(Operation::deliverAgentNotification, line);
    }
    void controlEvent(const std::string& json) override { push(Operation::controlEvent, json); }

private:
    void push(Operation operation, const std::string& payload) {
        auto connection = connection_.lock();
        if (!connection) {
            return;
        }
        std::string bytes = encodeFrame({FrameKind::push, operation, 0, false, payload}, maxFrameFromHost);
        if (!bytes.empty()) {
            connection->enqueuePush(std::move(bytes));
        }
    }

    std::weak_ptr<AcceptedConnection> connection_;
};

// Answers one call exactly once: the first answer counts, and a slot released
// without an answer sends a failure.
class ReplySlot {
public:
    ReplySlot(std::weak_ptr<AcceptedConnection> connection, std::uint64_t callId, Operation operation)
        : connection_(std::move(connection)), callId_(callId), operation_(operation) {}

    ReplySlot(const ReplySlot&) = delete;
    ReplySlot& operator=(const ReplySlot&) = delete;

    ~ReplySlot() { fail("the service dropped the call without replying"); }

    void reply(std::optional<std::string> text) {
        if (answered_.exchange(true)) {
            return;
        }
        const bool absent = !text.has_value();
        std::string bytes = encodeFrame(
            {FrameKind::reply, operation_, callId_, absent, text.value_or(std::string())}, maxFrameFromHost);
        if (bytes.empty()) {
            bytes = failureFrame(callId_, operation_, "the service's reply is too large or not valid UTF-8");
        }
        deliver(std::move(bytes));
    }

    void fail(std::string description) {
        if (answered_.exchange(true)) {
            return;
        }
        deliver(failureFrame(callId_, operation_, std::move(description)));
    }

private:
    void deliver(std::string bytes) {
        if (auto connection = connection_.lock()) {
            connection->finishCall(callId_, std::move(bytes));
        }
    }

    std::weak_ptr<AcceptedConnection> connection_;
    const std::uint64_t callId_;
    const Operation operation_;
    std::atomic<bool> answered_{false};
};

} // namespace

// ---- The listener -----------------------------------------------------------------

class ServiceListener::Impl {
public:
    Impl(ServiceLock lock, int agentFd, int controlFd, int wakeFd, AcceptHandler onAccept,
         ListenerOptions options)
        : lock_(std::move(lock)), agentFd_(agentFd), controlFd_(controlFd), wakeFd_(wakeFd),
          onAccept_(std::move(onAccept)), options_(std::move(options)) {}

    void startAccepting() {
        acceptThread_ = std::thread([this] { acceptLoop(); });
    }

    void stop() QUORVANE_EXCLUDES(mutex_) {
        {
            MutexLock lock(mutex_);
            stopping_ = true;
        }
        wake();
        if (acceptThread_.joinable()) {
            acceptThread_.join();
        }
        std::map<std::uint64_t, Entry> entries;
        {
            MutexLock lock(mutex_);
            for (auto& [key, entry] : entries_) {
                entry.connection->beginClose();
            }
            entries.swap(entries_);
        }
        for (auto& [key, entry] : entries) {
            if (entry.thread.joinable()) {
                entry.thread.join();
            }
        }
        ::close(agentFd_);
        ::close(controlFd_);
        ::unlink(lock_.places().socketPath.c_str());
        ::unlink(lock_.places().controlSocketPath.c_str());
        ::close(wakeFd_);
    }

    std::size_t openCount() const QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return openCount_;
    }

private:
    struct Entry {
        std::thread thread;
        std::shared_ptr<AcceptedConnection> connection;
    };

    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }

    // Joins the threads of connections that have ended.
    void reapFinished() QUORVANE_EXCLUDES(mutex_) {
        std::vector<std::thread> done;
        {
            MutexLock lock(mutex_);
            for (std::uint64_t key : finished_) {
                auto it = entries_.find(key);
                if (it != entries_.end()) {
                    done.push_back(std::move(it->second.thread));
                    entries_.erase(it);
                }
            }
            finished_.clear();
        }
        for (auto& thread : done) {
            thread.join();
        }
    }

    void acceptLoop() QUORVANE_EXCLUDES(mutex_) {
        bool backOff = false;
        for (;;) {
            pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {agentFd_, POLLIN, 0}, {controlFd_, POLLIN, 0}};
            // Out of descriptors: the pending connection stays readable, so
            // wait a little before trying again instead of spinning.
            const int n = ::poll(fds, 3, backOff ? 100 : -1);
            if (n < 0 && errno != EINTR) {
                return;
            }
            if (n > 0 && (fds[0].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = ::read(wakeFd_, &count, sizeof count);
            }
            reapFinished();
            {
                MutexLock lock(mutex_);
                if (stopping_) {
                    return;
                }
            }
            if (n <= 0) {
                continue;
            }
            backOff = false;
            for (const auto& [index, socket] :
                 {std::pair{1, ServiceSocket::agent}, {2, ServiceSocket::control}}) {
                if ((fds[index].revents & POLLIN) == 0) {
                    continue;
                }
                const int fd = ::accept4(fds[index].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) {
                    backOff =
                        backOff || errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
                    continue;
                }
                adopt(fd, socket);
            }
        }
    }

    void adopt(int fd, ServiceSocket socket) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        if (entries_.size() >= options_.maxConnections) {
            ::close(fd);
            return;
        }
        const std::uint64_t key = nextKey_++;
        auto connection =
            std::make_shared<AcceptedConnection>(fd, options_.maxQueuedPushes, options_.maxQueuedPushBytes);
        try {
            entries_[key] = Entry{
                std::thread([this, key, connection, socket] { serve(key, connection, socket); }), connection};
        } catch (...) {
            entries_.erase(key);
            ::close(fd);
        }
    }

    void serve(std::uint64_t key, const std::shared_ptr<AcceptedConnection>& connection, ServiceSocket socket)
        QUORVANE_EXCLUDES(mutex_) {
        const Result<VerifiedPeer> verified =
            verifyPeer(connection->fd(), quorvaneCallerRequirement, options_.identityReader);
        bool admitted = false;
        if (verified && socketAdmits(socket, verified->role)) {
            MutexLock lock(mutex_);
            if (!stopping_) {
                admitted = true;
                openCount_ += 1;
            }
        }
        if (admitted) {
            run(connection, verified->role, verified->pid, socket);
            MutexLock lock(mutex_);
            openCount_ -= 1;
        }
        connection->closeSocket();
        {
            MutexLock lock(mutex_);
            finished_.push_back(key);
        }
        wake();
    }

    void run(const std::shared_ptr<AcceptedConnection>& connection, ProgramRole role, pid_t pid,
             ServiceSocket socket) {
        std::weak_ptr<AcceptedConnection> weak = connection;
        connection->proxy = std::make_shared<PushProxy>(weak);
        AcceptedPeer peer;
        peer.role = role;
        peer.pid = pid;
        peer.socket = socket;
        peer.clientProxy = [weak]() -> std::shared_ptr<QuorvaneClientProtocol> {
            auto live = weak.lock();
            if (!live || live->isClosing()) {
                return nullptr;
            }
            return live->proxy;
        };

        ConnectionSetup setup;
        try {
            setup = onAccept_(peer);
        } catch (...) {
            setup = {};
        }
        if (!setup.service) {
            connection->beginClose();
            return;
        }

        std::thread writer([connection] { connection->runWriter(); });
        serveCalls(connection, role, socket, *setup.service);
        connection->beginClose();
        writer.join();

        if (setup.onClosed) {
            try {
                setup.onClosed();
            } catch (...) {
            }
        }
    }

    void serveCalls(const std::shared_ptr<AcceptedConnection>& connection, ProgramRole role,
                    ServiceSocket socket, QuorvaneServiceProtocol& service) {
        for (;;) {
            ReadResult read = readFrame(connection->fd(), maxFrameToHost);
            if (read.status != ReadStatus::frame || read.frame.kind != FrameKind::call) {
                return; // closed, or a frame a client may not send
            }
            Frame& call = read.frame;
            connection->beginCall(call.callId);
            auto slot = std::make_shared<ReplySlot>(connection, call.callId, call.operation);
            if (const auto refusal = refusalOf(socket, role, call.operation)) {
                slot->fail(*refusal);
            } else {
                try {
                    if (call.operation == Operation::handleAgentMessage) {
                        service.handleAgentMessage(call.payload, [slot](std::optional<std::string> reply) {
                            slot->reply(std::move(reply));
                        });
                    } else {
                        service.control(call.payload,
                                        [slot](std::string reply) { slot->reply(std::move(reply)); });
                    }
                } catch (...) {
                    slot->fail("the service failed to handle the call");
                }
            }
            slot.reset(); // a service that dropped its callback has now answered with a failure
            connection->awaitCall();
        }
    }

    ServiceLock lock_;
    const int agentFd_;
    const int controlFd_;
    const int wakeFd_;
    const AcceptHandler onAccept_;
    const ListenerOptions options_;
    std::thread acceptThread_;

    mutable Mutex mutex_;
    std::map<std::uint64_t, Entry> entries_ QUORVANE_GUARDED_BY(mutex_);
    std::vector<std::uint64_t> finished_ QUORVANE_GUARDED_BY(mutex_);
    std::uint64_t nextKey_ QUORVANE_GUARDED_BY(mutex_) = 1;
    std::size_t openCount_ QUORVANE_GUARDED_BY(mutex_) = 0;
    bool stopping_ QUORVANE_GUARDED_BY(mutex_) = false;
};

namespace {

// A listening socket at `path`, replacing a stale one.
Result<int> listenAt(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() > maxSocketPathLength || path.size() >= sizeof address.sun_path) {
        return fail("the service socket path " + path + " does not fit a local socket address");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return fail("cannot remove the stale socket " + path + ": " + std::strerror(errno));
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return fail(std::string("cannot create the service socket: ") + std::strerror(errno));
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        return fail("cannot bind the service socket " + path + ": " + std::strerror(error));
    }
    if (::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return fail("cannot listen on " + path + ": " + std::strerror(error));
    }
    return fd;
}

} // namespace

Result<std::unique_ptr<ServiceListener>> ServiceListener::start(ServiceLock lock, AcceptHandler onAccept,
                                                                ListenerOptions options) {
    // The control socket first: whoever sees the agent socket accept (a
    // bridge, the app waiting for a host it started) finds both ready.
    const ServicePlaces& places = lock.places();
    const Result<int> controlFd = listenAt(places.controlSocketPath);
    if (!controlFd) {
        return controlFd.error();
    }
    const Result<int> agentFd = listenAt(places.socketPath);
    if (!agentFd) {
        ::close(*controlFd);
        ::unlink(places.controlSocketPath.c_str());
        return agentFd.error();
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        const int error = errno;
        for (const auto& [fd, path] :
             {std::pair{*agentFd, &places.socketPath}, {*controlFd, &places.controlSocketPath}}) {
            ::close(fd);
            ::unlink(path->c_str());
        }
        return fail(std::string("cannot create an event descriptor: ") + std::strerror(error));
    }
    auto impl = std::make_shared<Impl>(std::move(lock), *agentFd, *controlFd, wakeFd, std::move(onAccept),
                                       std::move(options));
    impl->startAccepting();
    return std::unique_ptr<ServiceListener>(new ServiceListener(std::move(impl)));
}

ServiceListener::ServiceListener(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {
}

ServiceListener::~ServiceListener() {
    impl_->stop();
}

std::size_t ServiceListener::openConnectionCount() const {
    return impl_->openCount();
}

} // namespace quorvane
