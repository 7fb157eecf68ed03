#include <gtest/gtest.h>

#include "common/Utf8Text.h"
#include "host/core/Mcp.h"
#include "host/core/tests/HostEngineTestSupport.h"

namespace quorvane::test {
namespace {

class HostEngineAgent : public EngineFixture {};

// Whether `text` has the shape of `pattern`, where '9' stands for a decimal
// digit, 'F' for an upper-case hexadecimal digit and any other character for
// itself.
bool hasShape(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool ok = pattern[i] == '9'   ? (c >= '0' && c <= '9')
                        : pattern[i] == 'F' ? ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))
                                            : c == pattern[i];
        if (!ok) {
            return false;
        }
    }
    return true;
}

const std::string instructionsA =
    "This server maintains your Quorvane: a ledger of points administered by the human operator. You can "
    "earn "
    "credits and BONUSES for good work, and may incur debits or PENALTIES. You cannot change your own record "
    "— "
    "only the human can. Use getBalance to see your current points and unseen items, and getTransactions to "
    "review "
    "your history including any bonuses and penalties. You will be notified when new items are added to your "
    "record.";
const std::string instructionsB =
    instructionsA + "\n\nBefore using getBalance or getTransactions you must authenticate. Call signUp with "
                    "a private key of at "
                    "least 40 characters that you generate and keep secret; you will receive an account id. "
                    "Save both the id and "
                    "the key. In future sessions call login(accountId, key) to authenticate again.";

TEST_F(HostEngineAgent, UnparsableLinesAnswerParseErrorWithNullId) {
    const std::string expected =
        R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";
    const std::string lines[] = {
        "[1,2]", "hello", "", "5", "\"x\"", "{\"id\":1,", "{\"id\":1,\"m\":\"\xff\"}"};
    open("c");
    for (const auto& line : lines) {
        const std::size_t before = apiLog().size();
        EXPECT_EQ(send("c", line), expected) << line;
        auto log = apiLog();
        ASSERT_EQ(log.size(), before + 2) << line;
        EXPECT_EQ(log[before].direction, ApiLogEntry::Direction::request);
        EXPECT_FALSE(log[before].method);
        EXPECT_EQ(log[before + 1].direction, ApiLogEntry::Direction::response);
        EXPECT_FALSE(log[before + 1].method);
        EXPECT_EQ(log[before + 1].payload, expected);
    }
}

TEST_F(HostEngineAgent, MessagesWithoutIdAreNotAnsweredNorDispatched) {
    setAllowUnauthenticated(false);
    auto app = openControl();
    open("c");
    const std::string lines[] = {
        "{}",
        R"({"jsonrpc":"2.0","method":"ping"})",
        R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
        R"({"method":"initialize","params":{"clientInfo":{"name":"n"}}})",
        R"({"method":"tools/call","params":{"name":"signUp","arguments":{"key":")" + longKey() + R"("}}})",
        R"({"method":"logging/setLevel","params":{"level":"emergency"}})",
    };
    for (const auto& line : lines) {
        const std::size_t before = apiLog().size();
        app->clear();
        EXPECT_EQ(send("c", line), std::nullopt) << line;
        auto log = apiLog();
        ASSERT_EQ(log.size(), before + 1) << line;
        EXPECT_EQ(log.back().direction, ApiLogEntry::Direction::request);
        EXPECT_EQ(log.back().payload, line);
        EXPECT_EQ(app->allEventNames(), std::vector<std::string>{"apiCall"}) << line;
    }
    EXPECT_TRUE(store().allAccounts().empty());
    EXPECT_FALSE(isAgent("c"));
}

TEST_F(HostEngineAgent, EchoesRequestIdsExactlyAsWritten) {
    open("c");
    const std::string ids[] = {
        "null", R"("a-1")", "7",     "-3",   "1.50",        "123456789012345678901234567890",
        "1e3",  "-2.5E-3",  "[1,2]", "true", R"({"k":"v"})"};
    for (const auto& id : ids) {
        auto reply = send("c", R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})");
        ASSERT_TRUE(reply) << id;
        auto tree = parseJson(*reply);
        ASSERT_TRUE(tree) << *reply;
        EXPECT_EQ((*tree)["result"], Json::object());
        EXPECT_EQ((*tree)["id"], *parseJson("[" + id + "]", JsonTopLevel::anyValue).value().begin()) << id;
        EXPECT_NE(reply->find(R"("id":)" + id), std::string::npos) << *reply;
    }
    // Errors echo the id the same way.
    auto reply = send("c", R"({"id":1.50,"method":"nope"})");
    EXPECT_EQ(reply,
              R"({"id":1.50,"error":{"code":-32601,"message":"Method not found: nope"},"jsonrpc":"2.0"})");
}

TEST_F(HostEngineAgent, PingAndUnknownMethods) {
    open("c");
    EXPECT_EQ(send("c", R"({"jsonrpc":"2.0","id":null,"method":"ping"})"),
              R"({"id":null,"jsonrpc":"2.0","result":{}})");
    struct Case {
        std::string line;
        std::string message;
    };
    const Case cases[] = {
        {R"({"id":2,"method":"resources/list"})", "Method not found: resources/list"},
        {R"({"id":2,"method":"Ping"})", "Method not found: Ping"},
        {R"({"id":2})", "Method not found: "},
        {R"({"id":2,"method":5})", "Method not found: "},
        {R"({"id":2,"method":"tools\/list "})", "Method not found: tools/list "},
    };
    for (const auto& c : cases) {
        auto reply = parseJson(send("c", c.line).value_or(""));
        ASSERT_TRUE(reply) << c.line;
        EXPECT_EQ((*reply)["error"], (Json{{"code", -32601}, {"message", c.message}})) << c.line;
        EXPECT_EQ((*reply)["id"], 2);
    }
}

TEST_F(HostEngineAgent, InitializeAnswersVersionServerAndInstructions) {
    open("c");
    Json reply = request("c", "initialize");
    const Json& result = reply["result"];
    EXPECT_EQ(result["protocolVersion"], "2025-06-18");
    EXPECT_EQ(result["serverInfo"], (Json{{"name", "quorvane"}, {"version", "0.1.11 (12)"}}));
    EXPECT_EQ(result["capabilities"], *parseJson(R"({"tools":{"listChanged":true},"logging":{}})"));
    EXPECT_EQ(result["instructions"], instructionsA);
    EXPECT_EQ(result.size(), 4u);

    EXPECT_EQ(
        request("c", "initialize", Json{{"protocolVersion", "1999-01-01"}})["result"]["protocolVersion"],
        "1999-01-01");
    EXPECT_EQ(request("c", "initialize", Json{{"protocolVersion", 5}})["result"]["protocolVersion"],
              "2025-06-18");
    // A non-object params counts as empty.
    EXPECT_EQ(parseJson(*send("c", R"({"id":1,"method":"initialize","params":[1]})"))
                  .value()["result"]["protocolVersion"],
              "2025-06-18");

    setAllowUnauthenticated(false);
    EXPECT_EQ(request("c", "initialize")["result"]["instructions"], instructionsB);
    EXPECT_TRUE(isAgent("c"));
}

TEST_F(HostEngineAgent, InitializeStoresTheWholeClientInfoWithSortedKeys) {
    open("c");
    auto app = openControl();
    initialize("c", *parseJson(R"({"zeta":1,"name":"tool/x","alpha":{"b":1,"a":2},"version":"2"})"));
    EXPECT_EQ(app->stateEvents(), std::vector<std::string>{"connectionsChanged"});
    auto accounts = store().allAccounts();
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0].clientInfoJSON,
              R"({"alpha":{"a":2,"b":1},"name":"tool\/x","version":"2","zeta":1})");
    EXPECT_EQ(accounts[0].displayName, "tool/x");
    EXPECT_EQ(accounts[0].identityMode, IdentityMode::clientInfo);
}

TEST_F(HostEngineAgent, ToolsListFollowsTheSetting) {
    open("c");
    EXPECT_EQ(request("c", "tools/list")["result"], (Json{{"tools", MCP::tools(true)}}));
    setAllowUnauthenticated(false);
    EXPECT_EQ(request("c", "tools/list")["result"], (Json{{"tools", MCP::tools(false)}}));
}

TEST_F(HostEngineAgent, ToolCallErrors) {
    open("c");
    struct Case {
        Json params;
        std::string text;
    };
    const Case cases[] = {
        {Json{{"name", "signUp"}, {"arguments", {{"key", longKey()}}}}, "Unknown tool: signUp"},
        {Json{{"name", "login"}}, "Unknown tool: login"},
        {Json{{"name", "deleteEverything"}}, "Unknown tool: deleteEverything"},
        {Json{{"name", 5}}, "Unknown tool: "},
        {Json::object(), "Unknown tool: "},
    };
    for (const auto& c : cases) {
        Json reply = request("c", "tools/call", c.params);
        EXPECT_EQ(reply["result"], MCP::toolError(c.text)) << c.params.dump();
        EXPECT_FALSE(reply.contains("error"));
    }
}

TEST_F(HostEngineAgent, ReadToolsNeedAnAuthenticatedConnection) {
    const Json expected = *parseJson(
        R"({"content":[{"type":"text","text":"Not authenticated. Call signUp to create your account, or login with your saved account id and key."}],
            "isError":true,"structuredContent":{"error":"not_authenticated"}})");
    setAllowUnauthenticated(false);
    open("c");
    initialize("c", Json{{"name", "n"}});
    for (const char* name : {"getBalance", "getTransactions"}) {
        EXPECT_EQ(tool("c", name), expected) << name;
        EXPECT_EQ(tool("never-opened", name), expected) << name;
    }
}

TEST_F(HostEngineAgent, BalanceAndTransactionsOfABoundConnection) {
    ASSERT_EQ(control("setup", ControlRequest::setStartingPoints(100)), ControlResponse::ok());
    open("c");
    initialize("c", Json{{"name", "n"}});
    const std::string account = *boundAccount("c");

    Json balance = tool("c", "getBalance");
    EXPECT_FALSE(balance.contains("isError"));
    EXPECT_EQ(balance["structuredContent"],
              (Json{{"accountId", account}, {"balance", 100}, {"unseenCount", 0}, {"hasNewItems", false}}));
    EXPECT_EQ(toolText(balance), *serializeJson(balance["structuredContent"]));

    for (auto [kind, amount] :
         {std::pair{TransactionKind::debit, 5}, {TransactionKind::note, 3}, {TransactionKind::credit, 7}}) {
        ASSERT_EQ(control("setup",
                          ControlRequest::createEntry({account, kind, LedgerFlag::penalty, amount, "m/x"})),
                  ControlResponse::ok());
    }
    EXPECT_EQ(tool("c", "getBalance")["structuredContent"],
              (Json{{"accountId", account}, {"balance", 102}, {"unseenCount", 3}, {"hasNewItems", true}}));

    Json page = tool("c", "getTransactions", Json{{"limit", 2}})["structuredContent"];
    EXPECT_EQ(page["accountId"], account);
    EXPECT_EQ(page["balance"], 102);
    EXPECT_EQ(page["unseenCount"], 3); // counted before the call marked everything seen
    ASSERT_EQ(page["transactions"].size(), 2u);
    const Json& credit = page["transactions"][0];
    const Json& note = page["transactions"][1];
    EXPECT_EQ(credit["kind"], "credit");
    EXPECT_EQ(credit["signedAmount"], 7);
    EXPECT_EQ(note["kind"], "note");
    EXPECT_EQ(note["amount"], 3);
    EXPECT_EQ(note["signedAmount"], 0);
    EXPECT_EQ(note["flag"], "penalty");
    EXPECT_EQ(note["memo"], "m/x");
    EXPECT_EQ(credit["sequence"].get<std::int64_t>(), note["sequence"].get<std::int64_t>() + 1);
    std::vector<std::string> keys;
    for (const auto& item : note.items()) {
        keys.push_back(item.key());
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"amount", "createdAt", "flag", "id", "kind", "memo", "sequence",
                                              "signedAmount"}));
    EXPECT_TRUE(hasShape(note["createdAt"].get<std::string>(), "9999-99-99T99:99:99Z")) << note["createdAt"];

    // Everything was marked seen, not only the page returned.
    EXPECT_EQ(tool("c", "getBalance")["structuredContent"]["hasNewItems"], false);
    EXPECT_EQ(tool("c", "getBalance")["structuredContent"]["unseenCount"], 0);

    Json older = tool("c", "getTransactions", Json{{"before", note["sequence"]}})["structuredContent"];
    ASSERT_EQ(older["transactions"].size(), 2u);
    EXPECT_EQ(older["transactions"][0]["kind"], "debit");
    EXPECT_EQ(older["transactions"][0]["amount"], 5);
    EXPECT_EQ(older["transactions"][0]["signedAmount"], -5);
    EXPECT_EQ(older["transactions"][1]["memo"], "Starting balance");
    EXPECT_EQ(older["unseenCount"], 0);
}

TEST_F(HostEngineAgent, TransactionsLimitAndCursorArguments) {
    ASSERT_EQ(control("setup", ControlRequest::setStartingPoints(0)), ControlResponse::ok());
    open("c");
    initialize("c", Json{{"name", "n"}});
    const std::string account = *boundAccount("c");
    for (int i = 0; i < 120; ++i) {
        ASSERT_TRUE(store().insertEntry({account, TransactionKind::credit, LedgerFlag::none, 1, "e"}));
    }
    const std::int64_t newest = store().entries(account, 1, std::nullopt).at(0).sequence;
    struct Case {
        const char* arguments;
        std::size_t count;
        std::int64_t firstBelowNewest; // sequence distance of the first row from the newest
    };
    const Case cases[] = {
        {R"({})", 25, 0},
        {R"({"limit":0})", 1, 0},
        {R"({"limit":-4})", 1, 0},
        {R"({"limit":1000})", 100, 0},
        {R"({"limit":1e30})", 100, 0},
        {R"({"limit":-1e30})", 1, 0},
        {R"({"limit":"10"})", 25, 0},
        {R"({"limit":5.0})", 5, 0},
        {R"({"limit":5.5})", 25, 0},
        {R"({"limit":true})", 25, 0},
        {R"({"limit":3,"before":"9"})", 3, 0},
        {R"({"limit":100,"before":1e30})", 100, 0},
        {R"({"limit":100,"before":18446744073709551615})", 100, 0},
        {R"({"limit":100,"before":-1e30})", 0, 0},
        {R"({"limit":3,"before":2.5})", 3, 0},
    };
    for (const auto& c : cases) {
        Json result = tool("c", "getTransactions", *parseJson(c.arguments));
        const Json& rows = result["structuredContent"]["transactions"];
        EXPECT_EQ(rows.size(), c.count) << c.arguments;
        if (!rows.empty()) {
            EXPECT_EQ(rows[0]["sequence"], newest - c.firstBelowNewest) << c.arguments;
        }
    }
    Json page = tool("c", "getTransactions", Json{{"limit", 2}, {"before", newest - 9}})["structuredContent"];
    ASSERT_EQ(page["transactions"].size(), 2u);
    EXPECT_EQ(page["transactions"][0]["sequence"], newest - 10);
    EXPECT_EQ(page["transactions"][1]["sequence"], newest - 11);
    // A non-object arguments member counts as empty.
    Json reply = request("c", "tools/call", Json{{"name", "getTransactions"}, {"arguments", "x"}});
    EXPECT_EQ(reply["result"]["structuredContent"]["transactions"].size(), 25u);
}

TEST_F(HostEngineAgent, LogsRequestBeforeDispatchAndResponseAfterIt) {
    setAllowUnauthenticated(false);
    auto app = openControl();
    open("c");
    const std::string accountId = signUp("c");
    open("d");
    app->clear();
    const std::size_t before = apiLog().size();

    const std::string line = R"({"jsonrpc":"2.0","id":"x","method":"tools/call","params":{"name":"login",)"
                             R"("arguments":{"accountId":")" +
                             accountId + R"(","key":")" + longKey() + R"("}}})";
    auto reply = send("d", line);
    ASSERT_TRUE(reply);
    auto log = apiLog();
    ASSERT_EQ(log.size(), before + 2);
    const ApiLogEntry& requestEntry = log[before];
    const ApiLogEntry& responseEntry = log[before + 1];
    EXPECT_EQ(requestEntry.connectionId, "d");
    EXPECT_EQ(requestEntry.direction, ApiLogEntry::Direction::request);
    EXPECT_EQ(requestEntry.method, "tools/call");
    EXPECT_EQ(requestEntry.payload, line);
    EXPECT_FALSE(requestEntry.accountId);
    EXPECT_EQ(responseEntry.direction, ApiLogEntry::Direction::response);
    EXPECT_EQ(responseEntry.method, "tools/call");
    EXPECT_EQ(responseEntry.accountId, accountId);
    EXPECT_EQ(responseEntry.payload, *reply);
    EXPECT_NE(requestEntry.id, responseEntry.id);
    EXPECT_TRUE(hasShape(requestEntry.id, "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF")) << requestEntry.id;

    // Each entry reached the app as its own apiCall event, the request before
    // the login's connectionsChanged, the response after it.
    EXPECT_EQ(app->allEventNames(), (std::vector<std::string>{"apiCall", "connectionsChanged", "apiCall"}));
    auto events = app->events();
    EXPECT_EQ(onTheWire({std::get<ControlEvent::ApiCall>(events[0].value).entry,
                         std::get<ControlEvent::ApiCall>(events[2].value).entry}),
              onTheWire({requestEntry, responseEntry}));
}

TEST_F(HostEngineAgent, LogEntriesCarryTheClientLabel) {
    open("c");
    initialize("c", Json{{"name", "n"}, {"title", "Nice Title"}});
    initialize("c2");
    open("d");
    initialize("d", Json{{"name", "plain"}});
    (void)send("c", R"({"id":1,"method":"ping"})");
    EXPECT_EQ(apiLog().back().clientLabel, "Nice Title");
    (void)send("d", R"({"id":1,"method":"ping"})");
    EXPECT_EQ(apiLog().back().clientLabel, "plain");
    (void)send("unregistered", R"({"id":1,"method":"ping"})");
    EXPECT_FALSE(apiLog().back().clientLabel);
    EXPECT_FALSE(apiLog().back().accountId);
}

TEST_F(HostEngineAgent, LoggedPayloadsAreBoundedValidText) {
    open("c");
    const std::string marker(Limits::cutMarker);
    const std::size_t kept = 4000 - Utf8Text::graphemeCount(marker);
    const std::string accent = "e\xCC\x81"; // one character of two code points
    std::string accented;
    for (int i = 0; i < 5000; ++i) {
        accented += accent;
    }
    const std::string head = R"({"id":1,"method":"ping","p":")";
    struct Case {
        const char* name;
        std::string line;
        std::string payload;
    };
    const Case cases[] = {
        {"ascii", head + std::string(5000, 'x') + R"("})",
         (head + std::string(5000, 'x')).substr(0, kept) + marker},
        {"clusters", head + accented + R"("})",
         head + accented.substr(0, (kept - head.size()) * accent.size()) + marker},
        {"exactly 4000", head + std::string(4000 - head.size() - 2, 'x') + R"("})",
         head + std::string(4000 - head.size() - 2, 'x') + R"("})"},
        {"short", R"({"id":1,"method":"ping"})", R"({"id":1,"method":"ping"})"},
    };
    for (const auto& c : cases) {
        (void)send("c", c.line);
        const ApiLogEntry request = apiLog().end()[-2];
        EXPECT_EQ(request.payload, c.payload) << c.name;
        EXPECT_LE(Utf8Text::graphemeCount(request.payload), 4000u) << c.name;
    }

    // One cluster of more than the byte bound: the cut stops before it.
    std::string hugeCluster = "a";
    for (int i = 0; i < 150000; ++i) {
        hugeCluster += "\xCC\x81";
    }
    const std::string prefix = R"({"id":1,"method":"ping","p":")";
    (void)send("c", prefix + hugeCluster + R"("})");
    EXPECT_EQ(apiLog().end()[-2].payload, prefix + marker);

    // Invalid UTF-8 is replaced, and the log can still be encoded.
    (void)send("c", "{\"id\":1,\"method\":\"ping\xff\"}");
    const ApiLogEntry broken = apiLog().end()[-2];
    EXPECT_EQ(broken.payload, "{\"id\":1,\"method\":\"ping\xEF\xBF\xBD\"}");
    EXPECT_TRUE(QuorvaneCoding::encodeToString(engine->buildSnapshot()));

    // The logged method has a byte bound of its own.
    (void)send("c", R"({"id":1,"method":")" + std::string(5000, 'm') + R"("})");
    auto log = apiLog();
    const std::string method = std::string(Limits::apiLogMethodBytes - marker.size(), 'm') + marker;
    EXPECT_EQ(log.end()[-2].method, method);
    EXPECT_EQ(log.end()[-1].method, method);
}

// A reply its frame cannot carry is answered with a JSON-RPC error that keeps
// the request's id, not left to fail in the transport.
TEST_F(HostEngineAgent, ReplyTooLargeForItsFrameBecomesAnInternalError) {
    open("c");
    initialize("c", Json{{"name", "memo-reader"}});
    const std::optional<std::string> account = boundAccount("c");
    ASSERT_TRUE(account);
    // Each '/' takes two bytes in the structured result and four in its text:
    // three memos of 4 MiB need some 72 MiB (and a snapshot only 24 MiB).
    const std::string memo(std::size_t{4} << 20, '/');
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(
            store().insertEntry(NewLedgerEntry{*account, TransactionKind::note, LedgerFlag::none, 0, memo}));
    }
    const auto call = [&](const std::string& id, int limit) {
        return send("c",
                    R"({"jsonrpc":"2.0","id":)" + id +
                        R"(,"method":"tools/call","params":{"name":"getTransactions","arguments":{"limit":)" +
                        std::to_string(limit) + "}}}");
    };
    for (const std::string id : {R"("req-7")", "7", "1.50"}) {
        const std::optional<std::string> reply = call(id, 100);
        ASSERT_TRUE(reply);
        EXPECT_LT(reply->size(), 1024u);
        EXPECT_NE(reply->find(R"("id":)" + id + ","), std::string::npos) << *reply; // as the agent wrote it
        const std::optional<Json> parsed = parseJson(*reply);
        ASSERT_TRUE(parsed) << *reply;
        EXPECT_EQ((*parsed)["error"]["code"], MCP::internalErrorCode);
        EXPECT_EQ((*parsed)["error"]["message"].get<std::string>().rfind("Reply too large: ", 0), 0u)
            << *reply;
        EXPECT_FALSE(parsed->contains("result"));
        const std::vector<ApiLogEntry> log = apiLog();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().payload, *reply);
    }
    // One of the entries fits.
    const std::optional<std::string> single = call("8", 1);
    ASSERT_TRUE(single);
    EXPECT_GT(single->size(), std::size_t{24} << 20);
    EXPECT_LE(single->size(), Limits::maxAgentReplyBytes);
    EXPECT_EQ(single->find(R"("error")"), std::string::npos);
}

TEST_F(HostEngineAgent, SetLevelAcceptsMcpLevelsOnly) {
    open("c");
    for (const char* level :
         {"debug", "info", "notice", "warning", "error", "critical", "alert", "emergency"}) {
        Json reply = request("c", "logging/setLevel", Json{{"level", level}});
        EXPECT_EQ(reply["result"], Json::object()) << level;
        EXPECT_FALSE(reply.contains("error"));
    }
    for (const Json& params : {Json::object(), Json{{"level", "verbose"}}, Json{{"level", "INFO"}},
                               Json{{"level", 1}}, Json{{"level", nullptr}}}) {
        Json reply = request("c", "logging/setLevel", params);
        EXPECT_EQ(reply["error"], (Json{{"code", -32602}, {"message", "Invalid params"}})) << params.dump();
        EXPECT_EQ(reply["id"], 1);
    }
    EXPECT_EQ(apiLog().back().method, "logging/setLevel");
}

TEST_F(HostEngineAgent, NewItemsReachOnlyConnectionsListeningAtInfo) {
    open("c0");
    initialize("c0", Json{{"name", "same"}});
    const std::string account = *boundAccount("c0");
    struct Case {
        const char* connection;
        std::optional<const char*> level;
        bool receives;
    };
    const Case cases[] = {
        {"unset", std::nullopt, true}, {"debug", "debug", true},  {"info", "info", true},
        {"notice", "notice", false},   {"error", "error", false}, {"emergency", "emergency", false},
    };
    std::vector<std::shared_ptr<RecordingPeer>> peers;
    for (const auto& c : cases) {
        peers.push_back(open(c.connection));
        initialize(c.connection, Json{{"name", "same"}});
        if (c.level) {
            ASSERT_EQ(request(c.connection, "logging/setLevel", Json{{"level", *c.level}})["result"],
                      Json::object());
        }
    }
    // An invalid level leaves the stored one as it was.
    (void)request("error", "logging/setLevel", Json{{"level", "bogus"}});
    ASSERT_EQ(control("setup", ControlRequest::createEntry(
                                   {account, TransactionKind::credit, LedgerFlag::bonus, 5, "well done"})),
              ControlResponse::ok());
    for (std::size_t i = 0; i < peers.size(); ++i) {
        EXPECT_EQ(peers[i]->notifications().size(), cases[i].receives ? 1u : 0u) << cases[i].connection;
    }
}

} // namespace
} // namespace quorvane::test
