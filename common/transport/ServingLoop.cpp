#include "common/transport/ServingLoop.h"

#include "common/ThreadSafety.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace quorvane {

namespace {

// A frame at least this large leaves enough freed memory behind to be worth
// handing back to the system once it is gone.
constexpr std::size_t largeFrameBytes = 1u << 20;

// What one read takes from a socket at most (a larger frame is gathered over
// several reads), in a buffer of the serving thread's own.
constexpr std::size_t readChunkBytes = 64 * 1024;

// Read room a connection keeps between calls; more is given back.
constexpr std::size_t keptInputBytes = 4 * 1024;

// The epoll key of the stop event; connections count from 1.
constexpr std::uint64_t stopKey = 0;

// Hands freed heap memory back to the system. The allocator otherwise keeps
// the memory of large replies and calls (freed in the middle of its arenas),
// and a host that served a burst of them stays large while idle. One thread
// trims at a time; the others skip it.
void releaseFreedMemory() {
#ifdef __GLIBC__
    static std::atomic<bool> trimming{false};
    if (!trimming.exchange(true)) {
        ::malloc_trim(0);
        trimming = false;
    }
#endif
}

// Frame bytes read and queued since memory was last handed back. Replies
// built from many medium pieces (a page of entries, a snapshot) leave freed
// memory behind as well as one large frame does.
std::atomic<std::size_t> trafficSinceRelease{0};

void countTraffic(std::size_t bytes) {
    trafficSinceRelease += bytes;
}

// How long the host must be quiet after traffic before it hands freed memory
// back in any case.
constexpr int quietMillis = 200;

// Hands memory back once enough traffic went through since the last time.
void releaseFreedMemoryWhenDue() {
    if (trafficSinceRelease.load() >= largeFrameBytes) {
        trafficSinceRelease = 0;
        releaseFreedMemory();
    }
}

EncodedFrame failureFrame(std::uint64_t callId, Operation operation, std::string description) {
    return encodeFrameParts({FrameKind::failure, operation, callId, false, std::move(description)},
                            maxFrameFromHost);
}

class Connection;

// The pushes queued across all connections of one loop, and the connections
// that hold them, so that the one holding the most can be cut off when the
// total would pass its bound. Thread-safe; its lock is never held together
// with a connection's.
class PushBudget {
public:
    PushBudget(std::size_t limit, std::function<void(const std::string&)> onNote)
        : limit_(limit), onNote_(std::move(onNote)) {}

    void add(std::size_t bytes) { total_ += bytes; }
    void remove(std::size_t bytes) { total_ -= bytes; }
    [[nodiscard]] bool wouldPass(std::size_t bytes) const { return total_.load() + bytes > limit_; }

    void join(const std::shared_ptr<Connection>& connection) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        members_[connection.get()] = connection;
    }
    void leave(const Connection* connection) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        members_.erase(connection);
    }

    // Closes the connection with the most queued push bytes, if any holds some.
    void cutSlowestReader() QUORVANE_EXCLUDES(mutex_);

private:
    const std::size_t limit_;
    const std::function<void(const std::string&)> onNote_;
    std::atomic<std::size_t> total_{0};
    Mutex mutex_;
    std::map<const Connection*, std::weak_ptr<Connection>> members_ QUORVANE_GUARDED_BY(mutex_);
};

// What the serving thread is to do next with a connection.
enum class Step { idle, call, finish };

// One accepted socket and its state. Every field is the connection's mutex's;
// the socket is read and written under it, without waiting (the service is
// never called under it).
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(std::uint64_t key, int fd, int origin, int epollFd, const ServingOptions& options,
               std::shared_ptr<PushBudget> budget)
        : key_(key), origin_(origin), epollFd_(epollFd), maxPushes_(options.maxQueuedPushes),
          maxPushBytes_(options.maxQueuedPushBytes), maxUnsent_(options.maxUnsentBytes),
          budget_(std::move(budget)), fd_(fd) {}

    ~Connection() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    [[nodiscard]] std::uint64_t key() const { return key_; }
    [[nodiscard]] int origin() const { return origin_; }

    // The first arming: a new socket is writable, so a serving thread picks
    // the connection up at once and admits it.
    [[nodiscard]] bool registerWithLoop() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        epoll_event event{};
        event.events = EPOLLOUT | EPOLLONESHOT;
        event.data.u64 = key_;
        return ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd_, &event) == 0;
    }

    // A serving thread takes the connection for an event; false when another
    // one has it (that one arms it again when done) or it has finished.
    [[nodiscard]] bool beginHandling(std::uint32_t events) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        if (handling_ || finished_) {
            return false;
        }
        handling_ = true;
        if ((events & (EPOLLHUP | EPOLLERR)) != 0) {
            closeLocked(); // the peer is gone: nothing it is owed can reach it
        }
        return true;
    }

    // Whether the owner still has to admit the connection. Only the handling
    // thread changes this.
    [[nodiscard]] bool awaitingAdmission() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return !admitted_ && !closing_;
    }

    [[nodiscard]] int descriptor() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return fd_;
    }

    // Records the admission; false when the connection is refused or already
    // closing (then it closes, and the owner's closing action is dropped).
    bool admit(Admission admission, pid_t pid) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        pid_ = pid;
        if (!admission.service || closing_) {
            closeLocked();
            return false;
        }
        admitted_ = true;
        service_ = std::move(admission.service);
        onClosed_ = std::move(admission.onClosed);
        refusal_ = std::move(admission.refusal);
        return true;
    }

    // Writes what the socket takes, then reads the next call when it may
    // (through `scratch`, readChunkBytes long). `call` is set with Step::call.
    Step step(Frame& call, char* scratch) QUORVANE_EXCLUDES(mutex_) {
        bool trim = false;
        Step next = Step::idle;
        {
            MutexLock lock(mutex_);
            trim = flushLocked();
            if (!closing_ && wantsInputLocked()) {
                switch (takeCallLocked(call, scratch)) {
                case Input::call:
                    callPending_ = true;
                    currentCall_ = call.callId;
                    next = Step::call;
                    break;
                case Input::ended:
                    inputEnded_ = true;
                    break;
                case Input::broken:
                    closeLocked();
                    break;
                case Input::waiting:
                    break;
                }
            }
            closeIfOwedNothingLocked();
            if (closing_) {
                next = Step::finish;
            }
        }
        if (trim) {
            releaseFreedMemory();
        }
        return next;
    }

    // The handling thread lets go: arms the connection again for what it
    // waits for, or answers true when it has closed and is to be finished.
    [[nodiscard]] bool endHandling() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        handling_ = false;
        if (closing_) {
            return !finished_;
        }
        armLocked();
        return false;
    }

    // Ends the connection for good (after endHandling answered true): the
    // owner's closing action, if it was admitted, is handed back to run.
    std::function<void()> finish() QUORVANE_EXCLUDES(mutex_) {
        std::shared_ptr<QuorvaneServiceProtocol> service;
        std::function<void()> onClosed;
        std::function<std::optional<std::string>(Operation)> refusal;
        MutexLock lock(mutex_);
        finished_ = true;
        if (fd_ >= 0) {
            ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd_, nullptr);
            ::close(fd_);
            fd_ = -1;
        }
        service = std::move(service_);
        refusal = std::move(refusal_);
        onClosed = std::move(onClosed_);
        proxy_.reset();
        const bool admitted = admitted_;
        const bool droppedLarge = droppedLarge_;
        lock.unlock(); // the service and the gate are let go outside the lock
        if (droppedLarge) {
            releaseFreedMemory();
        }
        return admitted ? std::move(onClosed) : nullptr;
    }

    [[nodiscard]] std::shared_ptr<QuorvaneServiceProtocol> service() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return service_;
    }

    [[nodiscard]] std::optional<std::string> refusal(Operation operation) QUORVANE_EXCLUDES(mutex_) {
        std::function<std::optional<std::string>(Operation)> refusal;
        {
            MutexLock lock(mutex_);
            refusal = refusal_;
        }
        return refusal ? refusal(operation) : std::nullopt;
    }

    // No more reading or writing; a serving thread then finishes the
    // connection. Idempotent; any thread.
    void beginClose() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        closeLocked();
    }

    [[nodiscard]] bool isClosing() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return closing_;
    }

    // Queues a reply frame and writes what the socket takes; ends the wait
    // for the current call. Any thread.
    void finishCall(std::uint64_t callId, EncodedFrame frame) QUORVANE_EXCLUDES(mutex_) {
        bool trim = false;
        {
            MutexLock lock(mutex_);
            if (callPending_ && callId == currentCall_) {
                callPending_ = false;
            }
            if (closing_) {
                return;
            }
            if (!frame.empty()) {
                countTraffic(frame.size());
                unsent_ += frame.size();
                queue_.push_back({std::move(frame), false});
                trim = flushLocked();
            }
            if (!handling_ && !closing_) {
                armLocked();
            }
        }
        if (trim) {
            releaseFreedMemory();
        }
    }

    // Queues a push frame and writes what the socket takes. A peer whose
    // queue passes its bounds is cut off, and so is the slowest reader of all
    // when the total would pass its bound. Never waits for the peer.
    void enqueuePush(EncodedFrame frame) QUORVANE_EXCLUDES(mutex_) {
        {
            MutexLock lock(mutex_);
            if (closing_) {
                return;
            }
            if (!queue_.empty() &&
                (queuedPushes_ + 1 > maxPushes_ || queuedPushBytes_ + frame.size() > maxPushBytes_)) {
                closeLocked();
                return;
            }
        }
        if (budget_->wouldPass(frame.size())) {
            budget_->cutSlowestReader(); // possibly this very connection
        }
        bool trim = false;
        {
            MutexLock lock(mutex_);
            if (closing_) {
                return;
            }
            countTraffic(frame.size());
            queuedPushes_ += 1;
            queuedPushBytes_ += frame.size();
            budget_->add(frame.size());
            unsent_ += frame.size();
            queue_.push_back({std::move(frame), true});
            trim = flushLocked();
            if (!handling_ && !closing_) {
                armLocked();
            }
        }
        if (trim) {
            releaseFreedMemory();
        }
    }

    [[nodiscard]] std::size_t queuedPushBytes() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return queuedPushBytes_;
    }

    [[nodiscard]] pid_t peer() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return pid_;
    }

    void setProxy(std::shared_ptr<QuorvaneClientProtocol> proxy) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        proxy_ = std::move(proxy);
    }

    // The push proxy while the connection is open.
    [[nodiscard]] std::shared_ptr<QuorvaneClientProtocol> liveProxy() QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return closing_ ? nullptr : proxy_;
    }

private:
    enum class Input { call, waiting, ended, broken };

    struct Outgoing {
        EncodedFrame frame;
        bool push = false;
    };

    [[nodiscard]] bool wantsInputLocked() const QUORVANE_REQUIRES(mutex_) {
        return admitted_ && !callPending_ && !inputEnded_ && unsent_ < maxUnsent_;
    }

    // Whether the bytes already read hold a whole frame.
    [[nodiscard]] bool holdsFrameLocked() const QUORVANE_REQUIRES(mutex_) {
        if (input_.size() < frameHeaderSize) {
            return false;
        }
        std::size_t length = 0;
        for (int i = 3; i >= 0; --i) {
            length = (length << 8) | static_cast<unsigned char>(input_[static_cast<std::size_t>(i)]);
        }
        return input_.size() >= frameHeaderSize + length || length > maxFrameToHost;
    }

    // The peer sent its last call and has everything it is owed.
    void closeIfOwedNothingLocked() QUORVANE_REQUIRES(mutex_) {
        if (!closing_ && inputEnded_ && !callPending_ && queue_.empty()) {
            closeLocked();
        }
    }

    // Arms the socket for what the connection waits for. Errors and hang-ups
    // are always reported.
    void armLocked() QUORVANE_REQUIRES(mutex_) {
        if (fd_ < 0 || finished_) {
            return;
        }
        if (!closing_ && inputEnded_ && !callPending_ && queue_.empty()) {
            closeLocked(); // arms it to be finished
            return;
        }
        std::uint32_t events = EPOLLONESHOT;
        if (closing_) {
            events |= EPOLLOUT; // a shut-down socket reports at once: finish it
        } else {
            if (wantsInputLocked()) {
                // A call already read in full is taken at once: the socket
                // is as good as always writable then.
                events |= holdsFrameLocked() ? EPOLLOUT : EPOLLIN;
            }
            if (!queue_.empty()) {
                events |= EPOLLOUT;
            }
        }
        epoll_event event{};
        event.events = events;
        event.data.u64 = key_;
        ::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd_, &event);
    }

    // Writes queued frames as far as the socket takes them. True when a large
    // frame was written and freed (the caller releases memory, unlocked).
    bool flushLocked() QUORVANE_REQUIRES(mutex_) {
        bool large = false;
        while (!queue_.empty() && !closing_) {
            Outgoing& head = queue_.front();
            const std::optional<std::size_t> sent = sendAvailable(fd_, head.frame, headSent_);
            if (!sent) {
                closeLocked();
                break;
            }
            headSent_ += *sent;
            unsent_ -= *sent;
            if (headSent_ < head.frame.size()) {
                break; // the socket is full
            }
            if (head.push) {
                queuedPushes_ -= 1;
                queuedPushBytes_ -= head.frame.size();
                budget_->remove(head.frame.size());
            }
            large = large || head.frame.size() >= largeFrameBytes;
            queue_.pop_front();
            headSent_ = 0;
        }
        return large;
    }

    // Reads until a whole call is in, the socket has nothing more for now, or
    // the input ends or breaks a rule.
    Input takeCallLocked(Frame& call, char* scratch) QUORVANE_REQUIRES(mutex_) {
        for (;;) {
            if (input_.size() >= frameHeaderSize) {
                unsigned char header[frameHeaderSize];
                std::memcpy(header, input_.data(), frameHeaderSize);
                std::size_t length = 0;
                if (decodeFrameHeader(header, maxFrameToHost, call, length) != ReadStatus::frame) {
                    return Input::broken;
                }
                const std::size_t whole = frameHeaderSize + length;
                if (input_.size() >= whole) {
                    countTraffic(whole);
                    call.payload.assign(input_, frameHeaderSize, length);
                    input_.erase(0, whole);
                    if (input_.capacity() > keptInputBytes && input_.size() <= keptInputBytes) {
                        std::string(input_).swap(input_); // a large frame's room goes with it
                    }
                    if (call.kind != FrameKind::call || !isAcceptableFrame(call)) {
                        return Input::broken;
                    }
                    return Input::call;
                }
                if (input_.capacity() < whole) {
                    input_.reserve(whole);
                }
            }
            const ssize_t n = ::recv(fd_, scratch, readChunkBytes, MSG_DONTWAIT);
            if (n > 0) {
                input_.append(scratch, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) {
                // Between frames: the peer shut down its writing side, or left.
                return input_.empty() ? Input::ended : Input::broken;
            }
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK ? Input::waiting : Input::broken;
        }
    }

    void closeLocked() QUORVANE_REQUIRES(mutex_) {
        if (closing_) {
            return;
        }
        closing_ = true;
        for (const Outgoing& dropped : queue_) {
            droppedLarge_ = droppedLarge_ || dropped.frame.size() >= largeFrameBytes;
            countTraffic(dropped.frame.size()); // freed as well as written ones
        }
        queue_.clear();
        budget_->remove(queuedPushBytes_);
        queuedPushes_ = 0;
        queuedPushBytes_ = 0;
        unsent_ = 0;
        std::string().swap(input_);
        if (fd_ >= 0) {
            ::shutdown(fd_, SHUT_RDWR);
        }
        if (!handling_) {
            armLocked(); // a serving thread finishes it
        }
    }

    const std::uint64_t key_;
    const int origin_;
    const int epollFd_;
    const std::size_t maxPushes_;
    const std::size_t maxPushBytes_;
    const std::size_t maxUnsent_;
    const std::shared_ptr<PushBudget> budget_;

    Mutex mutex_;
    int fd_ QUORVANE_GUARDED_BY(mutex_);
    bool handling_ QUORVANE_GUARDED_BY(mutex_) = false; // a serving thread has it
    bool admitted_ QUORVANE_GUARDED_BY(mutex_) = false;
    bool closing_ QUORVANE_GUARDED_BY(mutex_) = false;
    bool finished_ QUORVANE_GUARDED_BY(mutex_) = false;
    pid_t pid_ QUORVANE_GUARDED_BY(mutex_) = 0;

    std::shared_ptr<QuorvaneServiceProtocol> service_ QUORVANE_GUARDED_BY(mutex_);
    std::function<void()> onClosed_ QUORVANE_GUARDED_BY(mutex_);
    std::function<std::optional<std::string>(Operation)> refusal_ QUORVANE_GUARDED_BY(mutex_);
    std::shared_ptr<QuorvaneClientProtocol> proxy_ QUORVANE_GUARDED_BY(mutex_);

    // Bytes read and not yet taken as a call (the frame in hand, and
    // pipelined calls after it).
    std::string input_ QUORVANE_GUARDED_BY(mutex_);
    bool inputEnded_ QUORVANE_GUARDED_BY(mutex_) = false;
    bool callPending_ QUORVANE_GUARDED_BY(mutex_) = false;
    std::uint64_t currentCall_ QUORVANE_GUARDED_BY(mutex_) = 0;

    std::deque<Outgoing> queue_ QUORVANE_GUARDED_BY(mutex_);
    std::size_t headSent_ QUORVANE_GUARDED_BY(mutex_) = 0; // of the first queued frame
    std::size_t unsent_ QUORVANE_GUARDED_BY(mutex_) = 0;
    std::size_t queuedPushes_ QUORVANE_GUARDED_BY(mutex_) = 0;
    std::size_t queuedPushBytes_ QUORVANE_GUARDED_BY(mutex_) = 0;
    bool droppedLarge_ QUORVANE_GUARDED_BY(mutex_) = false; // a large frame went unwritten at the close
};

void PushBudget::cutSlowestReader() {
    std::vector<std::shared_ptr<Connection>> live;
    {
        MutexLock lock(mutex_);
        for (const auto& [key, member] : members_) {
            if (auto connection = member.lock()) {
                live.push_back(std::move(connection));
            }
        }
    }
    std::shared_ptr<Connection> slowest;
    std::size_t most = 0;
    for (const auto& connection : live) {
        if (const std::size_t queued = connection->queuedPushBytes(); queued > most) {
            most = queued;
            slowest = connection;
        }
    }
    if (!slowest) {
        return;
    }
    slowest->beginClose();
    if (onNote_) {
        onNote_("a peer (pid " + std::to_string(slowest->peer()) +
                ") stopped reading; its connection was closed with " + std::to_string(most) +
                " bytes of pushes queued, the most of any connection (together they may queue " +
                std::to_string(limit_) + ")");
    }
}

// The push proxy handed to the owner; refers to its connection weakly.
class PushProxy final : public QuorvaneClientProtocol {
public:
    explicit PushProxy(std::weak_ptr<Connection> connection) : connection_(std::move(connection)) {}

    void deliverAgentNotification(const std::string& line) override {
        push(Operation::deliverAgentNotification, line);
    }
    void controlEvent(const std::string& json) override { push(Operation::controlEvent, json); }

private:
    void push(Operation operation, const std::string& payload) {
        auto connection = connection_.lock();
        if (!connection || connection->isClosing()) {
            return;
        }
        EncodedFrame frame =
            encodeFrameParts({FrameKind::push, operation, 0, false, payload}, maxFrameFromHost);
        if (!frame.empty()) {
            connection->enqueuePush(std::move(frame));
        }
    }

    std::weak_ptr<Connection> connection_;
};

// Answers one call exactly once: the first answer counts, and a slot released
// without an answer sends a failure.
class ReplySlot {
public:
    ReplySlot(std::weak_ptr<Connection> connection, std::uint64_t callId, Operation operation)
        : connection_(std::move(connection)), callId_(callId), operation_(operation) {}

    ReplySlot(const ReplySlot&) = delete;
    ReplySlot& operator=(const ReplySlot&) = delete;

    ~ReplySlot() { fail("the service dropped the call without replying"); }

    void reply(std::optional<std::string> text) {
        if (answered_.exchange(true)) {
            return;
        }
        const bool absent = !text.has_value();
        // The reply's own buffer becomes the frame's payload: never copied.
        EncodedFrame frame = encodeFrameParts(
            {FrameKind::reply, operation_, callId_, absent, std::move(text).value_or(std::string())},
            maxFrameFromHost);
        if (frame.empty()) {
            frame = failureFrame(callId_, operation_, "the service's reply is too large or not valid UTF-8");
        }
        deliver(std::move(frame));
    }

    void fail(std::string description) {
        if (answered_.exchange(true)) {
            return;
        }
        deliver(failureFrame(callId_, operation_, std::move(description)));
    }

private:
    void deliver(EncodedFrame frame) {
        if (auto connection = connection_.lock()) {
            connection->finishCall(callId_, std::move(frame));
        }
    }

    std::weak_ptr<Connection> connection_;
    const std::uint64_t callId_;
    const Operation operation_;
    std::atomic<bool> answered_{false};
};

} // namespace

// ---- The loop ---------------------------------------------------------------------

class ServingLoop::Impl {
public:
    Impl(ServingOptions options, Admit admit, int epollFd, int stopFd)
        : options_(std::move(options)), admit_(std::move(admit)), epollFd_(epollFd), stopFd_(stopFd),
          budget_(std::make_shared<PushBudget>(options_.maxTotalQueuedPushBytes, options_.onNote)) {}

    ~Impl() {
        ::close(epollFd_);
        ::close(stopFd_);
    }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    [[nodiscard]] bool startThreads() {
        try {
            for (std::size_t i = 0; i < std::max<std::size_t>(options_.threads, 1); ++i) {
                threads_.emplace_back([this] { serve(); });
            }
        } catch (...) {
            stop();
            return false;
        }
        return true;
    }

    bool adopt(int fd, std::size_t limit, int origin) QUORVANE_EXCLUDES(mutex_) {
        std::shared_ptr<Connection> connection;
        {
            MutexLock lock(mutex_);
            if (stopping_ || connections_.size() >= limit) {
                ::close(fd);
                return false;
            }
            const std::uint64_t key = nextKey_++;
            connection = std::make_shared<Connection>(key, fd, origin, epollFd_, options_, budget_);
            connections_.emplace(key, connection);
        }
        connection->setProxy(std::make_shared<PushProxy>(connection));
        budget_->join(connection);
        if (!connection->registerWithLoop()) {
            budget_->leave(connection.get());
            forget(connection->key());
            return false; // the connection closes its socket as it goes
        }
        return true;
    }

    std::size_t openCount() const QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        return openCount_;
    }

    void stop() QUORVANE_EXCLUDES(mutex_) {
        std::vector<std::shared_ptr<Connection>> open;
        {
            MutexLock lock(mutex_);
            if (stopping_) {
                return;
            }
            stopping_ = true;
            for (const auto& [key, connection] : connections_) {
                open.push_back(connection);
            }
        }
        for (const auto& connection : open) {
            connection->beginClose();
        }
        open.clear();
        {
            MutexLock lock(mutex_);
            while (!connections_.empty() && !threads_.empty()) {
                drained_.wait(lock);
            }
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one); // every thread sees it
        for (auto& thread : threads_) {
            thread.join();
        }
        threads_.clear();
        MutexLock lock(mutex_);
        connections_.clear(); // no thread left to finish them: their sockets close with them
    }

private:
    void serve() QUORVANE_EXCLUDES(mutex_) {
        std::vector<char> scratch(readChunkBytes);
        for (;;) {
            // One event at a time: a thread held by a slow service call never
            // sits on events that another thread could handle.
            // After traffic, a thread that finds the host quiet for a moment
            // hands freed memory back; an idle host then sleeps without end.
            epoll_event event{};
            const int n =
                ::epoll_wait(epollFd_, &event, 1, trafficSinceRelease.load() > 0 ? quietMillis : -1);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (n == 0) {
                if (trafficSinceRelease.exchange(0) > 0) {
                    releaseFreedMemory();
                }
                continue;
            }
            if (event.data.u64 == stopKey) {
                return; // the stop event stays readable for the other threads
            }
            std::shared_ptr<Connection> connection;
            {
                MutexLock lock(mutex_);
                auto it = connections_.find(event.data.u64);
                if (it != connections_.end()) {
                    connection = it->second;
                }
            }
            if (connection) {
                handle(connection, event.events, scratch.data());
            }
        }
    }

    void handle(const std::shared_ptr<Connection>& connection, std::uint32_t events, char* scratch) {
        if (!connection->beginHandling(events)) {
            return;
        }
        if (connection->awaitingAdmission()) {
            admit(connection);
        }
        Frame call;
        while (connection->step(call, scratch) == Step::call) {
            dispatch(connection, call);
        }
        if (connection->endHandling()) {
            finish(connection);
        }
        releaseFreedMemoryWhenDue();
    }

    void admit(const std::shared_ptr<Connection>& connection) QUORVANE_EXCLUDES(mutex_) {
        std::weak_ptr<Connection> weak = connection;
        const PushProxyProvider provider = [weak]() -> std::shared_ptr<QuorvaneClientProtocol> {
            auto live = weak.lock();
            return live ? live->liveProxy() : nullptr;
        };
        Admission admission;
        pid_t pid = 0;
        try {
            admission = admit_(connection->descriptor(), connection->origin(), provider, pid);
        } catch (...) {
            admission = {};
        }
        if (connection->admit(std::move(admission), pid)) {
            MutexLock lock(mutex_);
            openCount_ += 1;
            admitted_.insert(connection->key());
        }
    }

    static void dispatch(const std::shared_ptr<Connection>& connection, Frame& call) {
        const bool large = call.payload.size() >= largeFrameBytes;
        auto slot = std::make_shared<ReplySlot>(connection, call.callId, call.operation);
        if (auto refusal = connection->refusal(call.operation)) {
            slot->fail(std::move(*refusal));
        } else if (auto service = connection->service()) {
            try {
                if (call.operation == Operation::handleAgentMessage) {
                    service->handleAgentMessage(call.payload, [slot](std::optional<std::string> reply) {
                        slot->reply(std::move(reply));
                    });
                } else {
                    service->control(call.payload,
                                     [slot](std::string reply) { slot->reply(std::move(reply)); });
                }
            } catch (...) {
                slot->fail("the service failed to handle the call");
            }
        }
        slot.reset(); // a service that dropped its callback has now answered with a failure
        std::string().swap(call.payload);
        if (large) {
            releaseFreedMemory();
        }
    }

    void finish(const std::shared_ptr<Connection>& connection) QUORVANE_EXCLUDES(mutex_) {
        std::function<void()> onClosed = connection->finish();
        {
            // No longer open once its owner hears of the close.
            MutexLock lock(mutex_);
            if (admitted_.erase(connection->key()) > 0) {
                openCount_ -= 1;
            }
        }
        if (onClosed) {
            try {
                onClosed();
            } catch (...) {
            }
        }
        onClosed = nullptr;
        budget_->leave(connection.get());
        forget(connection->key());
    }

    void forget(std::uint64_t key) QUORVANE_EXCLUDES(mutex_) {
        MutexLock lock(mutex_);
        connections_.erase(key);
        if (admitted_.erase(key) > 0) {
            openCount_ -= 1;
        }
        drained_.notify_all();
    }

    const ServingOptions options_;
    const Admit admit_;
    const int epollFd_;
    const int stopFd_;
    const std::shared_ptr<PushBudget> budget_;
    std::vector<std::thread> threads_; // made by startThreads, ended by stop

    mutable Mutex mutex_;
    std::condition_variable_any drained_;
    std::unordered_map<std::uint64_t, std::shared_ptr<Connection>> connections_ QUORVANE_GUARDED_BY(mutex_);
    std::unordered_set<std::uint64_t> admitted_ QUORVANE_GUARDED_BY(mutex_);
    std::uint64_t nextKey_ QUORVANE_GUARDED_BY(mutex_) = stopKey + 1;
    std::size_t openCount_ QUORVANE_GUARDED_BY(mutex_) = 0;
    bool stopping_ QUORVANE_GUARDED_BY(mutex_) = false;
};

Result<std::unique_ptr<ServingLoop>> ServingLoop::start(ServingOptions options, Admit admit) {
    const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) {
        return fail(std::string("cannot create an event loop: ") + std::strerror(errno));
    }
    const int stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) {
        const int error = errno;
        ::close(epollFd);
        return fail(std::string("cannot create an event descriptor: ") + std::strerror(error));
    }
    epoll_event event{};
    event.events = EPOLLIN; // level-triggered: every serving thread sees it
    event.data.u64 = stopKey;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, stopFd, &event) != 0) {
        const int error = errno;
        ::close(epollFd);
        ::close(stopFd);
        return fail(std::string("cannot set up the event loop: ") + std::strerror(error));
    }
    auto impl = std::make_shared<Impl>(std::move(options), std::move(admit), epollFd, stopFd);
    if (!impl->startThreads()) {
        return fail("cannot start the serving threads");
    }
    return std::unique_ptr<ServingLoop>(new ServingLoop(std::move(impl)));
}

ServingLoop::ServingLoop(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {
}

ServingLoop::~ServingLoop() {
    impl_->stop();
}

bool ServingLoop::adopt(int fd, std::size_t limit, int origin) {
    return impl_->adopt(fd, limit, origin);
}

std::size_t ServingLoop::openCount() const {
    return impl_->openCount();
}

void ServingLoop::stop() {
    impl_->stop();
}

} // namespace quorvane
