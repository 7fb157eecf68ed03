#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "host/core/AccountCrypto.h"
#include "host/core/Mcp.h"
#include "host/core/SQLite.h"
#include "host/core/tests/HostEngineTestSupport.h"

namespace quorvane::test {
namespace {

class HostEngineRegistry : public EngineFixture {};

TEST(HostEngineConstruction, FailsWhenTheStoreCannotOpen) {
    TempDir dir;
    try {
        HostEngine engine(dir.path() + "/missing-folder/ledger.sqlite");
        ADD_FAILURE() << "opened a ledger in a folder that does not exist";
    } catch (const SQLiteError& error) {
        EXPECT_EQ(error.code, SQLITE_CANTOPEN) << error.description();
    }
    const std::string path = dir.path() + "/ledger.sqlite";
    { HostEngine engine(path); }
    EXPECT_NO_THROW(HostEngine{path}); // reopening an existing ledger
}

TEST_F(HostEngineRegistry, ConnectionsThatNeverSpeakStayUnknown) {
    auto app = openControl();
    auto silent = open("silent");
    EXPECT_TRUE(engine->currentAgentConnections().empty());
    // Pushes the tool-list change to every agent, and events to every app.
    setAllowUnauthenticated(false);
    EXPECT_FALSE(app->eventTexts().empty());
    EXPECT_TRUE(silent->notifications().empty());
    EXPECT_TRUE(silent->eventTexts().empty());
    app->clear();
    engine->connectionClosed("silent");
    EXPECT_TRUE(app->eventTexts().empty());
}

TEST_F(HostEngineRegistry, ClosingSendsOneEventForAgentsOnly) {
    auto app = openControl();
    open("agent");
    initialize("agent");
    auto otherApp = openControl("app2");
    app->clear();

    engine->connectionClosed("agent");
    EXPECT_EQ(app->allEventNames(), std::vector<std::string>{"connectionsChanged"});
    engine->connectionClosed("agent");
    engine->connectionClosed("app2");
    engine->connectionClosed("never-opened");
    EXPECT_EQ(app->allEventNames(), std::vector<std::string>{"connectionsChanged"});
    // A closed app hears nothing more.
    otherApp->clear();
    ASSERT_EQ(control("app", ControlRequest::setStartingPoints(1)), ControlResponse::ok());
    EXPECT_EQ(app->eventTexts().back(), R"({"dataChanged":{}})");
    EXPECT_TRUE(otherApp->eventTexts().empty());
}

TEST_F(HostEngineRegistry, RolesFollowTheLastEvent) {
    // An agent is listed; an app hears the data event a settings change sends.
    auto roleOf = [&](const std::string& id, RecordingPeer& peer) -> std::string {
        if (isAgent(id)) {
            return "agent";
        }
        peer.clear();
        EXPECT_EQ(control("setup", ControlRequest::setStartingPoints(5)), ControlResponse::ok());
        return peer.eventTexts().empty() ? "unknown" : "control";
    };
    auto x = open("x");
    EXPECT_EQ(roleOf("x", *x), "unknown");
    initialize("x");
    EXPECT_EQ(roleOf("x", *x), "agent");
    (void)engine->control("{}", "x");
    EXPECT_EQ(roleOf("x", *x), "control");
    initialize("x");
    EXPECT_EQ(roleOf("x", *x), "agent");
    // Opening the same id again starts over.
    x = open("x");
    EXPECT_EQ(roleOf("x", *x), "unknown");
}

TEST_F(HostEngineRegistry, AgentConnectionsAreListedOldestFirst) {
    open("zzz-first");
    const Date openedBefore = std::chrono::system_clock::now();
    while (std::chrono::system_clock::now() <= openedBefore) {
        std::this_thread::yield();
    }
    open("aaa-second");
    initialize("aaa-second", Json{{"name", "second"}});
    initialize("zzz-first", Json{{"name", "first"}, {"title", "First"}});
    auto list = engine->currentAgentConnections();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].id, "zzz-first");
    EXPECT_EQ(list[1].id, "aaa-second");
    EXPECT_LT(list[0].connectedAt, list[1].connectedAt);
    const ClientInfo first{"first", std::nullopt, "First"};
    EXPECT_EQ(list[0].clientInfo, first);
    EXPECT_TRUE(list[0].authenticated);
    const auto account = store().accountByFingerprint(AccountCrypto::fingerprint(first));
    ASSERT_TRUE(account);
    EXPECT_EQ(list[0].accountId, account->id);
}

TEST_F(HostEngineRegistry, ApiLogKeepsTheNewest300) {
    open("c");
    auto line = [](int i) { return R"({"n":)" + std::to_string(i) + "}"; };
    for (int i = 0; i < 300; ++i) {
        (void)send("c", line(i));
    }
    EXPECT_EQ(apiLog().size(), 300u);
    EXPECT_EQ(apiLog().front().payload, line(0));
    (void)send("c", line(300));
    auto log = apiLog();
    ASSERT_EQ(log.size(), 300u);
    EXPECT_EQ(log.front().payload, line(1));
    EXPECT_EQ(log.back().payload, line(300));
    for (int i = 301; i < 1000; ++i) {
        (void)send("c", line(i));
    }
    log = apiLog();
    ASSERT_EQ(log.size(), 300u);
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(log[i].payload, line(700 + i));
    }
    // The app receives the same entries.
    auto response = control("app", ControlRequest::snapshot());
    const auto* snapshot = std::get_if<ControlResponse::Snapshot>(&response.value);
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->snapshot.recentApiLog, onTheWire(log));
}

TEST_F(HostEngineRegistry, NewItemsReachTheBoundAgentsOfTheirAccountOnly) {
    setAllowUnauthenticated(false);
    auto app = openControl();
    const Json info{{"name", "tool"}};
    auto first = open("first");
    initialize("first", info);
    const std::string account = signUp("first");
    const Json login{{"accountId", account}, {"key", longKey()}};
    auto second = open("second");
    initialize("second", info);
    ASSERT_FALSE(tool("second", "login", login).contains("isError"));
    auto gone = open("gone");
    initialize("gone", info);
    ASSERT_FALSE(tool("gone", "login", login).contains("isError"));
    gone->reachable = false;
    auto unauthenticated = open("unauthenticated");
    initialize("unauthenticated", info);
    auto other = open("other");
    initialize("other", info);
    (void)signUp("other");
    app->clear();
    const std::size_t logBefore = apiLog().size();

    ASSERT_EQ(control("app", ControlRequest::createEntry(
                                 {account, TransactionKind::debit, LedgerFlag::penalty, 40, "late/again"})),
              ControlResponse::ok());

    const std::string expectedData =
        R"({"amount":40,"balance":49960,"event":"new_item","flag":"penalty",)"
        R"("kind":"debit","memo":"late\/again","signedAmount":-40,"unseenCount":1})";
    const std::string expectedLine =
        R"({"jsonrpc":"2.0","method":"notifications\/message","params":{"data":)" + expectedData +
        R"(,"level":"info","logger":"quorvane"}})";
    EXPECT_EQ(first->notifications(), std::vector<std::string>{expectedLine});
    EXPECT_EQ(second->notifications(), std::vector<std::string>{expectedLine});
    EXPECT_TRUE(other->notifications().empty());
    EXPECT_TRUE(gone->notifications().empty());
    EXPECT_TRUE(unauthenticated->notifications().empty());

    auto log = apiLog();
    ASSERT_EQ(log.size(), logBefore + 1);
    const ApiLogEntry& entry = log.back();
    EXPECT_EQ(entry.connectionId, "");
    EXPECT_EQ(entry.accountId, account);
    EXPECT_FALSE(entry.clientLabel);
    EXPECT_EQ(entry.direction, ApiLogEntry::Direction::notification);
    EXPECT_EQ(entry.method, "notifications/message");
    EXPECT_EQ(entry.payload, expectedLine);
    EXPECT_EQ(app->allEventNames(), (std::vector<std::string>{"dataChanged", "apiCall"}));
}

TEST_F(HostEngineRegistry, NewItemIsLoggedOnceEvenWithNobodyListening) {
    ASSERT_EQ(control("setup", ControlRequest::setAllowUnauthenticated(false)), ControlResponse::ok());
    open("c");
    const std::string account = signUp("c");
    engine->connectionClosed("c");
    const std::size_t before = apiLog().size();
    ASSERT_EQ(control("setup",
                      ControlRequest::createEntry({account, TransactionKind::note, LedgerFlag::none, 0, ""})),
              ControlResponse::ok());
    ASSERT_EQ(apiLog().size(), before + 1);
    EXPECT_EQ(apiLog().back().direction, ApiLogEntry::Direction::notification);
}

TEST_F(HostEngineRegistry, ToolListChangesReachEveryAgentAndAreNotLogged) {
    auto app = openControl();
    auto bound = open("bound");
    initialize("bound", Json{{"name", "tool"}});
    auto anonymous = open("anonymous");
    initialize("anonymous");
    auto gone = open("gone");
    initialize("gone");
    gone->reachable = false;
    const std::size_t before = apiLog().size();
    setAllowUnauthenticated(false);
    const std::string line = R"({"jsonrpc":"2.0","method":"notifications\/tools\/list_changed"})";
    EXPECT_EQ(bound->notifications(), std::vector<std::string>{line});
    EXPECT_EQ(anonymous->notifications(), std::vector<std::string>{line});
    EXPECT_TRUE(gone->notifications().empty());
    EXPECT_TRUE(app->notifications().empty());
    EXPECT_EQ(apiLog().size(), before);
}

TEST_F(HostEngineRegistry, ControlEventsReachReachableAppsOnly) {
    auto app = openControl("app");
    auto goneApp = openControl("gone-app");
    goneApp->reachable = false;
    auto agent = open("agent");
    initialize("agent");
    EXPECT_EQ(app->stateEvents(), std::vector<std::string>{"connectionsChanged"});
    const auto texts = app->eventTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), R"({"connectionsChanged":{}})"), texts.end());
    EXPECT_TRUE(goneApp->eventTexts().empty());
    EXPECT_TRUE(agent->eventTexts().empty());
    ASSERT_EQ(control("app", ControlRequest::setStartingPoints(7)), ControlResponse::ok());
    EXPECT_EQ(app->eventTexts().back(), R"({"dataChanged":{}})");
    EXPECT_TRUE(goneApp->eventTexts().empty());
}

} // namespace
} // namespace quorvane::test
