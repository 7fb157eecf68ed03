#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "host/core/Mcp.h"
#include "host/core/tests/HostEngineTestSupport.h"

namespace quorvane::test {
namespace {

class HostEngineControl : public EngineFixture {
protected:
    // A client-info account bound to a new agent connection (its peer in `agent`).
    std::string boundAgentAccount(const std::string& connection = "agent") {
        agent = open(connection);
        initialize(connection, Json{{"name", "tool"}});
        return *boundAccount(connection);
    }
    std::shared_ptr<RecordingPeer> agent;
};

TEST_F(HostEngineControl, MalformedRequestsFailButTagTheConnection) {
    const std::string requests[] = {"hello",
                                    "{}",
                                    R"({"ok":{}})",
                                    R"({"renameAccount":{"id":"A1"}})",
                                    R"({"setStartingPoints":{"_0":"10"}})",
                                    "{\"deleteEntry\":{\"id\":\"\xff\"}}"};
    for (const auto& text : requests) {
        const std::string id = "app-" + text;
        auto peer = open(id);
        EXPECT_EQ(engine->control(text, id), R"({"failure":{"_0":"Malformed control request"}})") << text;
        open("agent-" + text);
        initialize("agent-" + text);
        EXPECT_EQ(peer->stateEvents(), std::vector<std::string>{"connectionsChanged"}) << text;
    }
}

TEST_F(HostEngineControl, ResponsesUseTheWireForm) {
    EXPECT_EQ(engine->control(R"({"setStartingPoints":{"_0":10}})", "x"), R"({"ok":{}})");
    EXPECT_EQ(engine->control(R"({"deleteEntry":{"id":"nope"}})", "x"), R"({"ok":{}})");
    const std::string failure = engine->control(
        R"({"createEntry":{"_0":{"accountId":"nope","kind":"credit","flag":"none","amount":1,"memo":""}}})",
        "x");
    EXPECT_EQ(failure, R"({"failure":{"_0":"Could not create entry — account not found."}})");
}

TEST_F(HostEngineControl, CreateEntryForAMissingAccountChangesNothing) {
    auto app = openControl();
    (void)boundAgentAccount();
    app->clear();
    const std::size_t logBefore = apiLog().size();
    ControlResponse response = control(
        "app",
        ControlRequest::createEntry({"NO-SUCH-ACCOUNT", TransactionKind::credit, LedgerFlag::none, 5, ""}));
    EXPECT_EQ(failureMessage(response), "Could not create entry — account not found.");
    EXPECT_EQ(failureMessage(response).size(), 45u);
    EXPECT_TRUE(app->eventTexts().empty());
    EXPECT_TRUE(agent->notifications().empty());
    EXPECT_EQ(apiLog().size(), logBefore);
}

TEST_F(HostEngineControl, CreateEntryNotifiesAfterTheDataEvent) {
    const std::string account = boundAgentAccount();
    auto app = openControl();
    ASSERT_EQ(control("app", ControlRequest::createEntry(
                                 {account, TransactionKind::credit, LedgerFlag::bonus, 25, "great work"})),
              ControlResponse::ok());
    EXPECT_EQ(app->allEventNames(), (std::vector<std::string>{"dataChanged", "apiCall"}));
    ASSERT_EQ(agent->notifications().size(), 1u);
    Json line = *parseJson(agent->notifications()[0]);
    EXPECT_EQ(line["params"]["data"], (Json{{"event", "new_item"},
                                            {"kind", "credit"},
                                            {"flag", "bonus"},
                                            {"amount", 25},
                                            {"signedAmount", 25},
                                            {"memo", "great work"},
                                            {"balance", 50025},
                                            {"unseenCount", 1}}));
    auto entries = store().entries(account, 1, std::nullopt);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].memo, "great work");
}

TEST_F(HostEngineControl, ChangesAnswerOkAndAnnounceThemselves) {
    const std::string account = boundAgentAccount();
    const LedgerEntry entry =
        *store().insertEntry({account, TransactionKind::credit, LedgerFlag::none, 10, "original"});
    LedgerEntry edited = entry;
    edited.kind = TransactionKind::debit;
    edited.memo = "edited";
    LedgerEntry missing = entry;
    missing.id = "NO-SUCH-ENTRY";

    struct Case {
        const char* name;
        ControlRequest request;
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"update", ControlRequest::updateEntry(edited), {"dataChanged"}},
        {"update missing", ControlRequest::updateEntry(missing), {"dataChanged"}},
        {"delete missing", ControlRequest::deleteEntry("NO-SUCH-ENTRY"), {"dataChanged"}},
        {"rename", ControlRequest::renameAccount(account, "Renamed"), {"dataChanged"}},
        {"rename missing", ControlRequest::renameAccount("NO-SUCH-ACCOUNT", "x"), {"dataChanged"}},
        {"starting points", ControlRequest::setStartingPoints(-5), {"dataChanged"}},
        {"delete entry", ControlRequest::deleteEntry(entry.id), {"dataChanged"}},
        {"delete account", ControlRequest::deleteAccount(account), {"dataChanged", "connectionsChanged"}},
        {"delete missing account",
         ControlRequest::deleteAccount("NO-SUCH-ACCOUNT"),
         {"dataChanged", "connectionsChanged"}},
    };
    auto app = openControl();
    agent->clear();
    for (const auto& c : cases) {
        app->clear();
        EXPECT_EQ(control("app", c.request), ControlResponse::ok()) << c.name;
        EXPECT_EQ(app->allEventNames(), c.events) << c.name;
        if (std::string(c.name) == "update") {
            auto stored = store().entries(account, 10, std::nullopt);
            EXPECT_EQ(stored.front().memo, "edited");
        }
    }
    // None of these reach agents.
    EXPECT_TRUE(agent->notifications().empty());
    EXPECT_EQ(store().startingPoints(), 0);
    EXPECT_FALSE(store().account(account));
    // A connection bound to a deleted account keeps its binding and reads nothing.
    EXPECT_EQ(tool("agent", "getBalance")["structuredContent"]["balance"], 0);
    EXPECT_EQ(tool("agent", "getTransactions")["structuredContent"]["transactions"], Json::array());
}

TEST_F(HostEngineControl, NewStartingPointsApplyToNewAccountsOnly) {
    const std::string before = boundAgentAccount("a");
    ASSERT_EQ(control("setup", ControlRequest::setStartingPoints(7)), ControlResponse::ok());
    open("b");
    initialize("b", Json{{"name", "another tool"}});
    EXPECT_EQ(store().balance(before), 50000);
    EXPECT_EQ(store().balance(*boundAccount("b")), 7);
}

TEST_F(HostEngineControl, FailedStatementsAnswerFailureAndAnnounceNothing) {
    const std::string account = boundAgentAccount();
    const LedgerEntry entry =
        *store().insertEntry({account, TransactionKind::credit, LedgerFlag::none, 1, "x"});
    auto app = openControl();

    struct Case {
        const char* name;
        const char* trigger;
        ControlRequest request;
        const char* message;
    };
    const Case cases[] = {
        {"rename", "UPDATE OF display_name ON account", ControlRequest::renameAccount(account, "New"),
         "Rename failed."},
        {"delete account", "DELETE ON account", ControlRequest::deleteAccount(account), "Delete failed."},
        {"update entry", "UPDATE ON ledger", ControlRequest::updateEntry(entry), "Update failed."},
        {"delete entry", "DELETE ON ledger", ControlRequest::deleteEntry(entry.id), "Delete failed."},
        {"create entry", "INSERT ON ledger",
         ControlRequest::createEntry({account, TransactionKind::credit, LedgerFlag::none, 1, ""}),
         "Could not create entry — account not found."},
        {"starting points", "UPDATE ON meta WHEN NEW.key = 'starting_points'",
         ControlRequest::setStartingPoints(9), "Settings change failed."},
        {"allow off", "UPDATE ON meta WHEN NEW.key = 'allow_unauthenticated'",
         ControlRequest::setAllowUnauthenticated(false), "Settings change failed."},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string trigger = "fault" + std::to_string(n++);
        execOnFile(dbPath, failingTrigger(trigger, c.trigger));
        app->clear();
        EXPECT_EQ(failureMessage(control("app", c.request)), c.message) << c.name;
        EXPECT_TRUE(app->eventTexts().empty()) << c.name;
        execOnFile(dbPath, "DROP TRIGGER " + trigger + ";");
    }
    // Nothing changed; the agent was neither told nor unbound.
    EXPECT_TRUE(agent->notifications().empty());
    EXPECT_EQ(boundAccount("agent"), account);
    auto stored = store().account(account);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->displayName, "tool");
    EXPECT_EQ(store().entries(account, 10, std::nullopt).size(), 2u);
    EXPECT_EQ(store().startingPoints(), 50000);
    EXPECT_TRUE(store().allowUnauthenticated());
}

TEST_F(HostEngineControl, SnapshotCarriesTheNewest2000Entries) {
    ASSERT_EQ(control("setup", ControlRequest::setStartingPoints(0)), ControlResponse::ok());
    const std::string account = boundAgentAccount();
    execOnFile(dbPath,
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2500) "
               "INSERT INTO ledger (id, account_id, kind, flag, amount, memo, created_at, updated_at, "
               "sequence) SELECT 'E' || i, '" +
                   account +
                   "', 'credit', 'none', 1, 'm', '2025-01-01T00:00:00Z', '2025-01-01T00:00:00Z', i FROM n;"
                   "UPDATE meta SET value = '2500' WHERE key = 'sequence_counter';");
    Snapshot snapshot = engine->buildSnapshot();
    ASSERT_EQ(snapshot.entries.size(), 2000u);
    EXPECT_EQ(snapshot.entries.front().sequence, 2500);
    EXPECT_EQ(snapshot.entries.back().sequence, 501);
}

TEST_F(HostEngineControl, SnapshotDescribesAccountsConnectionsAndSettings) {
    setAllowUnauthenticated(false);
    ASSERT_EQ(control("setup", ControlRequest::setStartingPoints(30)), ControlResponse::ok());
    open("agent");
    initialize("agent", Json{{"zeta", "1"}, {"version", "2"}, {"name", "a"}, {"alpha", true}});
    const std::string connected = signUp("agent");
    open("gone");
    const std::string offline = signUp("gone");
    engine->connectionClosed("gone");
    open("unknown");

    auto response = control("app", ControlRequest::snapshot());
    auto* payload = std::get_if<ControlResponse::Snapshot>(&response.value);
    ASSERT_TRUE(payload);
    const Snapshot& snapshot = payload->snapshot;
    ASSERT_EQ(snapshot.accounts.size(), 2u);
    // Both were created within the same second, so their order is not fixed.
    const bool connectedFirst = snapshot.accounts[0].id == connected;
    const Account& first = snapshot.accounts[connectedFirst ? 0 : 1];
    const Account& second = snapshot.accounts[connectedFirst ? 1 : 0];
    EXPECT_EQ(first.id, connected);
    EXPECT_EQ(first.displayName, "a");
    EXPECT_EQ(first.identityMode, IdentityMode::credential);
    EXPECT_EQ(first.clientInfo, (ClientInfo{"a", "2", std::nullopt}));
    EXPECT_EQ(first.clientInfoFields,
              (std::vector<ClientInfoField>{{"name", "a"}, {"version", "2"}, {"alpha", "1"}, {"zeta", "1"}}));
    EXPECT_EQ(first.balance, 30);
    EXPECT_TRUE(first.isConnected);
    EXPECT_EQ(second.id, offline);
    EXPECT_EQ(second.displayName, "Agent");
    EXPECT_FALSE(second.clientInfo);
    EXPECT_FALSE(second.clientInfoFields);
    EXPECT_FALSE(second.isConnected);

    ASSERT_EQ(snapshot.connections.size(), 1u);
    EXPECT_EQ(snapshot.connections[0].id, "agent");
    EXPECT_EQ(snapshot.connections[0].accountId, connected);
    EXPECT_EQ(snapshot.entries.size(), 2u);
    EXPECT_EQ(snapshot.settings, (Settings{false, 30}));
    EXPECT_EQ(snapshot.hostVersion, "0.1.11 (12)");
    EXPECT_EQ(snapshot.recentApiLog, onTheWire(apiLog()));
}

TEST_F(HostEngineControl, SnapshotOfDamagedRowsStillEncodes) {
    const std::string account = boundAgentAccount();
    execOnFile(dbPath,
               "UPDATE account SET display_name = CAST(X'41FF42' AS TEXT), client_info_json = '{\"name\":5}';"
               "UPDATE ledger SET memo = CAST(X'6DC3' AS TEXT);");
    Snapshot snapshot = engine->buildSnapshot();
    ASSERT_EQ(snapshot.accounts.size(), 1u);
    EXPECT_EQ(snapshot.accounts[0].displayName, "A\xEF\xBF\xBD"
                                                "B");
    EXPECT_FALSE(snapshot.accounts[0].clientInfo);
    EXPECT_EQ(snapshot.accounts[0].clientInfoFields, (std::vector<ClientInfoField>{{"name", "5"}}));
    EXPECT_EQ(snapshot.entries.at(0).memo, "m\xEF\xBF\xBD");
    EXPECT_NE(engine->control(R"({"snapshot":{}})", "app").rfind(R"({"snapshot":)", 0), std::string::npos);
    Json transactions = tool("agent", "getTransactions")["structuredContent"]["transactions"];
    EXPECT_EQ(transactions.at(0)["memo"], "m\xEF\xBF\xBD");
}

// A ledger file that already holds rows far beyond every bound (written
// behind the host's back) still gives a snapshot, within its budget.
TEST_F(HostEngineControl, SnapshotOfOversizedRowsFitsItsBudget) {
    const std::string account = boundAgentAccount();
    // Control characters take six bytes each when encoded: 3 MiB of them in
    // each of four texts, and a full log, are far over 32 MiB.
    const std::string huge = "printf('%3145728s', '')";
    execOnFile(dbPath, "UPDATE account SET display_name = replace(" + huge +
                           ", ' ', char(1)), "
                           "client_info_json = '{\"name\":\"tool\",\"x\":\"' || replace(" +
                           huge +
                           ", ' ', 'y') || '\"}';"
                           "UPDATE ledger SET memo = replace(" +
                           huge + ", ' ', char(2));");
    ASSERT_TRUE(store().insertEntry(NewLedgerEntry{account, TransactionKind::note, LedgerFlag::none, 0,
                                                   std::string(std::size_t{3} << 20, '\x03')}));
    for (int i = 0; i < 30; ++i) {
        (void)send("agent",
                   R"({"id":1,"method":"ping","p":")" + std::string(std::size_t{64} << 10, '/') + "\"}");
    }

    const std::string text = engine->control(R"({"snapshot":{}})", "app");
    EXPECT_LE(text.size(), Limits::snapshotBudgetBytes);
    const auto response = QuorvaneCoding::decode<ControlResponse>(text);
    ASSERT_TRUE(response);
    const auto* payload = std::get_if<ControlResponse::Snapshot>(&response->value);
    ASSERT_TRUE(payload);
    const Snapshot& snapshot = payload->snapshot;
    ASSERT_TRUE(snapshot.omitted);
    // The log went first (the initialize and 30 pings, each with its reply),
    // then the long texts were shortened; the records themselves all stay.
    EXPECT_EQ(snapshot.omitted->apiLogEntries, 62);
    EXPECT_TRUE(snapshot.recentApiLog.empty());
    EXPECT_EQ(snapshot.omitted->entries, 0);
    ASSERT_EQ(snapshot.entries.size(), 2u);
    ASSERT_EQ(snapshot.accounts.size(), 1u);
    EXPECT_EQ(snapshot.omitted->shortenedTexts, 4); // two memos, a name, a client info view
    for (const std::string* text :
         {&snapshot.entries[0].memo, &snapshot.entries[1].memo, &snapshot.accounts[0].displayName}) {
        EXPECT_LE(text->size(), Limits::snapshotTextBytes);
        EXPECT_TRUE(text->ends_with(Limits::cutMarker));
    }
    EXPECT_FALSE(snapshot.accounts[0].clientInfo);
    EXPECT_FALSE(snapshot.accounts[0].clientInfoFields);
    EXPECT_EQ(snapshot.accounts[0].id, account);
}

// The cuts of a snapshot over its budget, in their order: the API log, long
// texts, the oldest entries, client information views, then the newest
// accounts and connections.
TEST(SnapshotBudget, CutsInOrderUntilTheSnapshotFits) {
    const auto sample = [] {
        Snapshot s;
        s.hostVersion = "v";
        for (int i = 0; i < 20; ++i) {
            Account account;
            account.id = "A" + std::to_string(i);
            account.displayName = "name";
            account.clientInfo = ClientInfo{"client", "1", std::nullopt};
            account.clientInfoFields =
                std::vector<ClientInfoField>{{"name", "client"}, {"extra", std::string(2000, 'x')}};
            s.accounts.push_back(account);
            LiveConnection connection;
            connection.id = "C" + std::to_string(i);
            s.connections.push_back(connection);
        }
        for (int i = 100; i > 0; --i) { // newest first
            LedgerEntry entry;
            entry.id = "E" + std::to_string(i);
            entry.accountId = "A0";
            entry.memo = std::string(i == 100 ? 100000 : 100, 'm');
            entry.sequence = i;
            s.entries.push_back(entry);
        }
        for (int i = 0; i < 50; ++i) { // oldest first
            ApiLogEntry line;
            line.id = "L" + std::to_string(i);
            line.payload = std::string(1000, 'p');
            s.recentApiLog.push_back(line);
        }
        return s;
    };
    const auto size = [](const Snapshot& s) { return QuorvaneCoding::encodeToString(s).value_or("").size(); };
    // The sizes after each stage, to aim budgets into the middle of the next.
    Snapshot stage = sample();
    const std::size_t whole = size(stage);
    stage.recentApiLog.clear();
    const std::size_t withoutLog = size(stage);
    stage.entries.front().memo.resize(Limits::snapshotTextBytes);
    const std::size_t shortened = size(stage);
    const std::size_t entries = shortened - size([&] {
                                    Snapshot s = stage;
                                    s.entries.clear();
                                    return s;
                                }());
    stage.entries.clear();
    const std::size_t views = size(stage) - size([&] {
                                  Snapshot s = stage;
                                  for (auto& account : s.accounts) {
                                      account.clientInfo.reset();
                                      account.clientInfoFields.reset();
                                  }
                                  return s;
                              }());
    const std::size_t withoutEntries = size(stage);

    struct Case {
        const char* name;
        std::size_t budget;
        // Which cuts happen: the log, long texts, entries, client info views
        // (after the long texts), accounts, connections; and the stage that is
        // only partly cut (0: none).
        std::array<bool, 6> cuts;
        int partial;
    };
    const Case cases[] = {
        {"fits", whole + 1024, {false, false, false, false, false, false}, 0},
        {"part of the log", (whole + withoutLog) / 2, {true, false, false, false, false, false}, 1},
        {"the log and a long memo", shortened + 2000, {true, true, false, false, false, false}, 0},
        {"then old entries", shortened - entries / 2, {true, true, true, false, false, false}, 3},
        {"then client info views", withoutEntries - views / 2, {true, true, true, true, false, false}, 4},
        {"then accounts and connections", 1500, {true, true, true, true, true, true}, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Snapshot s = sample();
        SnapshotBuilder::fitToBudget(s, c.budget);
        EXPECT_LE(size(s), c.budget);
        if (!c.cuts[0]) {
            EXPECT_EQ(s, sample());
            continue;
        }
        ASSERT_TRUE(s.omitted);
        const SnapshotOmissions& o = *s.omitted;
        const std::size_t keptViews = static_cast<std::size_t>(
            std::count_if(s.accounts.begin(), s.accounts.end(),
                          [](const Account& a) { return a.clientInfoFields.has_value(); }));
        EXPECT_EQ(o.apiLogEntries, static_cast<std::int64_t>(50 - s.recentApiLog.size()));
        EXPECT_EQ(o.apiLogEntries > 0, c.cuts[0]);
        EXPECT_EQ(o.entries, static_cast<std::int64_t>(100 - s.entries.size()));
        EXPECT_EQ(o.entries > 0, c.cuts[2]);
        EXPECT_EQ(keptViews < s.accounts.size() || o.accounts > 0, c.cuts[3]);
        EXPECT_EQ(o.accounts, static_cast<std::int64_t>(20 - s.accounts.size()));
        EXPECT_EQ(o.accounts > 0, c.cuts[4]);
        EXPECT_EQ(o.connections, static_cast<std::int64_t>(20 - s.connections.size()));
        EXPECT_EQ(o.connections > 0, c.cuts[5]);
        // One shortened memo, and one text per view dropped.
        EXPECT_EQ(o.shortenedTexts,
                  (c.cuts[1] ? 1 : 0) + (c.cuts[4] ? 20 : static_cast<std::int64_t>(20 - keptViews)));
        // What stays: the newest log lines and entries, the oldest accounts
        // (the views of the oldest), the oldest connections.
        if (c.partial == 1) {
            ASSERT_FALSE(s.recentApiLog.empty());
            EXPECT_EQ(s.recentApiLog.back().id, "L49");
        }
        if (c.partial == 3) {
            ASSERT_FALSE(s.entries.empty());
            EXPECT_EQ(s.entries.front().sequence, 100);
            EXPECT_EQ(s.entries.back().sequence, 101 - static_cast<std::int64_t>(s.entries.size()));
        }
        if (c.partial == 4) {
            EXPECT_GT(keptViews, 0u);
            EXPECT_LT(keptViews, 20u);
            for (std::size_t i = 0; i < s.accounts.size(); ++i) {
                EXPECT_EQ(s.accounts[i].clientInfoFields.has_value(), i < keptViews) << i;
            }
        }
        if (!s.accounts.empty()) {
            EXPECT_EQ(s.accounts.front().id, "A0");
        }
        if (!s.connections.empty()) {
            EXPECT_EQ(s.connections.front().id, "C0");
        }
    }
}

TEST(HostEngineClientInfoFields, KeyValueViewOfClientInfo) {
    using Fields = std::vector<ClientInfoField>;
    struct Case {
        std::optional<std::string> json;
        std::optional<Fields> fields;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt},
        {"", std::nullopt},
        {"not json", std::nullopt},
        {"[1]", std::nullopt},
        {"{}", std::nullopt},
        {R"({"zeta":"1","version":"2","name":"a","alpha":true})",
         Fields{{"name", "a"}, {"version", "2"}, {"alpha", "1"}, {"zeta", "1"}}},
        {R"({"title":"T","version":"v","name":"n"})",
         Fields{{"name", "n"}, {"title", "T"}, {"version", "v"}}},
        {R"({"b":false,"a":null,"n":-12,"f":1.5,"arr":[1,"x\/y"],"obj":{"k":{}},"Z":"up","é":"accent"})",
         Fields{{"Z", "up"},
                {"a", "null"},
                {"arr", R"([1,"x\/y"])"},
                {"b", "0"},
                {"f", "1.5"},
                {"n", "-12"},
                {"obj", R"({"k":{}})"},
                {"é", "accent"}}},
        {R"({"big":18446744073709551615})", Fields{{"big", "18446744073709551615"}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HostEngine::clientInfoFields(c.json), c.fields) << c.json.value_or("<none>");
    }
}

} // namespace
} // namespace quorvane::test
