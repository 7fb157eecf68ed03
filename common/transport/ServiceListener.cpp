#include "common/transport/ServiceListener.h"

#include "common/ThreadSafety.h"
#include "common/transport/Frame.h"
#include "common/transport/ServingLoop.h"

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
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

bool ServiceLock::isInPlace() const {
    struct stat held {};
    struct stat named {};
    return fd_ >= 0 && ::fstat(fd_, &held) == 0 && ::lstat(places_.lockPath.c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
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

// The file a path names, to tell whether it is still the one we made.
struct FileId {
    dev_t device = 0;
    ino_t inode = 0;
    bool present = false;

    static FileId of(const std::string& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            return {};
        }
        return {st.st_dev, st.st_ino, true};
    }
    bool operator==(const FileId&) const = default;
};

// The folder events after which the service may no longer be where clients
// look: something in it removed or moved away, or the folder itself.
constexpr std::uint32_t watchedFolderEvents = IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF | IN_MOVE_SELF;

// Without folder events, how often the sockets' places are checked.
constexpr int placeCheckMillis = 2000;

// How long the folders must be quiet after an event before the places are
// checked: a removal under way (rm -rf) is left to finish, rather than raced
// with new files in the folder it is emptying.
constexpr int placeSettleMillis = 50;

std::string socketPathOf(const ServicePlaces& places, ServiceSocket socket) {
    return socket == ServiceSocket::control ? places.controlSocketPath : places.socketPath;
}

std::string folderOf(const ServicePlaces& places, ServiceSocket socket) {
    return socket == ServiceSocket::control ? places.controlDirectory : places.directory;
}

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

// ---- The listener -----------------------------------------------------------------

class ServiceListener::Impl {
public:
    Impl(ServiceLock lock, int agentFd, int controlFd, int wakeFd, AcceptHandler onAccept,
         ListenerOptions options)
        : lock_(std::move(lock)), wakeFd_(wakeFd), onAccept_(std::move(onAccept)),
          options_(std::move(options)) {
        // The control socket first, as at start: whoever sees the agent socket
        // accept finds both ready.
        endpoints_[0] = {ServiceSocket::control, controlFd, FileId::of(lock_.places().controlSocketPath), -1};
        endpoints_[1] = {ServiceSocket::agent, agentFd, FileId::of(lock_.places().socketPath), -1};
        watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        watchFolders();
    }

    // Starts the serving loop and the accepting thread.
    [[nodiscard]] Result<void> startServing() {
        ServingOptions serving;
        serving.threads = options_.servingThreads;
        serving.maxQueuedPushes = options_.maxQueuedPushes;
        serving.maxQueuedPushBytes = options_.maxQueuedPushBytes;
        serving.maxTotalQueuedPushBytes = options_.maxTotalQueuedPushBytes;
        serving.maxUnsentBytes = options_.maxUnsentBytes;
        serving.onNote = options_.onNote;
        Result<std::unique_ptr<ServingLoop>> loop = ServingLoop::start(
            std::move(serving), [this](int fd, int origin, const PushProxyProvider& proxy, pid_t& pid) {
                return admit(fd, static_cast<ServiceSocket>(origin), proxy, pid);
            });
        if (!loop) {
            return loop.error();
        }
        loop_ = std::move(*loop);
        try {
            acceptThread_ = std::thread([this] { acceptLoop(); });
        } catch (...) {
            return fail("cannot start the accepting thread");
        }
        return {};
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
        if (loop_) {
            loop_->stop();
        }
        for (Endpoint& endpoint : endpoints_) {
            if (endpoint.fd < 0) {
                continue;
            }
            ::close(endpoint.fd);
            endpoint.fd = -1;
            // Another host may have published its own socket here meanwhile.
            const std::string path = socketPathOf(lock_.places(), endpoint.socket);
            if (FileId::of(path) == endpoint.id) {
                ::unlink(path.c_str());
            }
        }
        if (watchFd_ >= 0) {
            ::close(watchFd_);
        }
        ::close(wakeFd_);
    }

    std::size_t openCount() const { return loop_ ? loop_->openCount() : 0; }

private:
    struct Endpoint {
        ServiceSocket socket = ServiceSocket::agent;
        int fd = -1;
        FileId id;      // of the socket file it was bound to
        int watch = -1; // the inotify watch on its folder
    };

    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }

    // On a serving thread, before any call of the connection is read.
    Admission admit(int fd, ServiceSocket socket, const PushProxyProvider& proxy, pid_t& pid)
        QUORVANE_EXCLUDES(mutex_) {
        const Result<VerifiedPeer> verified =
            verifyPeer(fd, quorvaneCallerRequirement, options_.identityReader);
        if (!verified || !socketAdmits(socket, verified->role)) {
            return {};
        }
        {
            MutexLock lock(mutex_);
            if (stopping_) {
                return {};
            }
        }
        pid = verified->pid;
        AcceptedPeer peer;
        peer.role = verified->role;
        peer.pid = verified->pid;
        peer.socket = socket;
        peer.clientProxy = proxy;
        ConnectionSetup setup;
        try {
            setup = onAccept_(peer);
        } catch (...) {
            setup = {};
        }
        const ProgramRole role = verified->role;
        return {std::move(setup.service), std::move(setup.onClosed),
                [socket, role](Operation operation) { return refusalOf(socket, role, operation); }};
    }

    // Watches the sockets' folders (again), for their removal.
    void watchFolders() {
        if (watchFd_ < 0) {
            return;
        }
        for (Endpoint& endpoint : endpoints_) {
            if (endpoint.watch >= 0) {
                ::inotify_rm_watch(watchFd_, endpoint.watch);
            }
            endpoint.watch = ::inotify_add_watch(watchFd_, folderOf(lock_.places(), endpoint.socket).c_str(),
                                                 watchedFolderEvents | IN_ONLYDIR);
        }
    }

    // Whether every socket and the lock are still where clients and other
    // hosts look for them.
    [[nodiscard]] bool inPlace() const {
        if (!lock_.isInPlace()) {
            return false;
        }
        for (const Endpoint& endpoint : endpoints_) {
            if (FileId::of(socketPathOf(lock_.places(), endpoint.socket)) != endpoint.id) {
                return false;
            }
        }
        return true;
    }

    // After folder events: publishes the sockets again where clients look
    // for them now, taking the lock there first; or gives up and tells the
    // owner.
    void checkPlaces() {
        if (lost_ || inPlace()) {
            return;
        }
        ServicePlaces places = lock_.places();
        if (options_.environment) {
            Result<ServicePlaces> resolved = resolveServicePlaces(*options_.environment, FolderUse::create);
            if (!resolved) {
                return giveUp("cannot make its folders again: " + resolved.error().message);
            }
            places = std::move(*resolved);
        } else {
            for (const std::string& folder : {places.directory, places.controlDirectory}) {
                if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
                    return giveUp("cannot make its folder " + folder + " again: " + std::strerror(errno));
                }
                if (Result<void> checked = checkPrivateFolder(folder, ::geteuid()); !checked) {
                    return giveUp(checked.error().message);
                }
            }
        }
        if (places.lockPath != lock_.places().lockPath || !lock_.isInPlace()) {
            ServiceLock::Result relocked = ServiceLock::acquire(places);
            if (relocked.status == ServiceLock::Status::alreadyRunning) {
                return giveUp("another host now holds the lock " + places.lockPath);
            }
            if (!relocked.lock) {
                return giveUp(relocked.error);
            }
            lock_ = std::move(*relocked.lock);
        }
        for (Endpoint& endpoint : endpoints_) {
            const std::string path = socketPathOf(lock_.places(), endpoint.socket);
            if (endpoint.fd >= 0 && FileId::of(path) == endpoint.id) {
                continue;
            }
            Result<int> bound = listenAt(path);
            if (!bound) {
                return giveUp(bound.error().message);
            }
            ::close(endpoint.fd);
            endpoint.fd = *bound;
            endpoint.id = FileId::of(path);
            if (options_.onNote) {
                options_.onNote("the " + std::string(socketName(endpoint.socket)) +
                                " socket was removed; it is published again at " + path);
            }
        }
        watchFolders();
    }

    // Stops accepting for good; the connections already open go on.
    void giveUp(const std::string& reason) {
        lost_ = true;
        for (Endpoint& endpoint : endpoints_) {
            if (endpoint.fd >= 0) {
                ::close(endpoint.fd);
                endpoint.fd = -1;
            }
        }
        if (watchFd_ >= 0) {
            ::close(watchFd_);
            watchFd_ = -1;
        }
        if (options_.onLost) {
            options_.onLost("the service sockets in " + lock_.places().directory +
                            " were removed and cannot be published again: " + reason);
        }
    }

    void acceptLoop() QUORVANE_EXCLUDES(mutex_) {
        bool backOff = false;
        bool checkDue = false; // folder events came; the places are checked once they settle
        for (;;) {
            pollfd fds[4] = {{wakeFd_, POLLIN, 0},
                             {watchFd_, POLLIN, 0},
                             {endpoints_[0].fd, POLLIN, 0},
                             {endpoints_[1].fd, POLLIN, 0}};
            // Out of descriptors: the pending connection stays readable, so
            // wait a little before trying again instead of spinning.
            int timeout = -1;
            if (checkDue) {
                timeout = placeSettleMillis;
            } else if (backOff) {
                timeout = 100;
            } else if (watchFd_ < 0 && !lost_) {
                timeout = placeCheckMillis;
            }
            const int n = ::poll(fds, 4, timeout);
            if (n < 0 && errno != EINTR) {
                return;
            }
            if (n > 0 && (fds[0].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = ::read(wakeFd_, &count, sizeof count);
            }
            {
                MutexLock lock(mutex_);
                if (stopping_) {
                    return;
                }
            }
            if (n > 0 && (fds[1].revents & POLLIN) != 0) {
                alignas(inotify_event) char events[4096];
                while (::read(watchFd_, events, sizeof events) > 0) {
                }
                checkDue = true;
                continue;
            }
            if (n == 0 && (checkDue || watchFd_ < 0)) {
                checkDue = false;
                checkPlaces();
                continue;
            }
            if (n <= 0) {
                continue;
            }
            backOff = false;
            for (int index : {2, 3}) {
                if ((fds[index].revents & POLLIN) == 0) {
                    continue;
                }
                const int fd = ::accept4(fds[index].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) {
                    backOff =
                        backOff || errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
                    continue;
                }
                adopt(fd, endpoints_[index - 2].socket);
            }
        }
    }

    void adopt(int fd, ServiceSocket socket) {
        // The socket a peer came through goes with it to its admission.
        (void)loop_->adopt(fd, options_.maxConnections, static_cast<int>(socket));
    }

    // The accepting thread's, and stop()'s once that thread has ended.
    ServiceLock lock_;
    Endpoint endpoints_[2];
    int watchFd_ = -1;
    bool lost_ = false;

    const int wakeFd_;
    const AcceptHandler onAccept_;
    const ListenerOptions options_;
    std::unique_ptr<ServingLoop> loop_;
    std::thread acceptThread_;

    mutable Mutex mutex_;
    bool stopping_ QUORVANE_GUARDED_BY(mutex_) = false;
};

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
    if (Result<void> serving = impl->startServing(); !serving) {
        impl->stop(); // closes and removes the sockets
        return serving.error();
    }
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
