// MCP sessions through a real bridge and a real host: exact replies in both
// identity modes, pushes, and the rebuilding of a session after the host
// restarted or forgot the agent's login.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include "common/Json.h"
#include "tests/integration/Messages.h"
#include "tests/integration/Support.h"

namespace quorvane::e2e {
namespace {

static_assert(agentKey.size() == 40);

// Upper-case hyphenated UUID text: 8-4-4-4-12 hexadecimal digits.
bool isUuidText(const std::string& text) {
    if (text.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        host = sandbox.startHost();
        ASSERT_NE(host, nullptr);
        control = std::make_unique<ControlClient>(sandbox);
    }

    // Sends one line and expects exactly `expected` as the next line of output.
    static void exchange(Child& bridge, const std::string& line, const std::string& expected) {
        ASSERT_TRUE(bridge.writeLine(line));
        const auto reply = bridge.readLine();
        ASSERT_TRUE(reply.has_value())
            << "no reply to " << line << "\nbridge stderr: " << bridge.errorOutput();
        EXPECT_TRUE(sameMessage(reply, expected)) << "for " << line;
    }

    // Sends one line and answers the reply parsed.
    static Json call(Child& bridge, const std::string& line) {
        EXPECT_TRUE(bridge.writeLine(line));
        const auto reply = bridge.readLine();
        EXPECT_TRUE(reply.has_value()) << "no reply to " << line;
        auto parsed = reply ? parseJson(*reply) : std::nullopt;
        EXPECT_TRUE(parsed.has_value());
        return parsed.value_or(Json::object());
    }

    // Signs up with agentKey and answers the new account's id.
    static std::string signUp(Child& bridge, int id) {
        const Json reply =
            call(bridge, toolCallLine(id, "signUp", R"({"key":")" + std::string(agentKey) + "\"}"));
        const Json* accountId =
            reply.contains("result") ? &reply["result"]["structuredContent"]["accountId"] : nullptr;
        EXPECT_TRUE(accountId != nullptr && accountId->is_string()) << reply.dump();
        return accountId != nullptr && accountId->is_string() ? accountId->get<std::string>() : std::string();
    }

    static void expectCleanExit(Child& bridge) {
        bridge.closeInput();
        EXPECT_EQ(bridge.waitForExit(), 0);
        EXPECT_EQ(bridge.errorOutput(), "");
    }

    Sandbox sandbox;
    std::unique_ptr<Child> host;
    std::unique_ptr<ControlClient> control;
};

TEST_F(SessionTest, FullSessionWithClientInfoIdentityGivesTheExactReplies) {
    auto bridge = sandbox.startBridge();
    exchange(*bridge, initializeLine(1), initializeReply(1, instructionsUnauthenticated));

    // The connection was bound to the client's account at initialize.
    const Snapshot snapshot = control->snapshot();
    ASSERT_EQ(snapshot.accounts.size(), 1u);
    ASSERT_EQ(snapshot.entries.size(), 1u);
    const std::string accountId = snapshot.accounts[0].id;
    const LedgerEntry& opening = snapshot.entries[0];

    // A notification is answered with nothing: the next line is the next reply.
    ASSERT_TRUE(bridge->writeLine(initializedNotification));
    exchange(*bridge, requestLine(2, "tools/list"), toolsListReply(2, true));
    exchange(*bridge, toolCallLine(3, "getBalance"), balanceReply(3, accountId, 50000, 0));
    exchange(*bridge, toolCallLine(4, "getTransactions", R"({"limit":10})"),
             toolResultReply(4, R"({"accountId":")" + accountId +
                                    R"(","balance":50000,"transactions":[{"amount":50000,"createdAt":")" +
                                    formatIsoDate(opening.createdAt) + R"(","flag":"none","id":")" +
                                    opening.id +
                                    R"(","kind":"credit","memo":"Starting balance","sequence":1,)"
                                    R"("signedAmount":50000}],"unseenCount":0})"));
    exchange(*bridge, toolCallLine(5, "signUp", R"({"key":")" + std::string(agentKey) + "\"}"),
             toolErrorReply(5, "Unknown tool: signUp"));
    exchange(*bridge, R"({"jsonrpc":"2.0","id":"p-1","method":"ping"})",
             R"({"id":"p-1","jsonrpc":"2.0","result":{}})");
    exchange(
        *bridge, requestLine(6, "resources/list"),
        R"({"error":{"code":-32601,"message":"Method not found: resources\/list"},"id":6,"jsonrpc":"2.0"})");
    exchange(*bridge, "[1,2]",
             R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})");
    expectCleanExit(*bridge);
}

TEST_F(SessionTest, FullSessionWithCredentialsGivesTheExactReplies) {
    control->expectOk(ControlRequest::setAllowUnauthenticated(false));

    auto first = sandbox.startBridge();
    exchange(*first, initializeLine(1), initializeReply(1, instructionsCredential));
    ASSERT_TRUE(first->writeLine(initializedNotification));
    exchange(*first, requestLine(2, "tools/list"), toolsListReply(2, false));
    exchange(*first, toolCallLine(3, "getBalance"), notAuthenticatedReply(3));
    exchange(*first, toolCallLine(4, "signUp", R"({"key":"too short"})"),
             toolErrorReply(4, "Key must be at least 40 characters."));
    const std::string accountId = signUp(*first, 5);
    ASSERT_FALSE(accountId.empty());
    EXPECT_TRUE(isUuidText(accountId)) << accountId;
    exchange(*first, toolCallLine(6, "getBalance"), balanceReply(6, accountId, 50000, 0));
    expectCleanExit(*first);

    // A later session logs in with the saved id and key.
    const std::string credentials =
        R"({"accountId":")" + accountId + R"(","key":")" + std::string(agentKey) + "\"}";
    auto second = sandbox.startBridge();
    exchange(*second, initializeLine(1), initializeReply(1, instructionsCredential));
    exchange(*second, toolCallLine(2, "getBalance"), notAuthenticatedReply(2));
    exchange(*second, toolCallLine(3, "login", R"({"accountId":")" + accountId + R"(","key":"wrong"})"),
             toolErrorReply(3, "Invalid account id or key."));
    exchange(
        *second, toolCallLine(4, "login", credentials),
        toolResultReply(4, R"({"accountId":")" + accountId + R"(","balance":50000,"message":"Logged in."})"));
    exchange(*second, toolCallLine(5, "getBalance"), balanceReply(5, accountId, 50000, 0));
    expectCleanExit(*second);
}

TEST_F(SessionTest, NewItemIsPushedToEveryBridgeOfTheAccount) {
    auto first = sandbox.startBridge();
    auto second = sandbox.startBridge();
    exchange(*first, initializeLine(1), initializeReply(1, instructionsUnauthenticated));
    exchange(*second, initializeLine(1), initializeReply(1, instructionsUnauthenticated));

    // Both connections of the same client are bound to one account, and each
    // connection has its own id.
    const Snapshot before = control->snapshot();
    ASSERT_EQ(before.accounts.size(), 1u);
    ASSERT_EQ(before.connections.size(), 2u);
    EXPECT_NE(before.connections[0].id, before.connections[1].id);
    for (const auto& connection : before.connections) {
        EXPECT_TRUE(isUuidText(connection.id)) << connection.id;
        EXPECT_TRUE(connection.authenticated);
        EXPECT_EQ(connection.accountId, before.accounts[0].id);
    }

    control->expectOk(ControlRequest::createEntry(NewLedgerEntry{
        before.accounts[0].id, TransactionKind::credit, LedgerFlag::bonus, 25, "Good work / thanks"}));
    const std::string pushed =
        R"({"jsonrpc":"2.0","method":"notifications\/message","params":{"data":{"amount":25,"balance":50025,)"
        R"("event":"new_item","flag":"bonus","kind":"credit","memo":"Good work \/ thanks","signedAmount":25,)"
        R"("unseenCount":1},"level":"info","logger":"quorvane"}})";
    EXPECT_TRUE(sameMessage(first->readLine(), pushed));
    EXPECT_TRUE(sameMessage(second->readLine(), pushed));

    exchange(*first, toolCallLine(2, "getBalance"), balanceReply(2, before.accounts[0].id, 50025, 1));
    expectCleanExit(*first);
    expectCleanExit(*second);

    // Closed agent connections leave the registry.
    (void)control->snapshotWhen([](const Snapshot& s) { return s.connections.empty(); });
}

// The requests of the API log, parsed, oldest first.
std::vector<Json> loggedRequests(const Snapshot& snapshot) {
    std::vector<Json> requests;
    for (const auto& payload : requestPayloads(snapshot)) {
        requests.push_back(parseJson(payload).value_or(Json()));
    }
    return requests;
}

bool isLogin(const Json& request, const std::string& accountId) {
    return request.value("method", "") == "tools/call" && request["params"].value("name", "") == "login" &&
           request["params"]["arguments"] == Json({{"accountId", accountId}, {"key", std::string(agentKey)}});
}

TEST_F(SessionTest, AfterAHostRestartTheSessionIsReplayedBeforeTheNextLine) {
    control->expectOk(ControlRequest::setAllowUnauthenticated(false));
    auto bridge = sandbox.startBridge();
    const std::string initialize = initializeLine(1);
    exchange(*bridge, initialize, initializeReply(1, instructionsCredential));
    const std::string accountId = signUp(*bridge, 2);
    ASSERT_FALSE(accountId.empty());
    exchange(*bridge, toolCallLine(3, "getBalance"), balanceReply(3, accountId, 50000, 0));

    // The host dies and a new one starts on the same ledger.
    control.reset();
    host->signal(SIGKILL);
    ASSERT_TRUE(host->waitForExit().has_value());
    host = sandbox.startHost();
    ASSERT_NE(host, nullptr);

    const std::string balance = toolCallLine(4, "getBalance");
    exchange(*bridge, balance, balanceReply(4, accountId, 50000, 0));
    // Nothing else was written: the next line is the ping's reply.
    exchange(*bridge, requestLine(5, "ping"), R"({"id":5,"jsonrpc":"2.0","result":{}})");

    // The new host saw the remembered initialize and login before the line.
    control = std::make_unique<ControlClient>(sandbox);
    const Snapshot snapshot = control->snapshot();
    const auto payloads = requestPayloads(snapshot);
    ASSERT_EQ(payloads.size(), 4u);
    EXPECT_EQ(payloads[0], initialize);
    EXPECT_TRUE(isLogin(parseJson(payloads[1]).value_or(Json()), accountId)) << payloads[1];
    EXPECT_EQ(payloads[2], balance);
    ASSERT_EQ(snapshot.connections.size(), 1u);
    EXPECT_EQ(snapshot.connections[0].accountId, accountId);
    expectCleanExit(*bridge);
}

TEST_F(SessionTest, NotAuthenticatedAnswerMakesTheBridgeLogInAgainTransparently) {
    control->expectOk(ControlRequest::setAllowUnauthenticated(false));
    auto bridge = sandbox.startBridge();
    exchange(*bridge, initializeLine(1), initializeReply(1, instructionsCredential));
    const std::string accountId = signUp(*bridge, 2);
    ASSERT_FALSE(accountId.empty());

    // Switching unauthenticated access off (again) drops every agent's login
    // and tells the agents their tool list changed.
    control->expectOk(ControlRequest::setAllowUnauthenticated(false));
    EXPECT_TRUE(sameMessage(bridge->readLine(), toolsListChangedNotification));

    const std::string balance = toolCallLine(3, "getBalance");
    exchange(*bridge, balance, balanceReply(3, accountId, 50000, 0));
    exchange(*bridge, requestLine(4, "ping"), R"({"id":4,"jsonrpc":"2.0","result":{}})");

    // On the wire: the line, answered not authenticated; the replayed session;
    // the line once more.
    const auto requests = loggedRequests(control->snapshot());
    ASSERT_GE(requests.size(), 5u);
    const auto tail = std::vector<Json>(requests.end() - 5, requests.end());
    EXPECT_EQ(tail[0], parseJson(balance));
    EXPECT_EQ(tail[1], parseJson(initializeLine(1)));
    EXPECT_TRUE(isLogin(tail[2], accountId)) << tail[2].dump();
    EXPECT_EQ(tail[3], parseJson(balance));
    EXPECT_EQ(tail[4], parseJson(requestLine(4, "ping")));
    expectCleanExit(*bridge);
}

} // namespace
} // namespace quorvane::e2e
