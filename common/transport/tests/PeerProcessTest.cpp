// Real programs on both sides: the peer programs built by this folder carry
// the bridge, app or host identity, or none; this test program carries the
// host identity and runs real listeners and clients with the real checks.

#include "common/transport/ServiceConnection.h"
#include "common/transport/ServiceListener.h"
#include "common/transport/tests/TestSupport.h"
#include "tests/support/FakeHost.h"

#include <gtest/gtest.h>

#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quorvane {
namespace {

using test::Child;
using test::FakeHost;
using test::TempDir;
using test::Waiter;

class PeerProcesses : public ::testing::Test {
protected:
    void SetUp() override {
        const Result<ServicePlaces> resolved = resolveServicePlaces(env, FolderUse::create);
        ASSERT_TRUE(resolved.ok()) << resolved.error().message;
        places = *resolved;
    }

    // A listener in this process with the real peer checks: it echoes agent
    // messages and control requests.
    void startHost() {
        FakeHost::Options options;
        options.agent = [](const std::string& message) {
            return std::optional<std::string>("echo:" + message);
        };
        options.control = [](const std::string& request) {
            return std::optional<std::string>("ctl:" + request);
        };
        host = std::make_unique<FakeHost>(env, std::move(options));
    }

    // Runs a peer program to its end and answers its one line of output.
    std::string run(const std::vector<std::string>& argv, bool mustSucceed = true) {
        Child child(argv);
        std::string line = child.readLine().value_or("<no output>");
        const int status = child.finish();
        if (mustSucceed) {
            EXPECT_EQ(status, 0) << argv[0];
        }
        return line;
    }

    std::string call(const std::string& flavour, const std::string& op, const std::string& text) {
        return run({test::peerProgram(flavour), "call", runtime.path(), op, text});
    }

    // One call from this process, waited for: "reply:…" or "error:…".
    std::string callFromHere(const std::string& text, ServiceConnection* connection = nullptr) {
        std::unique_ptr<ServiceConnection> own;
        if (!connection) {
            own = std::make_unique<ServiceConnection>(std::make_shared<test::IgnoringReceiver>(),
                                                      ConnectionOptions{env, {}});
            connection = own.get();
        }
        const auto outcome = test::callAgent(*connection, text);
        return outcome ? "reply:" + outcome->value_or("<absent>") : "error:" + outcome.error().message;
    }

    std::vector<AcceptedPeer> admitted() const {
        return host ? host->admitted() : std::vector<AcceptedPeer>{};
    }

    TempDir runtime = test::runtimeFolder();
    RuntimeEnvironment env = test::privateEnvironment(runtime.path());
    ServicePlaces places;
    std::unique_ptr<FakeHost> host;
};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(PeerProcesses, BridgeAndAppAreAdmittedAndEachKeepsToItsOperation) {
    startHost();
    EXPECT_EQ(call("bridge", "agent", "hello"), "reply:echo:hello");
    EXPECT_EQ(call("app", "control", "{\"snapshot\":{}}"), "reply:ctl:{\"snapshot\":{}}");

    // A control request goes to the control socket, which never admits a bridge.
    const std::string bridgeControl = call("bridge", "control", "{\"snapshot\":{}}");
    EXPECT_TRUE(contains(bridgeControl, "error:") && contains(bridgeControl, "interrupted")) << bridgeControl;
    const std::string appAgent = call("app", "agent", "{}");
    EXPECT_TRUE(contains(appAgent, "error:") && contains(appAgent, "the app may not call handleAgentMessage"))
        << appAgent;

    const auto peers = admitted();
    ASSERT_EQ(peers.size(), 3u);
    EXPECT_EQ(peers[0].role, ProgramRole::bridge);
    EXPECT_EQ(peers[0].socket, ServiceSocket::agent);
    EXPECT_EQ(peers[1].role, ProgramRole::app);
    EXPECT_EQ(peers[1].socket, ServiceSocket::control);
    EXPECT_EQ(peers[2].socket, ServiceSocket::agent);
}

TEST_F(PeerProcesses, ProgramsWithoutACallerIdentityNeverReachTheOwner) {
    startHost();
    for (const char* flavour : {"plain", "host"}) {
        const std::string result = call(flavour, "agent", "hello");
        EXPECT_TRUE(contains(result, "error:") && contains(result, "interrupted"))
            << flavour << ": " << result;
    }
    EXPECT_TRUE(admitted().empty());
}

TEST_F(PeerProcesses, ForeignInterpreterIsRefused) {
    const auto python = test::findInPath("python3");
    if (!python) {
        GTEST_SKIP() << "python3 is not installed";
    }
    startHost();
    const std::string call =
        encodeFrame({FrameKind::call, Operation::handleAgentMessage, 1, false, "{}"}, 64);
    std::string hex;
    for (unsigned char c : call) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", c);
        hex += two;
    }
    // The host may close before the frame is even written: a broken pipe or
    // a reset counts as closed too.
    const std::string script = "import socket,sys\n"
                               "s=socket.socket(socket.AF_UNIX)\n"
                               "s.settimeout(20)\n"
                               "s.connect(sys.argv[1])\n"
                               "data=b''\n"
                               "try:\n"
                               "    s.sendall(bytes.fromhex(sys.argv[2]))\n"
                               "    while True:\n"
                               "        chunk=s.recv(4096)\n"
                               "        if not chunk: break\n"
                               "        data+=chunk\n"
                               "except (BrokenPipeError, ConnectionResetError):\n"
                               "    pass\n"
                               "print('closed' if not data else 'answered')\n";
    EXPECT_EQ(run({*python, "-c", script, places.socketPath, hex}), "closed");
    EXPECT_TRUE(admitted().empty());
}

TEST_F(PeerProcesses, ClientsAcceptOnlyAProgramWithTheHostIdentity) {
    struct Case {
        const char* flavour;
        const char* expected;
    };
    const Case cases[] = {
        {"host", "reply:echo:hi"},
        {"bridge", "the peer is the Quorvane bridge, which is not admitted here"},
        {"app", "the peer is the Quorvane app, which is not admitted here"},
        {"plain", "the program carries no Quorvane identity"},
    };
    for (const Case& c : cases) {
        auto server = std::make_unique<Child>(
            std::vector<std::string>{test::peerProgram(c.flavour), "serve", runtime.path(), "--admit-any"});
        ASSERT_EQ(server->readLine(), std::optional<std::string>("ready")) << c.flavour;
        const std::string result = callFromHere("hi");
        EXPECT_TRUE(contains(result, c.expected)) << c.flavour << ": " << result;
        EXPECT_EQ(server->finish(), 0);
    }
}

TEST_F(PeerProcesses, HostDyingMidCallFailsTheCallOnceAndANewHostIsReachedByTheSameConnection) {
    auto first = std::make_unique<Child>(
        std::vector<std::string>{test::peerProgram("host"), "serve", runtime.path(), "--admit-any"});
    ASSERT_EQ(first->readLine(), std::optional<std::string>("ready"));

    Waiter handlers; // before the connection, which reports into it until it is gone
    int interruptions = 0;
    ServiceConnection connection(std::make_shared<test::IgnoringReceiver>(), ConnectionOptions{env, {}});
    connection.setInterruptionHandler([&] { handlers.update([&] { ++interruptions; }); });

    EXPECT_EQ(callFromHere("one", &connection), "reply:echo:one");
    const std::string died = callFromHere("exit", &connection); // the host exits inside the call
    EXPECT_TRUE(contains(died, "error:") && contains(died, "interrupted")) << died;
    EXPECT_EQ(first->finish(), 3);
    EXPECT_TRUE(handlers.waitFor([&] { return interruptions == 1; }));

    // The dead host left its socket behind; the next one holds the lock and replaces it.
    auto second = std::make_unique<Child>(
        std::vector<std::string>{test::peerProgram("host"), "serve", runtime.path(), "--admit-any"});
    ASSERT_EQ(second->readLine(), std::optional<std::string>("ready"));
    EXPECT_EQ(callFromHere("two", &connection), "reply:echo:two");
    EXPECT_EQ(second->finish(), 0);
}

TEST_F(PeerProcesses, SecondHostProcessFindsTheLockTaken) {
    startHost();
    auto second =
        std::make_unique<Child>(std::vector<std::string>{test::peerProgram("host"), "serve", runtime.path()});
    EXPECT_EQ(second->readLine(), std::optional<std::string>("error:another host is already running"));
    EXPECT_EQ(second->finish(), 1);
    EXPECT_EQ(call("bridge", "agent", "still here"), "reply:echo:still here");
}

// Another user's process is refused by uid, whatever program it runs: as a
// caller of this host, and as a host that this client reaches.
TEST_F(PeerProcesses, ForeignUidIsRefusedBothWays) {
    const auto setpriv = test::findInPath("setpriv");
    if (::geteuid() != 0 || !setpriv) {
        GTEST_SKIP() << "needs root and setpriv to run a program as another user";
    }
    const std::vector<std::string> asNobody = {*setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};

    // (1) A bridge program run by uid 65534 calls this host. The folders are
    // opened up after the listener started so that it can reach the socket
    // at all; only the uid check stands in its way.
    startHost();
    ASSERT_EQ(::chmod(runtime.path().c_str(), 0711), 0);
    ASSERT_EQ(::chmod(places.directory.c_str(), 0711), 0);
    ASSERT_EQ(::chmod(places.socketPath.c_str(), 0777), 0);
    auto args = asNobody;
    args.insert(args.end(), {test::peerProgram("bridge"), "rawcall", places.socketPath, "agent", "hi"});
    const std::string result = run(args, false);
    if (contains(result, "Permission denied") || result == "<no output>") {
        GTEST_SKIP() << "uid 65534 cannot run the peer program here: " << result;
    }
    EXPECT_EQ(result, "closed");
    EXPECT_TRUE(admitted().empty());
    host.reset();
    ASSERT_EQ(::chmod(runtime.path().c_str(), 0700), 0);
    ASSERT_EQ(::chmod(places.directory.c_str(), 0700), 0);

    // (2) A host program run by uid 65534 listens on a socket bound in our
    // folder; this client must refuse it.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0); // inherited by the child
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, places.socketPath.c_str(), sizeof address.sun_path - 1);
    ::unlink(places.socketPath.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    args = asNobody;
    args.insert(args.end(), {test::peerProgram("host"), "listen-fd", std::to_string(fd)});
    Child::Options options;
    options.arguments = args;
    options.error = Child::Stream::inherit;
    options.inheritFds = {fd};
    auto foreignHost = std::make_unique<Child>(options);
    ::close(fd);
    ASSERT_EQ(foreignHost->readLine(), std::optional<std::string>("ready"));
    const std::string refused = callFromHere("hi");
    EXPECT_TRUE(contains(refused, "error:") && contains(refused, "runs as uid 65534")) << refused;
    EXPECT_EQ(foreignHost->finish(), 0);
}

} // namespace
} // namespace quorvane
