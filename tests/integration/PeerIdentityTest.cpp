// Who may talk to whom: the host refuses programs that are not Quorvane's and
// processes of other users before the engine hears of them, and clients refuse
// a socket served by a program that is not the host.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "common/Json.h"
#include "tests/integration/Messages.h"
#include "tests/integration/Support.h"

namespace quorvane::e2e {
namespace {

namespace fs = std::filesystem;

// Connects to argv[1], sends the bytes given in hex as argv[2], and reports how
// many bytes came back before the host closed the connection.
constexpr const char* foreignClientScript = R"(
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(sys.argv[1])
s.settimeout(10)
received = 0
try:
    s.sendall(bytes.fromhex(sys.argv[2]))
    while True:
        data = s.recv(65536)
        if not data:
            break
        received += len(data)
    print("received", received, "then closed", flush=True)
except (BrokenPipeError, ConnectionResetError):
    print("received", received, "then closed", flush=True)
except socket.timeout:
    print("received", received, "still open", flush=True)
)";

// Serves argv[1] pretending to be the host: it greets every connection with a
// reply frame for call 1 and reports how many bytes the client sent before it
// hung up.
constexpr const char* foreignServerScript = R"(
import os, socket, struct, sys
path = sys.argv[1]
os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
server.bind(path)
server.listen(16)
print("ready", flush=True)
answer = b'{"jsonrpc":"2.0","id":1,"result":{}}'
while True:
    connection, _ = server.accept()
    connection.settimeout(10)
    received = 0
    try:
        connection.sendall(struct.pack("<IBBBBQ", len(answer), 2, 1, 0, 1, 1) + answer)
        while True:
            data = connection.recv(65536)
            if not data:
                break
            received += len(data)
    except OSError:
        pass
    print("accepted", received, flush=True)
    connection.close()
)";

std::string hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

class PeerIdentityTest : public ::testing::Test {
protected:
    void SetUp() override { python = findOnPath("python3"); }

    // Python runs with the test's own PATH (its launcher may need it).
    std::unique_ptr<Child> startPython(const char* script, std::vector<std::string> arguments) {
        std::vector<std::string> command = {python, "-c", script};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return sandbox.start(command, {"PATH=" + std::string(std::getenv("PATH"))}, false);
    }

    // The raw peer with the bridge's identity, as our own user: the host admits
    // it, which shows that a refusal of the same bytes is about who sent them.
    void expectOwnPeerAdmitted(const std::string& peer) {
        auto admitted =
            sandbox.start({peer, sandbox.socketPath().string(), initializeLine(1, "own-peer")}, {}, false);
        EXPECT_EQ(admitted->waitForExit(), 0) << admitted->errorOutput();
        const auto said = admitted->readLine();
        ASSERT_TRUE(said.has_value());
        ASSERT_EQ(said->rfind("reply ", 0), 0u) << *said;
        EXPECT_TRUE(sameMessage(said->substr(6), initializeReply(1, instructionsUnauthenticated)));
        ControlClient control(sandbox);
        EXPECT_EQ(requestPayloads(control.snapshot()),
                  std::vector<std::string>{initializeLine(1, "own-peer")});
    }

    // The refused peer's message never reached the engine: no connection, no
    // API log line, no account.
    void expectEngineSawNothing() {
        ControlClient control(sandbox);
        const Snapshot snapshot = control.snapshot();
        EXPECT_TRUE(requestPayloads(snapshot).empty());
        EXPECT_TRUE(snapshot.connections.empty());
        EXPECT_TRUE(snapshot.accounts.empty());
    }

    Sandbox sandbox;
    std::string python;
};

TEST_F(PeerIdentityTest, ProgramWithoutQuorvaneIdentityIsRefused) {
    if (python.empty()) {
        GTEST_SKIP() << "python3 is not installed";
    }
    auto host = sandbox.startHost();
    ASSERT_NE(host, nullptr);

    auto foreign = startPython(foreignClientScript, {sandbox.socketPath().string(),
                                                     hex(agentCallFrame(initializeLine(1, "foreign")))});
    EXPECT_EQ(foreign->readLine(), "received 0 then closed") << foreign->errorOutput();
    EXPECT_EQ(foreign->waitForExit(), 0);

    expectEngineSawNothing();
    expectOwnPeerAdmitted(peerProgram());
}

TEST_F(PeerIdentityTest, ProcessOfAnotherUserIsRefused) {
    const std::string setpriv = fs::exists("/usr/bin/setpriv") ? "/usr/bin/setpriv" : findOnPath("setpriv");
    if (::geteuid() != 0 || setpriv.empty()) {
        GTEST_SKIP() << "needs root and setpriv to run a process as another user";
    }
    auto host = sandbox.startHost();
    ASSERT_NE(host, nullptr);

    // Test-only arrangement: let the other user reach the socket and run the
    // peer. The host checked its folders when it started.
    const fs::path peer = sandbox.root() / "peer";
    fs::copy_file(peerProgram(), peer);
    ::chmod(peer.c_str(), 0755);
    for (const fs::path& folder : {sandbox.root(), sandbox.runtimeFolder().parent_path(),
                                   sandbox.runtimeFolder(), sandbox.serviceFolder()}) {
        ::chmod(folder.c_str(), 0711);
    }
    ::chmod(sandbox.socketPath().c_str(), 0777);

    auto foreign = sandbox.start({setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", peer.string(),
                                  sandbox.socketPath().string(), initializeLine(1, "foreign")},
                                 {}, false);
    const auto status = foreign->waitForExit();
    const auto said = foreign->readLine();
    ASSERT_TRUE(said.has_value()) << foreign->errorOutput();
    ASSERT_NE(said->rfind("connect-failed", 0), 0u) << "the test arrangement failed: " << *said;
    EXPECT_EQ(said->rfind("closed ", 0), 0u) << *said;
    EXPECT_EQ(status, 3);

    // Private again, as clients insist.
    for (const fs::path& folder : {sandbox.runtimeFolder(), sandbox.serviceFolder()}) {
        ::chmod(folder.c_str(), 0700);
    }
    expectEngineSawNothing();
    expectOwnPeerAdmitted(peer.string());
}

TEST_F(PeerIdentityTest, ClientsRefuseASocketServedByAnotherProgram) {
    if (python.empty()) {
        GTEST_SKIP() << "python3 is not installed";
    }
    auto impostor = startPython(foreignServerScript, {sandbox.socketPath().string()});
    ASSERT_EQ(impostor->readLine(), "ready") << impostor->errorOutput();
    const fs::path controlSocket =
        sandbox.runtimeFolder() / "quorvane-control" / std::string(quorvaneServiceName);
    auto controlImpostor = startPython(foreignServerScript, {controlSocket.string()});
    ASSERT_EQ(controlImpostor->readLine(), "ready") << controlImpostor->errorOutput();

    // The operator app's client, at the control socket: the call fails and
    // sends nothing.
    {
        ControlClient control(sandbox);
        std::string error;
        EXPECT_FALSE(control.request(ControlRequest::snapshot(), &error).has_value());
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(controlImpostor->readLine(), "accepted 0");

    // A real bridge: it reports the refusal, sends nothing and writes no reply.
    auto bridge = sandbox.startBridge();
    ASSERT_TRUE(bridge->writeLine(initializeLine(1)));
    EXPECT_TRUE(bridge->waitForErrorText("quorvane bridge: transport error: ")) << bridge->errorOutput();
    EXPECT_EQ(impostor->readLine(), "accepted 0");
    EXPECT_FALSE(bridge->hasOutputWithin(500ms));
}

} // namespace
} // namespace quorvane::e2e
