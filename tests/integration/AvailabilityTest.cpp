// The bridge when the host is not there: the error reply after the retry
// window, starting the host through the registration program beside it, and
// the bridge's own limits (oversized lines, end of input).

#include <gtest/gtest.h>

#include <filesystem>

#include "common/Json.h"
#include "tests/integration/Messages.h"
#include "tests/integration/Support.h"

namespace quorvane::e2e {
namespace {

namespace fs = std::filesystem;

std::size_t occurrences(const std::string& text, std::string_view part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

// Every line the bridge writes to standard error carries its prefix.
void expectOnlyNotes(const std::string& errors) {
    std::size_t start = 0;
    while (start < errors.size()) {
        const auto end = errors.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "unterminated line in: " << errors;
        EXPECT_EQ(errors.compare(start, 17, "quorvane bridge: "), 0) << errors.substr(start, end - start);
        start = end + 1;
    }
}

TEST(HostUnavailableTest, RequestGetsTheErrorReplyAfterTheRetryWindowWithOneBootstrapNote) {
    Sandbox sandbox;
    // The bridge alone in its folder: the build puts the registration program
    // beside it, which would start a host.
    const fs::path alone = sandbox.root() / "alone";
    fs::create_directories(alone);
    fs::copy_file(bridgeProgram(), alone / "quorvane-bridge");
    auto bridge = sandbox.startBridge((alone / "quorvane-bridge").string());
    const auto sent = Clock::now();
    ASSERT_TRUE(bridge->writeLine(
        R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"getBalance"}})"));
    const auto reply = bridge->readLine(40s);
    const auto waited = Clock::now() - sent;
    ASSERT_TRUE(reply.has_value()) << bridge->errorOutput();
    EXPECT_TRUE(sameMessage(
        reply, R"({"jsonrpc":"2.0","id":7,"error":{"code":-32000,"message":"Quorvane host unavailable"}})"));
    EXPECT_GE(waited, 19500ms);
    EXPECT_LE(waited, 26s);

    bridge->closeInput();
    EXPECT_EQ(bridge->waitForExit(5s), 0);
    const std::string errors = bridge->errorOutput();
    EXPECT_EQ(occurrences(errors, "quorvane bridge: cannot locate enclosing app bundle for bootstrap\n"), 1u)
        << errors;
    expectOnlyNotes(errors);
}

TEST(HostUnavailableTest, RegistrationProgramBesideTheBridgeStartsTheHost) {
    if (appProgram().empty()) {
        GTEST_SKIP() << "the registration program is not part of this build";
    }
    Sandbox sandbox;
    // The installed layout: the three programs in one folder. The bridge finds
    // its folder through /proc/self/exe, so the programs are copied.
    const fs::path folder = sandbox.root() / "installed";
    fs::create_directories(folder);
    for (const auto& program : {bridgeProgram(), appProgram(), hostProgram()}) {
        fs::copy_file(program, folder / fs::path(program).filename());
    }

    auto bridge = sandbox.startBridge((folder / "quorvane-bridge").string());
    ASSERT_TRUE(bridge->writeLine(initializeLine(1)));
    const auto reply = bridge->readLine(20s);
    ASSERT_TRUE(reply.has_value()) << bridge->errorOutput();
    EXPECT_TRUE(sameMessage(reply, initializeReply(1, instructionsUnauthenticated)));
    EXPECT_EQ(bridge->errorOutput().find("cannot locate"), std::string::npos) << bridge->errorOutput();

    // The host that answers is the one that was started, serving this bridge.
    ControlClient control(sandbox);
    EXPECT_EQ(control.snapshot().connections.size(), 1u);
    bridge->closeInput();
    EXPECT_EQ(bridge->waitForExit(), 0);
}

class BridgeLimitsTest : public ::testing::Test {
protected:
    Sandbox sandbox;
};

TEST_F(BridgeLimitsTest, LineOverTheLimitIsAnsweredWithAParseErrorAndNeverForwarded) {
    auto host = sandbox.startHost();
    ASSERT_NE(host, nullptr);
    auto bridge = sandbox.startBridge();
    constexpr std::size_t limit = std::size_t{4} << 20;

    // A ping padded to a given length in bytes.
    auto paddedPing = [](int id, std::size_t length) {
        std::string line = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping","pad":")";
        const std::string end = "\"}";
        line.append(length - line.size() - end.size(), 'x');
        return line + end;
    };

    // At the limit the line is forwarded whole and answered by the host.
    ASSERT_TRUE(bridge->writeLine(paddedPing(1, limit)));
    EXPECT_TRUE(sameMessage(bridge->readLine(20s), R"({"id":1,"jsonrpc":"2.0","result":{}})"));

    // One byte more: the bridge answers itself and keeps serving.
    ASSERT_TRUE(bridge->writeLine(paddedPing(2, limit + 1)));
    const auto reply = bridge->readLine(20s);
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(
        sameMessage(reply, R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})"));
    ASSERT_TRUE(bridge->writeLine(requestLine(3, "ping")));
    EXPECT_TRUE(sameMessage(bridge->readLine(), R"({"id":3,"jsonrpc":"2.0","result":{}})"));

    ControlClient control(sandbox);
    const auto payloads = requestPayloads(control.snapshot());
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_EQ(payloads[0].rfind(R"({"jsonrpc":"2.0","id":1,)", 0), 0u);
    EXPECT_EQ(payloads[1], requestLine(3, "ping"));

    bridge->closeInput();
    EXPECT_EQ(bridge->waitForExit(), 0);
    EXPECT_EQ(occurrences(bridge->errorOutput(), "quorvane bridge: "), 1u) << bridge->errorOutput();
}

TEST_F(BridgeLimitsTest, EndOfInputEndsTheBridgeAtOnceWithStatusZero) {
    struct Case {
        const char* name;
        bool hostRunning;
        int requestsBefore;
        int pushesInFlight;
    };
    const Case cases[] = {
        {"no host, no input", false, 0, 0},
        {"host, no input", true, 0, 0},
        {"host, after requests", true, 2, 0},
        {"host, pushes in flight", true, 1, 50},
    };
    auto host = sandbox.startHost();
    ASSERT_NE(host, nullptr);
    ControlClient control(sandbox);
    std::string accountId;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.hostRunning) {
            // The bridge does not look for the host before the first line.
            auto bridge =
                sandbox.start({bridgeProgram()}, {"XDG_RUNTIME_DIR=" + (sandbox.root() / "none").string()});
            bridge->closeInput();
            EXPECT_EQ(bridge->waitForExit(2s), 0);
            EXPECT_EQ(bridge->errorOutput(), "");
            continue;
        }
        auto bridge = sandbox.startBridge();
        for (int id = 1; id <= c.requestsBefore; ++id) {
            ASSERT_TRUE(bridge->writeLine(initializeLine(id)));
            ASSERT_TRUE(bridge->readLine().has_value());
        }
        if (c.pushesInFlight > 0) {
            const Snapshot snapshot = control.snapshot();
            ASSERT_FALSE(snapshot.accounts.empty());
            for (int i = 0; i < c.pushesInFlight; ++i) {
                control.expectOk(ControlRequest::createEntry(NewLedgerEntry{
                    snapshot.accounts[0].id, TransactionKind::note, LedgerFlag::none, 1, "note"}));
            }
            ASSERT_TRUE(bridge->hasOutputWithin(10s)); // the pushes are arriving
        }
        const auto closed = Clock::now();
        bridge->closeInput();
        EXPECT_EQ(bridge->waitForExit(2s), 0);
        EXPECT_LT(Clock::now() - closed, 2s);
    }
}

} // namespace
} // namespace quorvane::e2e
