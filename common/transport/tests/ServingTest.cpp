// The host's serving loop through a real listener, with raw peers on real
// sockets: replies owed to a peer that half-closed, the bound on pushes queued
// across connections, many sessions on a few threads, and sockets removed
// under the listener.

#include "common/transport/ServiceConnection.h"
#include "common/transport/ServiceListener.h"
#include "common/transport/tests/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvane {
namespace {

using test::TempDir;
using test::Waiter;

using AgentReply = std::function<void(std::optional<std::string>)>;

// Answers every agent message with `<message>` and the padding, at once.
class EchoService final : public QuorvaneServiceProtocol {
public:
    explicit EchoService(std::string padding = {}) : padding_(std::move(padding)) {}
    std::atomic<int> calls{0};

    void handleAgentMessage(const std::string& message, AgentReply reply) override {
        calls += 1;
        reply(message + padding_);
    }
    void control(const std::string& request, std::function<void(std::string)> reply) override {
        reply(request);
    }

private:
    const std::string padding_;
};

std::string callFrame(std::uint64_t id, const std::string& text) {
    return encodeFrame({FrameKind::call, Operation::handleAgentMessage, id, false, text}, maxFrameToHost);
}

// Splits whole frames off the front of `bytes`.
std::vector<Frame> takeFrames(std::string& bytes) {
    std::vector<Frame> frames;
    for (;;) {
        if (bytes.size() < frameHeaderSize) {
            return frames;
        }
        unsigned char header[frameHeaderSize];
        std::memcpy(header, bytes.data(), frameHeaderSize);
        Frame frame;
        std::size_t length = 0;
        if (decodeFrameHeader(header, maxFrameFromHost, frame, length) != ReadStatus::frame) {
            ADD_FAILURE() << "the host sent a bad header";
            bytes.clear();
            return frames;
        }
        if (bytes.size() < frameHeaderSize + length) {
            return frames;
        }
        frame.payload = bytes.substr(frameHeaderSize, length);
        bytes.erase(0, frameHeaderSize + length);
        frames.push_back(std::move(frame));
    }
}

// The host's line for one agent message, or "error: <why>".
std::string ask(ServiceConnection& connection, const std::string& message) {
    const auto outcome = test::callAgent(connection, message);
    if (!outcome) {
        return "error: " + outcome.error().message;
    }
    return outcome->value_or("<absent>");
}

// The number of threads of this process.
int threadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return -1;
}

class Serving : public ::testing::Test {
protected:
    void SetUp() override {
        const Result<ServicePlaces> resolved = resolveServicePlaces(env, FolderUse::create);
        ASSERT_TRUE(resolved.ok()) << resolved.error().message;
        places = *resolved;
    }

    // A listener whose peers all pass as bridges.
    std::unique_ptr<ServiceListener> startHost(std::shared_ptr<QuorvaneServiceProtocol> service,
                                               ListenerOptions options = {}) {
        options.identityReader = test::readerAs(quorvaneBridgeIdentifier);
        options.onNote = [this](const std::string& note) { host.update([&] { notes.push_back(note); }); };
        options.onLost = [this](const std::string& why) {
            host.update([&] { notes.push_back("lost: " + why); });
        };
        auto locked = ServiceLock::acquire(places);
        EXPECT_TRUE(locked.lock) << locked.error;
        if (!locked.lock) {
            return nullptr;
        }
        auto started = ServiceListener::start(
            std::move(*locked.lock),
            [this, service](const AcceptedPeer& peer) {
                host.update([&] { peers.push_back(peer); });
                return ConnectionSetup{service, [this] { host.update([&] { closed += 1; }); }};
            },
            std::move(options));
        if (!started) {
            ADD_FAILURE() << started.error().message;
            return nullptr;
        }
        return std::move(*started);
    }

    [[nodiscard]] bool noted(std::string_view text) {
        return std::any_of(notes.begin(), notes.end(),
                           [&](const std::string& n) { return n.find(text) != std::string::npos; });
    }

    std::unique_ptr<ServiceConnection> client() {
        return std::make_unique<ServiceConnection>(std::make_shared<test::IgnoringReceiver>(),
                                                   ConnectionOptions{env, {}});
    }

    TempDir runtime = test::runtimeFolder();
    RuntimeEnvironment env = test::privateEnvironment(runtime.path());
    ServicePlaces places;

    Waiter host; // guards the three below
    std::vector<AcceptedPeer> peers;
    int closed = 0;
    std::vector<std::string> notes; // the listener's notes, and "lost: <why>"
};

// ---- Replies and pushes ----------------------------------------------------------------

// A peer may pipeline its calls, shut down its writing side and only then read
// its replies, slowly: none of them may be lost to the end of its input.
TEST_F(Serving, PeerThatShutsItsWritingSideStillGetsEveryReplyWhileItReads) {
    const std::string padding(64 * 1024, 'r'); // together far more than socket buffers hold
    auto service = std::make_shared<EchoService>(padding);
    auto listener = startHost(service);
    const int fd = test::connectRaw(places.socketPath);
    ASSERT_GE(fd, 0);

    constexpr std::uint64_t callCount = 300;
    std::string calls;
    for (std::uint64_t id = 1; id <= callCount; ++id) {
        calls += callFrame(id, std::to_string(id) + ":");
    }
    ASSERT_TRUE(sendAll(fd, calls));
    ASSERT_EQ(::shutdown(fd, SHUT_WR), 0);

    std::string received;
    std::vector<Frame> replies;
    char buffer[4096]; // a slow reader: a few kilobytes at a time
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ASSERT_EQ(n, 0) << "no end after the last reply: " << std::strerror(errno);
            break;
        }
        received.append(buffer, static_cast<std::size_t>(n));
        for (Frame& frame : takeFrames(received)) {
            replies.push_back(std::move(frame));
        }
    }
    ::close(fd);

    ASSERT_EQ(replies.size(), callCount);
    for (std::uint64_t id = 1; id <= callCount; ++id) {
        const Frame& reply = replies[id - 1];
        EXPECT_EQ(reply.kind, FrameKind::reply);
        EXPECT_EQ(reply.callId, id);
        EXPECT_TRUE(reply.payload == std::to_string(id) + ":" + padding) << "reply " << id << " differs";
    }
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(host.waitFor([&] { return closed == 1; }));
}

TEST_F(Serving, PushesQueuedAcrossConnectionsAreBoundedByCuttingTheSlowestReader) {
    ListenerOptions options;
    options.maxTotalQueuedPushBytes = 2u << 20;
    auto listener = startHost(std::make_shared<EchoService>(), options);

    // Two peers that never read; the first falls far behind before the second.
    const int slowest = test::connectRaw(places.socketPath);
    ASSERT_GE(slowest, 0);
    ASSERT_TRUE(host.waitFor([&] { return peers.size() == 1; }));
    const int slow = test::connectRaw(places.socketPath);
    ASSERT_GE(slow, 0);
    ASSERT_TRUE(host.waitFor([&] { return peers.size() == 2; }));
    auto slowestProxy = host.read([&] { return peers[0].clientProxy; });
    auto slowProxy = host.read([&] { return peers[1].clientProxy; });

    const std::string chunk(64 * 1024, 'p');
    for (int i = 0; i < 24; ++i) {
        slowestProxy()->deliverAgentNotification(chunk);
    }
    int pushes = 0;
    while (slowestProxy()) {
        ASSERT_LT(pushes, 1000) << "the total was never bounded";
        auto proxy = slowProxy();
        ASSERT_TRUE(proxy) << "the peer with fewer queued bytes was cut first";
        proxy->deliverAgentNotification(chunk);
        ++pushes;
    }
    EXPECT_TRUE(slowProxy());
    EXPECT_TRUE(host.waitFor([&] { return closed == 1 && noted("stopped reading"); }));
    EXPECT_TRUE(test::readsUntilClosed(slowest, true));
    ::close(slowest);
    ::close(slow);
}

// Many sessions at once, each a sequence of calls, on a few serving threads.
TEST_F(Serving, TwoHundredSessionsAreAllAnsweredByAFewThreads) {
    ListenerOptions options;
    options.servingThreads = 4;
    auto service = std::make_shared<EchoService>();
    const int before = threadCount();
    auto listener = startHost(service, options);
    const int serving = threadCount() - before;
    EXPECT_LE(serving, 5); // the serving threads and the accepting thread

    constexpr int sessions = 200;
    constexpr int callsEach = 20;
    struct Session {
        int fd = -1;
        int answered = 0;
        std::string input;
    };
    std::vector<Session> open(sessions);
    for (int i = 0; i < sessions; ++i) {
        open[i].fd = test::connectRaw(places.socketPath);
        ASSERT_GE(open[i].fd, 0) << "session " << i;
        ASSERT_TRUE(sendAll(open[i].fd, callFrame(1, std::to_string(i) + "/1")));
    }
    int peakThreads = 0;
    int remaining = sessions;
    const auto deadline = std::chrono::steady_clock::now() + test::guardTimeout;
    while (remaining > 0 && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> fds;
        for (const Session& s : open) {
            fds.push_back({s.fd, static_cast<short>(s.answered < callsEach ? POLLIN : 0), 0});
        }
        ASSERT_GE(::poll(fds.data(), fds.size(), 1000), 0);
        peakThreads = std::max(peakThreads, threadCount());
        for (int i = 0; i < sessions; ++i) {
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            Session& s = open[i];
            char buffer[4096];
            const ssize_t n = ::recv(s.fd, buffer, sizeof buffer, 0);
            ASSERT_GT(n, 0) << "session " << i << " was closed";
            s.input.append(buffer, static_cast<std::size_t>(n));
            for (const Frame& reply : takeFrames(s.input)) {
                s.answered += 1;
                ASSERT_EQ(reply.payload, std::to_string(i) + "/" + std::to_string(s.answered));
                if (s.answered < callsEach) {
                    const auto next = static_cast<std::uint64_t>(s.answered + 1);
                    ASSERT_TRUE(
                        sendAll(s.fd, callFrame(next, std::to_string(i) + "/" + std::to_string(next))));
                } else {
                    remaining -= 1;
                }
            }
        }
    }
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(service->calls.load(), sessions * callsEach);
    EXPECT_EQ(listener->openConnectionCount(), static_cast<std::size_t>(sessions));
    EXPECT_LE(peakThreads - before, serving) << "threads grew with the sessions";
    for (const Session& s : open) {
        ::close(s.fd);
    }
    EXPECT_TRUE(host.waitFor([&] { return closed == sessions; }));
    EXPECT_EQ(listener->openConnectionCount(), 0u);
}

// ---- The sockets' place ----------------------------------------------------------------

TEST_F(Serving, SocketRemovedUnderTheListenerIsPublishedAgain) {
    // A folder goes in one step (moved away, then removed), as a cleaner's
    // removal looks once it is over.
    const auto removeFolder = [](const std::string& path) {
        const std::string gone = path + ".gone";
        ASSERT_EQ(::rename(path.c_str(), gone.c_str()), 0) << std::strerror(errno);
        std::filesystem::remove_all(gone);
    };
    struct Case {
        const char* name;
        bool resolveAgain; // the listener knows the environment clients resolve
        std::function<void()> remove;
    };
    const Case cases[] = {
        {"the socket", false, [&] { ::unlink(places.socketPath.c_str()); }},
        {"the socket and the lock file", false,
         [&] {
             ::unlink(places.lockPath.c_str());
             ::unlink(places.socketPath.c_str());
         }},
        {"the service folder", false, [&] { removeFolder(places.directory); }},
        {"the whole runtime folder", true, [&] { removeFolder(*env.xdgRuntimeDir); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(resolveServicePlaces(env, FolderUse::create).ok());
        ListenerOptions options;
        if (c.resolveAgain) {
            options.environment = env;
        }
        auto listener = startHost(std::make_shared<EchoService>(), options);
        auto kept = client();
        ASSERT_EQ(ask(*kept, "before"), "before");

        c.remove();
        EXPECT_TRUE(host.waitFor([&] { return noted("published again"); }));
        ASSERT_TRUE(test::waitForSocket(places.socketPath));
        auto fresh = client();
        EXPECT_EQ(ask(*fresh, "after"), "after");
        EXPECT_EQ(ask(*kept, "still"), "still");
        // The lock is the listener's again: no second host may take the place.
        EXPECT_EQ(ServiceLock::acquire(places).status, ServiceLock::Status::alreadyRunning);

        fresh.reset();
        kept.reset();
        listener.reset();
        EXPECT_NE(::access(places.socketPath.c_str(), F_OK), 0);
        host.update([&] { notes.clear(); });
    }
}

TEST_F(Serving, ListenerWhosePlaceWasTakenOverStopsAcceptingAndSaysSo) {
    auto listener = startHost(std::make_shared<EchoService>());
    auto kept = client();
    ASSERT_EQ(ask(*kept, "before"), "before");

    // Another host's folder, its lock held, swapped in for ours in one step.
    ServicePlaces other = places;
    other.directory = places.directory + ".other";
    other.socketPath = other.directory + "/" + std::string(quorvaneServiceName);
    other.lockPath = other.socketPath + ".lock";
    ASSERT_EQ(::mkdir(other.directory.c_str(), 0700), 0);
    auto otherLock = ServiceLock::acquire(other);
    ASSERT_TRUE(otherLock.lock) << otherLock.error;
    if (::renameat2(AT_FDCWD, places.directory.c_str(), AT_FDCWD, other.directory.c_str(), RENAME_EXCHANGE) !=
        0) {
        GTEST_SKIP() << "this file system cannot exchange two folders: " << std::strerror(errno);
    }

    ASSERT_TRUE(host.waitFor([&] { return noted("lost: "); }));
    EXPECT_TRUE(host.read([&] { return noted("another host now holds the lock"); }));
    auto fresh = client();
    const auto refused = test::callAgent(*fresh, "anyone?");
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().message.find("not running"), std::string::npos) << refused.error().message;
    // The connections already open are still served.
    EXPECT_EQ(ask(*kept, "still"), "still");

    // A socket the new holder publishes is not the stopping listener's to remove.
    const int theirs = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, places.socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(theirs, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    kept.reset();
    listener.reset();
    EXPECT_EQ(::access(places.socketPath.c_str(), F_OK), 0);
    ::close(theirs);
}

} // namespace
} // namespace quorvane
