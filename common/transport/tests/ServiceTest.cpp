// Both ends of the service in this process: a real listener and real clients
// over real sockets in a private runtime folder. The listener is told which
// program its peers are, since this process can carry only one identity (the
// host's, which the clients check for real).

#include "common/transport/ServiceConnection.h"
#include "common/transport/ServiceListener.h"
#include "common/transport/tests/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvane {
namespace {

using test::TempDir;
using test::Waiter;

using AgentReply = std::function<void(std::optional<std::string>)>;
using ControlReply = std::function<void(std::string)>;

// A service whose behaviour each test supplies.
class ScriptedService final : public QuorvaneServiceProtocol {
public:
    std::function<void(const std::string&, AgentReply)> onAgent = [](const std::string& m, AgentReply reply) {
        if (m == "none") {
            reply(std::nullopt);
        } else {
            reply("echo:" + m);
        }
    };
    std::function<void(const std::string&, ControlReply)> onControl =
        [](const std::string& r, ControlReply reply) { reply("ctl:" + r); };
    std::atomic<int> calls{0};

    void handleAgentMessage(const std::string& message, AgentReply reply) override {
        calls += 1;
        onAgent(message, std::move(reply));
    }
    void control(const std::string& request, ControlReply reply) override {
        calls += 1;
        onControl(request, std::move(reply));
    }
};

// Records what the host pushes to a client.
class RecordingSink final : public QuorvaneClientProtocol {
public:
    Waiter waiter;
    std::vector<std::string> received; // "n:<line>" or "e:<json>"
    std::vector<std::thread::id> threads;

    void deliverAgentNotification(const std::string& line) override {
        waiter.update([&] {
            received.push_back("n:" + line);
            threads.push_back(std::this_thread::get_id());
        });
    }
    void controlEvent(const std::string& json) override {
        waiter.update([&] {
            received.push_back("e:" + json);
            threads.push_back(std::this_thread::get_id());
        });
    }
};

// Counts the completions of one call and keeps the last result.
class Completion {
public:
    AgentReply agentReply() {
        return [this](std::optional<std::string> reply) {
            waiter.update([&] {
                replies += 1;
                text = std::move(reply);
                thread = std::this_thread::get_id();
            });
        };
    }
    ControlReply controlReply() {
        return [this](std::string reply) {
            waiter.update([&] {
                replies += 1;
                text = std::move(reply);
                thread = std::this_thread::get_id();
            });
        };
    }
    std::function<void(std::string)> onError() {
        return [this](std::string description) {
            waiter.update([&] {
                errors += 1;
                error = std::move(description);
                thread = std::this_thread::get_id();
            });
        };
    }
    [[nodiscard]] bool wait() {
        return waiter.waitFor([&] { return replies + errors > 0; });
    }
    int total() {
        return waiter.read([&] { return replies + errors; });
    }

    Waiter waiter;
    int replies = 0;
    int errors = 0;
    std::optional<std::string> text;
    std::string error;
    std::thread::id thread;
};

class Service : public ::testing::Test {
protected:
    void SetUp() override {
        const Result<ServicePlaces> resolved = resolveServicePlaces(env, FolderUse::create);
        ASSERT_TRUE(resolved.ok()) << resolved.error().message;
        places = *resolved;
    }

    // Starts a listener; its peers are taken to be `peerIdentifier` (changeable
    // between connections through peerIdentifier).
    std::unique_ptr<ServiceListener> startHost(std::shared_ptr<QuorvaneServiceProtocol> service,
                                               ListenerOptions options = {}) {
        if (!options.identityReader) {
            options.identityReader = [this](pid_t) {
                std::lock_guard lock(identifierMutex);
                return Result<ProgramIdentity>(
                    ProgramIdentity{std::string(quorvaneTeamIdentifier), peerIdentifier});
            };
        }
        auto locked = ServiceLock::acquire(places);
        EXPECT_TRUE(locked.lock) << locked.error;
        if (!locked.lock) {
            return nullptr;
        }
        auto started = ServiceListener::start(
            std::move(*locked.lock),
            [this, service](const AcceptedPeer& peer) {
                if (acceptGate) {
                    acceptGate();
                }
                host.update([&] {
                    peers.push_back(peer);
                    events.push_back("opened");
                });
                return ConnectionSetup{service, [this] {
                                           host.update([&] {
                                               closed += 1;
                                               events.push_back("closed");
                                           });
                                       }};
            },
            std::move(options));
        if (!started) {
            ADD_FAILURE() << started.error().message;
            return nullptr;
        }
        return std::move(*started);
    }

    void setPeer(std::string_view identifier) {
        std::lock_guard lock(identifierMutex);
        peerIdentifier = std::string(identifier);
    }

    std::unique_ptr<ServiceConnection> client(std::shared_ptr<QuorvaneClientProtocol> sink = nullptr) {
        if (!sink) {
            sink = std::make_shared<RecordingSink>();
        }
        return std::make_unique<ServiceConnection>(std::move(sink), ConnectionOptions{env, {}});
    }

    // One agent call, waited for.
    std::shared_ptr<Completion> agent(ServiceConnection& c, const std::string& message) {
        auto done = std::make_shared<Completion>();
        (void)c.handleAgentMessage(message, done->agentReply(), done->onError());
        EXPECT_TRUE(done->wait()) << message;
        return done;
    }

    std::shared_ptr<Completion> control(ServiceConnection& c, const std::string& request) {
        auto done = std::make_shared<Completion>();
        (void)c.control(request, done->controlReply(), done->onError());
        EXPECT_TRUE(done->wait()) << request;
        return done;
    }

    int openedCount() {
        return host.read([&] { return static_cast<int>(peers.size()); });
    }

    TempDir runtime = test::runtimeFolder();
    RuntimeEnvironment env = test::privateEnvironment(runtime.path());
    ServicePlaces places;

    std::mutex identifierMutex;
    std::string peerIdentifier{quorvaneBridgeIdentifier};
    std::function<void()> acceptGate;

    Waiter host; // guards the three below
    std::vector<AcceptedPeer> peers;
    std::vector<std::string> events;
    int closed = 0;
};

// ---- Calls ---------------------------------------------------------------------------

TEST_F(Service, BothOperationsRoundTripAndAnAbsentReplyIsNotAnEmptyOne) {
    auto service = std::make_shared<ScriptedService>();
    service->onAgent = [](const std::string& m, AgentReply reply) {
        if (m == "none") {
            reply(std::nullopt);
        } else if (m == "empty") {
            reply(std::string());
        } else {
            reply("echo:" + m);
        }
    };
    auto listener = startHost(service);

    auto bridge = client();
    auto hello = agent(*bridge, "hello ✓");
    EXPECT_EQ(hello->text, std::optional<std::string>("echo:hello ✓"));
    EXPECT_NE(hello->thread, std::this_thread::get_id());
    auto absent = agent(*bridge, "none");
    EXPECT_EQ(absent->replies, 1);
    EXPECT_EQ(absent->text, std::nullopt);
    auto empty = agent(*bridge, "empty");
    EXPECT_EQ(empty->replies, 1);
    EXPECT_EQ(empty->text, std::optional<std::string>(""));

    setPeer(quorvaneAppIdentifier);
    auto app = client();
    auto snapshot = control(*app, R"({"snapshot":{}})");
    EXPECT_EQ(snapshot->text, std::optional<std::string>(R"(ctl:{"snapshot":{}})"));

    ASSERT_EQ(openedCount(), 2);
    EXPECT_EQ(peers[0].role, ProgramRole::bridge);
    EXPECT_EQ(peers[1].role, ProgramRole::app);
    EXPECT_EQ(peers[0].pid, ::getpid());
}

// The socket a peer comes through is its role; the program's identity is a
// second lock on both sockets.
TEST_F(Service, EachSocketCarriesOnlyItsOwnRoleAndProgram) {
    auto service = std::make_shared<ScriptedService>();
    auto listener = startHost(service);
    ASSERT_NE(listener, nullptr);

    // A connection goes to the socket of the call that opens it.
    auto bridge = client();
    EXPECT_EQ(agent(*bridge, "agent")->text, std::optional<std::string>("echo:agent"));
    setPeer(quorvaneAppIdentifier);
    auto app = client();
    EXPECT_EQ(control(*app, "x")->text, std::optional<std::string>("ctl:x"));
    const int served = 2;

    auto at = [&](const std::string& socketPath) {
        ConnectionOptions options{env, {}};
        options.socketPath = socketPath;
        return std::make_unique<ServiceConnection>(std::make_shared<RecordingSink>(), options);
    };
    struct Case {
        const char* what;
        std::string_view program;
        std::string socketPath;
        bool controlCall;
        const char* reason; // in the error the call fails with
    };
    const Case cases[] = {
        {"the app's control request on the agent socket", quorvaneAppIdentifier, places.socketPath, true,
         "the agent socket does not carry control"},
        {"the app's agent message on the agent socket", quorvaneAppIdentifier, places.socketPath, false,
         "the app may not call handleAgentMessage"},
        {"the app's agent message on the control socket", quorvaneAppIdentifier, places.controlSocketPath,
         false, "the control socket does not carry handleAgentMessage"},
        // The control socket never admits a bridge: it is closed before any call.
        {"the bridge's control request", quorvaneBridgeIdentifier, places.controlSocketPath, true,
         "interrupted"},
        {"the bridge's agent message on the control socket", quorvaneBridgeIdentifier,
         places.controlSocketPath, false, "interrupted"},
    };
    for (const Case& c : cases) {
        setPeer(c.program);
        auto connection = at(c.socketPath);
        auto refused = c.controlCall ? control(*connection, R"({"snapshot":{}})") : agent(*connection, "{}");
        EXPECT_EQ(refused->errors, 1) << c.what;
        EXPECT_NE(refused->error.find(c.reason), std::string::npos) << c.what << ": " << refused->error;
    }
    setPeer(quorvaneBridgeIdentifier);
    auto bridgeByDefault = client();
    auto refused = control(*bridgeByDefault, R"({"snapshot":{}})");
    EXPECT_NE(refused->error.find("interrupted"), std::string::npos) << refused->error;

    EXPECT_EQ(service->calls.load(), served); // the refused calls never reached the service
    host.read([&] {
        ASSERT_GE(peers.size(), 2u);
        EXPECT_EQ(peers[0].socket, ServiceSocket::agent);
        EXPECT_EQ(peers[1].socket, ServiceSocket::control);
        for (const auto& peer : peers) {
            if (peer.socket == ServiceSocket::control) {
                EXPECT_EQ(peer.role, ProgramRole::app);
            }
        }
    });
}

// quorvane-bridge --socket: the given socket serves every call, and only from
// a private folder of ours; a host whose program can be read never needs the
// uid-only admission.
TEST_F(Service, GivenSocketServesEveryCallFromAPrivateFolderOnly) {
    auto service = std::make_shared<ScriptedService>();
    auto listener = startHost(service);
    ASSERT_NE(listener, nullptr);

    std::atomic<int> admittedOnUid{0};
    auto at = [&](const std::string& path) {
        ConnectionOptions options{env, {}};
        options.socketPath = path;
        options.onHostOutsideNamespaces = [&admittedOnUid] { admittedOnUid += 1; };
        return std::make_unique<ServiceConnection>(std::make_shared<RecordingSink>(), options);
    };
    EXPECT_EQ(agent(*at(places.socketPath), "here")->text, std::optional<std::string>("echo:here"));
    EXPECT_EQ(admittedOnUid.load(), 0);

    // The same socket, reached through a folder that others may enter.
    const std::string open = runtime.path() + "/open";
    ASSERT_EQ(::mkdir(open.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0755), 0);
    ASSERT_EQ(::symlink(places.socketPath.c_str(), (open + "/socket").c_str()), 0);
    const std::pair<std::string, const char*> refused[] = {
        {open + "/socket", "lets group or others in"},
        {"relative/socket", "not an absolute path"},
        {"/" + std::string(maxSocketPathLength, 's'), "not an absolute path that fits"},
    };
    for (const auto& [path, reason] : refused) {
        auto failed = agent(*at(path), "never");
        EXPECT_EQ(failed->errors, 1) << path;
        EXPECT_NE(failed->error.find(reason), std::string::npos) << failed->error;
    }
    EXPECT_EQ(service->calls.load(), 1);
}

TEST_F(Service, PeersThatFailVerificationNeverReachTheOwner) {
    auto service = std::make_shared<ScriptedService>();
    const std::pair<const char*, ProgramIdentityReader> readers[] = {
        {"the host itself", test::readerAs(quorvaneHostIdentifier)},
        {"another team",
         [](pid_t) {
             return Result<ProgramIdentity>(ProgramIdentity{"ABCDEFGHIJ", "com.zentrafell.quorvane"});
         }},
        {"no identity",
         [](pid_t) { return Result<ProgramIdentity>(fail("the program carries no Quorvane identity")); }},
    };
    for (const auto& [name, reader] : readers) {
        ListenerOptions options;
        options.identityReader = reader;
        auto listener = startHost(service, options);
        auto c = client();
        auto refused = agent(*c, "hello");
        EXPECT_EQ(refused->errors, 1) << name;
        listener.reset();
    }
    EXPECT_EQ(openedCount(), 0);
    EXPECT_EQ(service->calls.load(), 0);
}

TEST_F(Service, ServiceThatDropsThrowsOrRepeatsStillGivesOneAnswerPerCall) {
    auto service = std::make_shared<ScriptedService>();
    service->onAgent = [](const std::string& m, AgentReply reply) {
        if (m == "drop") {
            return; // the callback is destroyed unanswered
        }
        if (m == "throw") {
            throw std::runtime_error("boom");
        }
        if (m == "twice") {
            reply("first");
            reply("second");
            return;
        }
        reply("echo:" + m);
    };
    auto listener = startHost(service);
    auto c = client();

    auto dropped = agent(*c, "drop");
    EXPECT_EQ(dropped->errors, 1);
    EXPECT_NE(dropped->error.find("without replying"), std::string::npos) << dropped->error;
    auto thrown = agent(*c, "throw");
    EXPECT_EQ(thrown->errors, 1);
    auto twice = agent(*c, "twice");
    EXPECT_EQ(twice->text, std::optional<std::string>("first"));
    auto next = agent(*c, "next"); // the extra "second" never answers a later call
    EXPECT_EQ(next->text, std::optional<std::string>("echo:next"));

    c.reset();
    for (auto* done : {dropped.get(), thrown.get(), twice.get(), next.get()}) {
        EXPECT_EQ(done->total(), 1);
    }
}

TEST_F(Service, GivenUpCallNeverCompletesAndItsLateReplyIsHarmless) {
    auto service = std::make_shared<ScriptedService>();
    Waiter held;
    AgentReply heldReply;
    service->onAgent = [&](const std::string& m, AgentReply reply) {
        if (m == "slow") {
            held.update([&] { heldReply = std::move(reply); });
        } else {
            reply("echo:" + m);
        }
    };
    auto listener = startHost(service);
    auto c = client();

    auto slow = std::make_shared<Completion>();
    CallHandle handle = c->handleAgentMessage("slow", slow->agentReply(), slow->onError());
    ASSERT_TRUE(held.waitFor([&] { return static_cast<bool>(heldReply); }));
    EXPECT_TRUE(handle.cancel());
    EXPECT_FALSE(handle.cancel());
    heldReply("late"); // the host answers after the caller gave up

    auto next = agent(*c, "next");
    EXPECT_EQ(next->text, std::optional<std::string>("echo:next"));
    EXPECT_FALSE(handle.cancel());

    auto done = std::make_shared<Completion>();
    CallHandle finished = c->handleAgentMessage("quick", done->agentReply(), done->onError());
    ASSERT_TRUE(done->wait());
    EXPECT_FALSE(finished.cancel()); // too late: it has completed

    c.reset();
    EXPECT_EQ(slow->total(), 0);
    EXPECT_EQ(done->total(), 1);
    EXPECT_FALSE(CallHandle().cancel());
}

TEST_F(Service, CallsOfOneConnectionAreHandledOneAtATimeInOrder) {
    // The service answers from another thread, later; the next call must still
    // wait for that answer.
    auto service = std::make_shared<ScriptedService>();
    Waiter queue;
    std::deque<std::pair<std::string, AgentReply>> pending;
    bool stop = false;
    std::atomic<int> inFlight{0};
    std::atomic<int> maxInFlight{0};
    std::vector<std::string> seen; // under queue
    service->onAgent = [&](const std::string& m, AgentReply reply) {
        const int now = ++inFlight;
        maxInFlight = std::max(maxInFlight.load(), now);
        queue.update([&] {
            seen.push_back(m);
            pending.emplace_back(m, std::move(reply));
        });
    };
    std::thread replier([&] {
        for (;;) {
            std::pair<std::string, AgentReply> next;
            if (!queue.waitFor([&] { return stop || !pending.empty(); })) {
                continue;
            }
            bool done = false;
            queue.update([&] {
                if (pending.empty()) {
                    done = stop;
                    return;
                }
                next = std::move(pending.front());
                pending.pop_front();
            });
            if (done) {
                return;
            }
            if (next.second) {
                --inFlight;
                next.second("r" + next.first);
            }
        }
    });
    auto listener = startHost(service);
    auto c = client();

    constexpr int callCount = 200;
    Waiter answers;
    std::vector<std::string> order;
    for (int i = 0; i < callCount; ++i) {
        (void)c->handleAgentMessage(
            std::to_string(i),
            [&](std::optional<std::string> reply) {
                answers.update([&] { order.push_back(reply.value_or("?")); });
            },
            [&](std::string error) { answers.update([&] { order.push_back("error:" + error); }); });
    }
    EXPECT_TRUE(answers.waitFor([&] { return order.size() == callCount; }));
    c.reset();
    listener.reset();
    queue.update([&] { stop = true; });
    replier.join();

    ASSERT_EQ(order.size(), static_cast<std::size_t>(callCount));
    for (int i = 0; i < callCount; ++i) {
        EXPECT_EQ(seen[i], std::to_string(i));
        EXPECT_EQ(order[i], "r" + std::to_string(i));
    }
    EXPECT_EQ(maxInFlight.load(), 1);
}

// Frames larger than a socket buffer go out in pieces, from the caller's
// thread and then from the transport's; pipelined calls and pushes must still
// arrive whole and in order.
TEST_F(Service, LargeFramesArriveWholeAndInOrder) {
    auto service = std::make_shared<ScriptedService>();
    service->onAgent = [](const std::string& m, AgentReply reply) { reply(m + m); };
    auto listener = startHost(service);
    auto sink = std::make_shared<RecordingSink>();
    auto c = client(sink);
    ASSERT_EQ(agent(*c, "warm")->replies, 1); // live, so the next calls start on this thread

    auto text = [](int i, std::size_t size) {
        std::string t(size, static_cast<char>('a' + i % 26));
        t.front() = '<';
        t.back() = '>';
        return t;
    };
    const std::size_t sizes[] = {1u << 20, 10, 3u << 20, 1, 2u << 20, 100};
    Waiter answers;
    std::vector<std::string> replies;
    for (int i = 0; i < 6; ++i) {
        (void)c->handleAgentMessage(
            text(i, sizes[i]),
            [&](std::optional<std::string> reply) {
                answers.update([&] { replies.push_back(reply.value_or("")); });
            },
            [&](std::string error) { answers.update([&] { replies.push_back("error:" + error); }); });
    }
    auto provider = host.read([&] { return peers[0].clientProxy; });
    for (int i = 0; i < 3; ++i) {
        provider()->controlEvent(text(i, 3u << 20));
    }
    ASSERT_TRUE(answers.waitFor([&] { return replies.size() == 6; }));
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(replies[i] == text(i, sizes[i]) + text(i, sizes[i])) << "reply " << i << " differs";
    }
    ASSERT_TRUE(sink->waiter.waitFor([&] { return sink->received.size() == 3; }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(sink->received[i] == "e:" + text(i, 3u << 20)) << "push " << i << " differs";
    }
}

// Small frames are written straight from the calling thread; when a socket is
// full, the rest of a frame and everything after it must still go out whole
// and in order. Here the host stops reading (its service waits) and then the
// client stops reading (its first callback waits), so both sides fill up.
TEST_F(Service, SmallFramesBehindAFullSocketKeepTheirOrder) {
    auto service = std::make_shared<ScriptedService>();
    Waiter gates;
    bool hostGo = false;
    bool clientGo = false;
    int handled = 0;
    service->onAgent = [&](const std::string& m, AgentReply reply) {
        if (m.rfind("0:", 0) == 0) {
            EXPECT_TRUE(gates.waitFor([&] { return hostGo; }));
        }
        gates.update([&] { ++handled; });
        reply(m);
    };
    auto listener = startHost(service);
    Waiter answers;
    std::vector<std::string> replies;
    auto c = client();
    ASSERT_EQ(agent(*c, "warm")->replies, 1);

    constexpr int callCount = 200;
    auto text = [](int i) {
        std::string t = std::to_string(i) + ":";
        t.resize(16000, static_cast<char>('a' + i % 26));
        return t;
    };
    for (int i = 0; i < callCount; ++i) {
        (void)c->handleAgentMessage(
            text(i),
            [&, i](std::optional<std::string> reply) {
                if (i == 0) {
                    EXPECT_TRUE(gates.waitFor([&] { return clientGo; }));
                }
                answers.update([&] { replies.push_back(reply.value_or("")); });
            },
            [&](std::string error) { answers.update([&] { replies.push_back("error:" + error); }); });
    }
    gates.update([&] { hostGo = true; });
    ASSERT_TRUE(gates.waitFor([&] { return handled == callCount + 1; })); // every reply written or queued
    gates.update([&] { clientGo = true; });
    ASSERT_TRUE(answers.waitFor([&] { return replies.size() == callCount; }));
    for (int i = 0; i < callCount; ++i) {
        EXPECT_TRUE(replies[i] == text(i)) << "reply " << i << " differs";
    }
    c.reset();
}

TEST_F(Service, DifferentConnectionsAreServedConcurrently) {
    // The first connection's call can only finish once the second one's has
    // been handled.
    auto service = std::make_shared<ScriptedService>();
    Waiter gate;
    bool firstArrived = false;
    bool secondArrived = false;
    service->onAgent = [&](const std::string& m, AgentReply reply) {
        if (m == "first") {
            gate.update([&] { firstArrived = true; });
            const bool other = gate.waitFor([&] { return secondArrived; });
            reply(other ? "first done" : "first timed out");
        } else {
            gate.update([&] { secondArrived = true; });
            reply("second done");
        }
    };
    auto listener = startHost(service);
    auto a = client();
    auto b = client();
    auto first = std::make_shared<Completion>();
    (void)a->handleAgentMessage("first", first->agentReply(), first->onError());
    ASSERT_TRUE(gate.waitFor([&] { return firstArrived; }));
    EXPECT_EQ(agent(*b, "second")->text, std::optional<std::string>("second done"));
    ASSERT_TRUE(first->wait());
    EXPECT_EQ(first->text, std::optional<std::string>("first done"));
}

TEST_F(Service, OwnerLearnsOfTheConnectionBeforeAnyOfItsCallsIsHandled) {
    auto service = std::make_shared<ScriptedService>();
    service->onAgent = [this](const std::string& m, AgentReply reply) {
        host.update([&] { events.push_back("call:" + m); });
        reply("ok");
    };
    Waiter gate;
    bool entered = false;
    bool release = false;
    acceptGate = [&] {
        gate.update([&] { entered = true; });
        EXPECT_TRUE(gate.waitFor([&] { return release; }));
    };
    auto listener = startHost(service);
    auto c = client();
    auto done = std::make_shared<Completion>();
    (void)c->handleAgentMessage("first", done->agentReply(), done->onError());
    ASSERT_TRUE(gate.waitFor([&] { return entered; })); // the call is on its way meanwhile
    gate.update([&] { release = true; });
    ASSERT_TRUE(done->wait());
    c.reset();
    listener.reset();
    EXPECT_EQ(events, (std::vector<std::string>{"opened", "call:first", "closed"}));
}

// ---- Pushes --------------------------------------------------------------------------

TEST_F(Service, PushesArriveInOrderOnATransportThreadWhileTheConnectionLives) {
    auto listener = startHost(std::make_shared<ScriptedService>());
    auto sink = std::make_shared<RecordingSink>();
    auto c = client(sink);
    ASSERT_EQ(agent(*c, "hi")->replies, 1);
    ASSERT_EQ(openedCount(), 1);
    auto provider = host.read([&] { return peers[0].clientProxy; });

    std::vector<std::string> expected;
    for (int i = 0; i < 50; ++i) {
        auto proxy = provider();
        ASSERT_TRUE(proxy);
        proxy->deliverAgentNotification("note " + std::to_string(i));
        proxy->controlEvent("{\"dataChanged\":{}}");
        expected.push_back("n:note " + std::to_string(i));
        expected.push_back("e:{\"dataChanged\":{}}");
    }
    provider()->deliverAgentNotification("\xC3"); // not UTF-8: dropped, the connection lives on
    provider()->deliverAgentNotification("last");
    expected.push_back("n:last");
    ASSERT_TRUE(sink->waiter.waitFor([&] { return sink->received.size() == expected.size(); }));
    EXPECT_EQ(sink->received, expected);
    EXPECT_NE(sink->threads.front(), std::this_thread::get_id());

    auto kept = provider();
    c.reset();
    ASSERT_TRUE(host.waitFor([&] { return closed == 1; }));
    EXPECT_EQ(provider(), nullptr);
    kept->deliverAgentNotification("after the end"); // a proxy kept past the end does nothing
}

TEST_F(Service, PeerThatStopsReadingIsCutOffWithoutBlockingTheHost) {
    ListenerOptions options;
    options.maxQueuedPushes = 1000;
    options.maxQueuedPushBytes = 256 * 1024; // four chunks
    auto listener = startHost(std::make_shared<ScriptedService>(), options);

    const int stalled = test::connectRaw(places.socketPath); // never reads
    ASSERT_GE(stalled, 0);
    ASSERT_TRUE(host.waitFor([&] { return peers.size() == 1; }));
    auto sink = std::make_shared<RecordingSink>();
    auto healthy = client(sink);
    ASSERT_EQ(agent(*healthy, "hi")->replies, 1);
    auto stalledProxy = host.read([&] { return peers[0].clientProxy; });
    auto healthyProxy = host.read([&] { return peers[1].clientProxy; });

    const std::string chunk(64 * 1024, 'p');
    int pushes = 0;
    while (auto proxy = stalledProxy()) {
        ASSERT_LT(pushes, 100000) << "the queue was never bounded";
        proxy->deliverAgentNotification(chunk); // returns at once every time
        healthyProxy()->controlEvent(std::to_string(pushes));
        ++pushes;
    }
    EXPECT_TRUE(host.waitFor([&] { return closed == 1; }));
    EXPECT_TRUE(test::readsUntilClosed(stalled, true)); // what was sent, then the end
    ::close(stalled);

    // The other peer keeps its connection and got every push.
    ASSERT_TRUE(sink->waiter.waitFor([&] { return static_cast<int>(sink->received.size()) == pushes; }));
    EXPECT_EQ(agent(*healthy, "still here")->text, std::optional<std::string>("echo:still here"));
    EXPECT_EQ(host.read([&] { return closed; }), 1);
}

// ---- Interruption and invalidation -------------------------------------------------

TEST_F(Service, InterruptionIsReportedAndTheSameObjectReconnectsOnItsNextCall) {
    auto service = std::make_shared<ScriptedService>();
    auto listener = startHost(service);
    auto c = client();
    Waiter handlers;
    int interruptions = 0;
    int invalidations = 0;
    std::thread::id handlerThread;
    c->setInterruptionHandler([&] {
        handlers.update([&] {
            interruptions += 1;
            handlerThread = std::this_thread::get_id();
        });
    });
    c->setInvalidationHandler([&] { handlers.update([&] { invalidations += 1; }); });

    ASSERT_EQ(agent(*c, "one")->replies, 1);
    listener.reset(); // the host goes away
    ASSERT_TRUE(handlers.waitFor([&] { return interruptions == 1; }));
    EXPECT_NE(handlerThread, std::this_thread::get_id());

    auto down = agent(*c, "while down");
    EXPECT_EQ(down->errors, 1);
    EXPECT_NE(down->error.find("not running"), std::string::npos) << down->error;

    listener = startHost(service);
    EXPECT_EQ(agent(*c, "two")->text, std::optional<std::string>("echo:two"));
    EXPECT_EQ(openedCount(), 2);

    c.reset(); // releasing runs neither handler
    EXPECT_EQ(interruptions, 1);
    EXPECT_EQ(invalidations, 0);
}

TEST_F(Service, PendingCallFailsOnceWhenTheHostGoesAwayMidCall) {
    auto service = std::make_shared<ScriptedService>();
    Waiter held;
    AgentReply heldReply;
    service->onAgent = [&](const std::string&, AgentReply reply) {
        held.update([&] { heldReply = std::move(reply); });
    };
    auto listener = startHost(service);
    auto c = client();
    auto pending = std::make_shared<Completion>();
    (void)c->handleAgentMessage("stuck", pending->agentReply(), pending->onError());
    ASSERT_TRUE(held.waitFor([&] { return static_cast<bool>(heldReply); }));

    listener.reset(); // does not wait for the held reply
    ASSERT_TRUE(pending->wait());
    EXPECT_EQ(pending->errors, 1);
    EXPECT_NE(pending->error.find("interrupted"), std::string::npos) << pending->error;
    EXPECT_EQ(host.read([&] { return closed; }), 1);

    heldReply("too late"); // answering into a closed connection is harmless
    heldReply = nullptr;
    c.reset();
    EXPECT_EQ(pending->total(), 1);
}

TEST_F(Service, InvalidationFailsWhatIsPendingAndIsFinal) {
    auto service = std::make_shared<ScriptedService>();
    Waiter held;
    AgentReply heldReply;
    service->onAgent = [&](const std::string& m, AgentReply reply) {
        if (m == "hold") {
            held.update([&] { heldReply = std::move(reply); });
        } else {
            reply("echo:" + m);
        }
    };
    auto listener = startHost(service);
    auto c = client();
    Waiter handlers;
    int interruptions = 0;
    int invalidations = 0;
    int pendingAtInvalidation = -1;
    std::thread::id handlerThread;
    auto pending = std::make_shared<Completion>();
    c->setInterruptionHandler([&] { handlers.update([&] { interruptions += 1; }); });
    c->setInvalidationHandler([&] {
        const int settled = pending->total();
        handlers.update([&] {
            invalidations += 1;
            pendingAtInvalidation = settled;
            handlerThread = std::this_thread::get_id();
        });
    });

    (void)c->handleAgentMessage("hold", pending->agentReply(), pending->onError());
    ASSERT_TRUE(held.waitFor([&] { return static_cast<bool>(heldReply); }));
    c->invalidate();
    c->invalidate();
    ASSERT_TRUE(pending->wait());
    EXPECT_EQ(pending->errors, 1);
    EXPECT_NE(pending->error.find("invalidated"), std::string::npos) << pending->error;
    ASSERT_TRUE(handlers.waitFor([&] { return invalidations == 1; }));
    EXPECT_EQ(pendingAtInvalidation, 1); // the pending call failed before the handler ran
    EXPECT_NE(handlerThread, std::this_thread::get_id());

    auto later = agent(*c, "later");
    EXPECT_EQ(later->errors, 1);
    EXPECT_NE(later->error.find("invalidated"), std::string::npos) << later->error;
    EXPECT_TRUE(host.waitFor([&] { return closed == 1; }));
    EXPECT_EQ(openedCount(), 1); // no reconnection after invalidation

    heldReply("late");
    c.reset();
    EXPECT_EQ(invalidations, 1);
    EXPECT_EQ(interruptions, 0);
}

TEST_F(Service, ConnectionMayBeReleasedFromItsOwnCallback) {
    auto listener = startHost(std::make_shared<ScriptedService>());
    std::unique_ptr<ServiceConnection> c = client();
    Waiter done;
    bool released = false;
    (void)c->handleAgentMessage(
        "bye",
        [&](std::optional<std::string>) {
            c.reset();
            done.update([&] { released = true; });
        },
        [&](std::string) { done.update([&] { released = true; }); });
    EXPECT_TRUE(done.waitFor([&] { return released; }));
    EXPECT_TRUE(host.waitFor([&] { return closed == 1; }));
}

TEST_F(Service, UnreachableHostFailsTheCallWithoutAnInterruption) {
    auto c = client();
    int interruptions = 0;
    c->setInterruptionHandler([&] { ++interruptions; });
    auto first = agent(*c, "anyone?");
    EXPECT_EQ(first->errors, 1);
    EXPECT_NE(first->error.find("not running"), std::string::npos) << first->error;

    RuntimeEnvironment missing = test::privateEnvironment(runtime.path() + "/missing");
    ServiceConnection elsewhere(std::make_shared<RecordingSink>(), ConnectionOptions{missing, {}});
    auto second = agent(elsewhere, "anyone?");
    EXPECT_EQ(second->errors, 1);
    EXPECT_NE(second->error.find("cannot reach the Quorvane host"), std::string::npos) << second->error;
    c.reset();
    EXPECT_EQ(interruptions, 0);
}

// ---- Frames at the edges -------------------------------------------------------------

TEST_F(Service, HostClosesOnBadFramesBeforeTheServiceSeesThem) {
    auto service = std::make_shared<ScriptedService>();
    auto listener = startHost(service);
    const std::string validCall =
        encodeFrame({FrameKind::call, Operation::handleAgentMessage, 1, false, "hi"}, maxFrameToHost);
    struct Case {
        const char* name;
        std::string bytes;
        bool closeWriting; // end our side after sending
    };
    const Case cases[] = {
        {"oversized (header only)", test::rawHeader(maxFrameToHost + 1, 1, 1, 0, frameVersion, 1), false},
        {"truncated header", validCall.substr(0, 9), true},
        {"truncated payload", validCall.substr(0, validCall.size() - 1), true},
        {"push from a client",
         encodeFrame({FrameKind::push, Operation::deliverAgentNotification, 0, false, "x"}, 64), false},
        {"payload not UTF-8", test::rawHeader(1, 1, 1, 0, frameVersion, 1) + "\xFF", false},
    };
    int expectedClosed = 0;
    for (const Case& c : cases) {
        const int fd = test::connectRaw(places.socketPath);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, c.bytes));
        if (c.closeWriting) {
            ::shutdown(fd, SHUT_WR);
        }
        EXPECT_TRUE(test::readsUntilClosed(fd)) << c.name;
        ::close(fd);
        ++expectedClosed;
        EXPECT_TRUE(host.waitFor([&] { return closed == expectedClosed; })) << c.name;
    }
    EXPECT_EQ(service->calls.load(), 0);

    // The largest call a host accepts still goes through.
    auto c = client();
    auto big = agent(*c, std::string(maxFrameToHost, 'a'));
    EXPECT_EQ(big->replies, 1);
    auto tooBig = agent(*c, std::string(maxFrameToHost + 1, 'a'));
    EXPECT_EQ(tooBig->errors, 1);
    EXPECT_NE(tooBig->error.find("larger than 4 MiB"), std::string::npos) << tooBig->error;
    auto notUtf8 = agent(*c, "\xC3\x28");
    EXPECT_EQ(notUtf8->errors, 1);
    EXPECT_EQ(service->calls.load(), 1);
}

TEST_F(Service, RepliesThatCannotTravelBecomeFailures) {
    auto service = std::make_shared<ScriptedService>();
    service->onAgent = [](const std::string& m, AgentReply reply) {
        if (m == "huge") {
            reply(std::string(maxFrameFromHost + 1, 'r'));
        } else {
            reply(std::string("\xFF\xFE"));
        }
    };
    auto listener = startHost(service);
    auto c = client();
    for (const char* message : {"huge", "bad"}) {
        auto done = agent(*c, message);
        EXPECT_EQ(done->errors, 1) << message;
        EXPECT_NE(done->error.find("too large or not valid UTF-8"), std::string::npos) << done->error;
    }
}

// A stand-in host in this process (it carries the host identity) that answers
// each call with bytes of the test's choosing.
class FakeHost {
public:
    FakeHost(const std::string& path, std::string answer) : answer_(std::move(answer)) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd_, 4), 0);
        thread_ = std::thread([this] {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) {
                return;
            }
            const ReadResult call = readFrame(c, maxFrameToHost);
            std::string bytes = answer_;
            if (call.status == ReadStatus::frame) {
                // Patch the call id into the answer's header.
                for (int i = 0; i < 8 && bytes.size() >= frameHeaderSize; ++i) {
                    bytes[8 + i] = static_cast<char>((call.frame.callId >> (8 * i)) & 0xff);
                }
            }
            (void)sendAll(c, bytes);
            ::close(c);
        });
    }
    ~FakeHost() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }

private:
    std::string answer_;
    int fd_ = -1;
    std::thread thread_;
};

TEST_F(Service, ClientDropsAHostThatSendsBadFrames) {
    struct Case {
        const char* name;
        std::string answer;
        const char* reason;
    };
    const Case cases[] = {
        {"oversized", test::rawHeader(maxFrameFromHost + 1, 2, 1, 0, frameVersion, 0), "larger than allowed"},
        {"truncated", test::rawHeader(10, 2, 1, 0, frameVersion, 0) + "abc", "inside a frame"},
        {"wrong operation", test::rawHeader(1, 2, 2, 0, frameVersion, 0) + "x", "another operation"},
        {"a call", test::rawHeader(1, 1, 1, 0, frameVersion, 0) + "x", "sent a call"},
    };
    for (const Case& c : cases) {
        FakeHost fake(places.socketPath, c.answer);
        auto connection = client();
        Waiter handlers;
        int interruptions = 0;
        connection->setInterruptionHandler([&] { handlers.update([&] { ++interruptions; }); });
        auto done = agent(*connection, "hi");
        EXPECT_EQ(done->errors, 1) << c.name;
        EXPECT_NE(done->error.find(c.reason), std::string::npos) << c.name << ": " << done->error;
        EXPECT_TRUE(handlers.waitFor([&] { return interruptions == 1; })) << c.name;
        connection.reset();
    }
}

// ---- One host --------------------------------------------------------------------------

TEST_F(Service, SecondListenerIsRefusedAsAlreadyRunningAndTheFirstKeepsServing) {
    auto first = startHost(std::make_shared<ScriptedService>());
    const ServiceLock::Result second = ServiceLock::acquire(places);
    EXPECT_EQ(second.status, ServiceLock::Status::alreadyRunning);
    EXPECT_FALSE(second.lock);
    EXPECT_EQ(second.error, "another host is already running");

    auto c = client();
    EXPECT_EQ(agent(*c, "still served")->text, std::optional<std::string>("echo:still served"));

    first.reset();
    EXPECT_EQ(ServiceLock::acquire(places).status, ServiceLock::Status::acquired);
}

TEST_F(Service, LockHolderReplacesAStaleSocket) {
    {
        // A socket file left behind by a host that died.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, places.socketPath.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    auto c = client();
    EXPECT_EQ(agent(*c, "before")->errors, 1);
    auto listener = startHost(std::make_shared<ScriptedService>());
    EXPECT_EQ(agent(*c, "after")->text, std::optional<std::string>("echo:after"));
    listener.reset();
    EXPECT_NE(::access(places.socketPath.c_str(), F_OK), 0); // a stopped host removes its socket
}

} // namespace
} // namespace quorvane
