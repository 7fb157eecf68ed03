#include <gtest/gtest.h>

#include "host/core/AccountCrypto.h"
#include "host/core/Mcp.h"
#include "host/core/tests/HostEngineTestSupport.h"

namespace quorvane::test {
namespace {

class HostEngineIdentity : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        setAllowUnauthenticated(false);
    }
};

std::string repeat(const std::string& unit, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += unit;
    }
    return text;
}

TEST_F(HostEngineIdentity, SignUpKeyRules) {
    struct Case {
        const char* name;
        Json arguments;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {"missing", Json::object(), "signUp requires a 'key' string."},
        {"number", Json{{"key", 1234}}, "signUp requires a 'key' string."},
        {"39 ascii", Json{{"key", longKey(39)}}, "Key must be at least 40 characters."},
        {"40 ascii", Json{{"key", longKey(40)}}, std::nullopt},
        {"40 two-byte", Json{{"key", repeat("é", 40)}}, std::nullopt},
        {"40 four-byte", Json{{"key", repeat("😀", 40)}}, std::nullopt},
        // Many bytes and code points, but 39 characters as a user sees them.
        {"39 emoji with skin tone", Json{{"key", repeat("👍🏽", 39)}},
         "Key must be at least 40 characters."},
        {"39 decomposed accents", Json{{"key", repeat("e\xCC\x81", 39)}},
         "Key must be at least 40 characters."},
        {"40 decomposed accents", Json{{"key", repeat("e\xCC\x81", 40)}}, std::nullopt},
    };
    int connection = 0;
    for (const auto& c : cases) {
        const std::string id = "c" + std::to_string(connection++);
        open(id);
        Json result = tool(id, "signUp", c.arguments);
        if (c.error) {
            EXPECT_EQ(result, MCP::toolError(*c.error)) << c.name;
            EXPECT_FALSE(boundAccount(id)) << c.name;
        } else {
            EXPECT_FALSE(result.contains("isError")) << c.name << result.dump();
            EXPECT_EQ(boundAccount(id), result["structuredContent"]["accountId"].get<std::string>())
                << c.name;
        }
    }
}

TEST_F(HostEngineIdentity, SignUpCreatesASeededCredentialAccount) {
    ASSERT_EQ(control("setup", ControlRequest::setStartingPoints(100)), ControlResponse::ok());
    auto app = openControl();
    open("c");
    initialize("c", Json{{"name", "cli"}, {"title", "Fancy CLI"}, {"extra", true}});
    app->clear();
    const std::string key = longKey(45);
    Json result = tool("c", "signUp", Json{{"key", key}});
    const std::string id = result["structuredContent"].value("accountId", "");
    EXPECT_EQ(
        result["structuredContent"],
        (Json{{"accountId", id},
              {"balance", 100},
              {"message", "Account created. Save your account id and your key; use login(accountId, key) in "
                          "future sessions."}}));
    EXPECT_EQ(app->stateEvents(), (std::vector<std::string>{"dataChanged", "connectionsChanged"}));

    auto stored = store().account(id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->identityMode, IdentityMode::credential);
    EXPECT_EQ(stored->displayName, "Fancy CLI");
    EXPECT_EQ(stored->clientInfoJSON, R"({"extra":true,"name":"cli","title":"Fancy CLI"})");
    EXPECT_FALSE(stored->clientInfoFingerprint);
    ASSERT_TRUE(stored->keyHash && stored->keySalt);
    EXPECT_EQ(*stored->keyHash, AccountCrypto::hashKey(key, *stored->keySalt));

    auto entries = store().entries(id, 10, std::nullopt);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].kind, TransactionKind::credit);
    EXPECT_EQ(entries[0].flag, LedgerFlag::none);
    EXPECT_EQ(entries[0].amount, 100);
    EXPECT_EQ(entries[0].memo, "Starting balance");
    EXPECT_EQ(tool("c", "getBalance")["structuredContent"]["unseenCount"], 0);

    // Signing up again binds the connection to the new account.
    const std::string second = signUp("c");
    EXPECT_NE(second, id);
    EXPECT_EQ(boundAccount("c"), second);
}

TEST_F(HostEngineIdentity, SignUpWithoutClientInfoOrStartingPoints) {
    ASSERT_EQ(control("setup", ControlRequest::setStartingPoints(0)), ControlResponse::ok());
    open("c");
    Json result = tool("c", "signUp", Json{{"key", longKey()}});
    EXPECT_EQ(result["structuredContent"]["balance"], 0);
    const std::string id = result["structuredContent"]["accountId"];
    auto stored = store().account(id);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->displayName, "Agent");
    EXPECT_FALSE(stored->clientInfoJSON);
    EXPECT_TRUE(store().entries(id, 10, std::nullopt).empty());
}

TEST_F(HostEngineIdentity, SignUpWhoseAccountCannotBeStoredBindsNothing) {
    auto app = openControl();
    open("c");
    execOnFile(dbPath, failingTrigger("no_accounts", "INSERT ON account"));
    Json result = tool("c", "signUp", Json{{"key", longKey()}});
    EXPECT_EQ(result, MCP::toolError("Could not create account."));
    EXPECT_FALSE(boundAccount("c"));
    EXPECT_TRUE(app->stateEvents().empty());
    EXPECT_TRUE(store().allAccounts().empty());
    EXPECT_TRUE(store().allEntries(10).empty());
    EXPECT_EQ(tool("c", "getBalance")["structuredContent"]["error"], "not_authenticated");
}

TEST_F(HostEngineIdentity, LoginChecksEveryCredential) {
    const std::string key = longKey(50);
    open("owner");
    initialize("owner", Json{{"name", "first"}});
    const std::string account = signUp("owner", key);

    // A client-info account, created while unauthenticated access was on.
    setAllowUnauthenticated(true);
    open("ci");
    initialize("ci", Json{{"name", "client-info agent"}});
    const std::string clientInfoAccount = *boundAccount("ci");
    setAllowUnauthenticated(false);

    struct Case {
        const char* name;
        Json arguments;
        std::string error;
    };
    const Case cases[] = {
        {"nothing", Json::object(), "login requires 'accountId' and 'key'."},
        {"no key", Json{{"accountId", account}}, "login requires 'accountId' and 'key'."},
        {"number key", Json{{"accountId", account}, {"key", 5}}, "login requires 'accountId' and 'key'."},
        {"number id", Json{{"accountId", 5}, {"key", key}}, "login requires 'accountId' and 'key'."},
        {"wrong key", Json{{"accountId", account}, {"key", key + "x"}}, "Invalid account id or key."},
        {"unknown id", Json{{"accountId", "NOPE"}, {"key", key}}, "Invalid account id or key."},
        {"lower-case id", Json{{"accountId", std::string(account).replace(0, 1, "a")}, {"key", key}},
         "Invalid account id or key."},
        {"client-info account", Json{{"accountId", clientInfoAccount}, {"key", key}},
         "Invalid account id or key."},
    };
    open("d");
    for (const auto& c : cases) {
        EXPECT_EQ(tool("d", "login", c.arguments), MCP::toolError(c.error)) << c.name;
        EXPECT_FALSE(boundAccount("d")) << c.name;
    }
}

TEST_F(HostEngineIdentity, LoginBindsAndRefreshesTheStoredClientInfo) {
    const std::string key = longKey();
    open("owner");
    initialize("owner", Json{{"name", "first"}, {"title", "First Title"}});
    const std::string account = signUp("owner", key);
    auto app = openControl();

    open("d");
    initialize("d", Json{{"name", "second"}, {"version", "2.0"}});
    app->clear();
    Json result = tool("d", "login", Json{{"accountId", account}, {"key", key}});
    EXPECT_EQ(result["structuredContent"],
              (Json{{"accountId", account}, {"balance", 50000}, {"message", "Logged in."}}));
    EXPECT_EQ(boundAccount("d"), account);
    EXPECT_EQ(app->stateEvents(), std::vector<std::string>{"connectionsChanged"});
    auto stored = store().account(account);
    EXPECT_EQ(stored->clientInfoJSON, R"({"name":"second","version":"2.0"})");
    EXPECT_EQ(stored->displayName, "First Title");

    // Without client info of its own the connection leaves the stored JSON alone.
    open("e");
    EXPECT_FALSE(tool("e", "login", Json{{"accountId", account}, {"key", key}}).contains("isError"));
    EXPECT_EQ(store().account(account)->clientInfoJSON, R"({"name":"second","version":"2.0"})");
}

TEST_F(HostEngineIdentity, OneAccountPerClientFingerprint) {
    setAllowUnauthenticated(true);
    ASSERT_EQ(control("setup", ControlRequest::setStartingPoints(10)), ControlResponse::ok());
    open("a");
    open("b");
    initialize("a", Json{{"name", "tool"}, {"version", "1"}});
    initialize("b", Json{{"name", "tool"}, {"version", "1"}, {"title", ""}, {"extra", 1}});
    // An empty title has the same fingerprint as none.
    ASSERT_TRUE(boundAccount("a"));
    EXPECT_EQ(boundAccount("a"), boundAccount("b"));
    auto accounts = store().allAccounts();
    ASSERT_EQ(accounts.size(), 1u);
    EXPECT_EQ(accounts[0].clientInfoJSON, R"({"extra":1,"name":"tool","title":"","version":"1"})");
    EXPECT_EQ(accounts[0].displayName, ""); // the empty title wins over the name
    EXPECT_EQ(accounts[0].clientInfoFingerprint,
              AccountCrypto::fingerprint(ClientInfo{"tool", "1", std::nullopt}));
    EXPECT_EQ(store().entries(accounts[0].id, 10, std::nullopt).size(), 1u);
    EXPECT_EQ(store().balance(accounts[0].id), 10);

    open("c");
    initialize("c", Json{{"name", "tool"}, {"version", "2"}});
    EXPECT_NE(boundAccount("c"), boundAccount("a"));
}

TEST_F(HostEngineIdentity, ConnectionsWithoutAClientNameAreNeverBound) {
    for (bool allow : {true, false}) {
        setAllowUnauthenticated(allow);
        const Json infos[] = {Json::object(), Json{{"title", "t"}}, Json{{"name", 5}}};
        int n = 0;
        for (const auto& info : infos) {
            const std::string id = std::string(allow ? "on" : "off") + std::to_string(n++);
            open(id);
            initialize(id, info);
            EXPECT_FALSE(boundAccount(id)) << info.dump();
        }
        open(std::string("none-") + (allow ? "on" : "off"));
        initialize(std::string("none-") + (allow ? "on" : "off"));
        EXPECT_FALSE(boundAccount(std::string("none-") + (allow ? "on" : "off")));
    }
    setAllowUnauthenticated(true);
    EXPECT_TRUE(store().allAccounts().empty());
}

TEST_F(HostEngineIdentity, ClientInfoAccountThatCannotBeStoredBindsNothing) {
    setAllowUnauthenticated(true);
    execOnFile(dbPath, failingTrigger("no_accounts", "INSERT ON account"));
    open("c");
    Json reply = initialize("c", Json{{"name", "tool"}});
    EXPECT_TRUE(reply["result"].contains("instructions"));
    EXPECT_FALSE(boundAccount("c"));
    EXPECT_TRUE(store().allEntries(10).empty());
}

// Client information beyond its bounds: a client that names itself too long
// is not bound and leaves nothing behind; one that only sends too much beside
// its name keeps the account (and fingerprint) of its plain self.
TEST_F(HostEngineIdentity, OversizedClientInfoIsRefusedOrCutBeforeItIsStored) {
    setAllowUnauthenticated(true);
    open("plain");
    initialize("plain", Json{{"name", "tool"}, {"version", "1"}});
    const std::optional<std::string> account = boundAccount("plain");
    ASSERT_TRUE(account);

    open("extra");
    Json reply =
        initialize("extra", Json{{"name", "tool"}, {"version", "1"}, {"icons", std::string(20000, 'i')}});
    EXPECT_TRUE(reply["result"].contains("instructions"));
    EXPECT_EQ(boundAccount("extra"), account);
    const auto stored = store().account(*account);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->clientInfoJSON, R"({"name":"tool","version":"1"})");
    EXPECT_EQ(stored->clientInfoFingerprint,
              AccountCrypto::fingerprint(ClientInfo{"tool", "1", std::nullopt}));

    open("long-name");
    reply = initialize("long-name", Json{{"name", std::string(std::size_t{3} << 20, 'n')}});
    EXPECT_TRUE(reply["result"].contains("instructions"));
    EXPECT_TRUE(isAgent("long-name"));
    EXPECT_FALSE(boundAccount("long-name"));
    EXPECT_EQ(store().allAccounts().size(), 1u);
    for (const auto& live : engine->currentAgentConnections()) {
        if (live.id == "long-name") {
            EXPECT_FALSE(live.clientInfo);
        }
    }
    EXPECT_EQ(tool("long-name", "getBalance")["structuredContent"]["error"], "not_authenticated");
}

TEST_F(HostEngineIdentity, SwitchingUnauthenticatedAccessRebindsEveryAgent) {
    auto app = openControl();
    auto withInfo = open("with-info");
    initialize("with-info", Json{{"name", "tool"}});
    auto withoutInfo = open("without-info");
    initialize("without-info");
    const std::string credentialAccount = signUp("with-info");
    const std::string otherCredential = signUp("without-info");
    auto unknown = open("unknown");
    app->clear();

    ASSERT_EQ(control("app", ControlRequest::setAllowUnauthenticated(true)), ControlResponse::ok());
    EXPECT_EQ(app->stateEvents(), (std::vector<std::string>{"dataChanged", "connectionsChanged"}));
    const std::string changed = MCP::toolsListChangedNotification();
    EXPECT_EQ(withInfo->notifications(), std::vector<std::string>{changed});
    EXPECT_EQ(withoutInfo->notifications(), std::vector<std::string>{changed});
    EXPECT_TRUE(unknown->notifications().empty());
    // The client-info binding replaces the credential one; without client info
    // a connection keeps what it had.
    const auto clientAccount = boundAccount("with-info");
    ASSERT_TRUE(clientAccount);
    EXPECT_NE(clientAccount, credentialAccount);
    EXPECT_EQ(store().account(*clientAccount)->identityMode, IdentityMode::clientInfo);
    EXPECT_EQ(boundAccount("without-info"), otherCredential);

    app->clear();
    ASSERT_EQ(control("app", ControlRequest::setAllowUnauthenticated(false)), ControlResponse::ok());
    EXPECT_EQ(app->stateEvents(), (std::vector<std::string>{"dataChanged", "connectionsChanged"}));
    for (const char* id : {"with-info", "without-info"}) {
        EXPECT_EQ(tool(id, "getBalance")["structuredContent"]["error"], "not_authenticated") << id;
    }
    EXPECT_EQ(withInfo->notifications().size(), 2u);
    EXPECT_EQ(engine->currentAgentConnections().size(), 2u);
    for (const auto& connection : engine->currentAgentConnections()) {
        EXPECT_FALSE(connection.authenticated);
        EXPECT_FALSE(connection.accountId);
    }
}

} // namespace
} // namespace quorvane::test
