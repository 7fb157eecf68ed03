#include <gtest/gtest.h>

#include <future>
#include <set>

#include "common/Limits.h"
#include "host/core/AccountCrypto.h"
#include "host/core/AgentIdentity.h"
#include "host/core/Mcp.h"
#include "host/core/tests/HostEngineTestSupport.h"

namespace quorvane::test {
namespace {

TEST(AgentIdentityClientInfo, OnlyANamedObjectDescribesAClient) {
    struct Case {
        const char* json;
        std::optional<ClientInfo> info;
    };
    const Case cases[] = {
        {"[]", std::nullopt},
        {"{}", std::nullopt},
        {R"({"title":"t"})", std::nullopt},
        {R"({"name":5})", std::nullopt},
        {R"({"name":"n"})", ClientInfo{"n", std::nullopt, std::nullopt}},
        {R"({"name":"n","version":"1","title":"T","extra":[1]})", ClientInfo{"n", "1", "T"}},
        {R"({"name":"n","version":2,"title":null})", ClientInfo{"n", std::nullopt, std::nullopt}},
        {R"({"name":"","title":""})", ClientInfo{"", std::nullopt, ""}},
    };
    for (const auto& c : cases) {
        const Json object = *parseJson(c.json);
        EXPECT_EQ(AgentIdentity::parseClientInfo(&object), c.info) << c.json;
    }
    EXPECT_EQ(AgentIdentity::parseClientInfo(nullptr), std::nullopt);
}

// What of an initialize's clientInfo the host keeps: within the bounds
// everything, beyond them nothing of a client that names itself too long, and
// only the members that fit of an object too large.
TEST(AgentIdentityClientInfo, AnnouncedClientKeepsOnlyWhatFitsTheBounds) {
    const std::string longest(Limits::maxClientInfoFieldBytes, 'n');
    const std::string tooLong(Limits::maxClientInfoFieldBytes + 1, 'n');
    const std::string big(Limits::maxClientInfoJSONBytes, 'i');
    struct Case {
        const char* name;
        Json object;
        std::optional<ClientInfo> info;
        std::optional<std::string> json;
    };
    const Case cases[] = {
        {"ordinary", Json{{"name", "cli"}, {"version", "1"}, {"x", 1}}, ClientInfo{"cli", "1", std::nullopt},
         R"({"name":"cli","version":"1","x":1})"},
        {"fields at their bound", Json{{"name", longest}, {"version", longest}, {"title", longest}},
         ClientInfo{longest, longest, longest},
         R"({"name":")" + longest + R"(","title":")" + longest + R"(","version":")" + longest + R"("})"},
        {"name too long", Json{{"name", tooLong}}, std::nullopt, std::nullopt},
        {"version too long", Json{{"name", "cli"}, {"version", tooLong}}, std::nullopt, std::nullopt},
        {"title too long", Json{{"name", "cli"}, {"title", tooLong}}, std::nullopt, std::nullopt},
        // Name, title and version first, then the others in key order while they fit.
        {"object too large",
         Json{{"a", "small"}, {"icons", big}, {"name", "cli"}, {"version", "1"}, {"z", 2}},
         ClientInfo{"cli", "1", std::nullopt}, R"({"a":"small","name":"cli","version":"1","z":2})"},
        {"unnamed and too large", Json{{"name", 5}, {"icons", big}}, std::nullopt, R"({"name":5})"},
        {"only one huge member", Json{{"icons", big}}, std::nullopt, std::nullopt},
        {"empty", Json::object(), std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        const AgentIdentity::AnnouncedClient client = AgentIdentity::announcedClient(&c.object);
        EXPECT_EQ(client.info, c.info) << c.name;
        EXPECT_EQ(client.json, c.json) << c.name;
        if (client.json) {
            EXPECT_LE(client.json->size(), Limits::maxClientInfoJSONBytes) << c.name;
        }
    }
    EXPECT_EQ(AgentIdentity::announcedClient(nullptr).info, std::nullopt);
}

class AgentIdentityTest : public ::testing::Test {
protected:
    TempDir dir;
    LedgerStore store{dir.path() + "/ledger.sqlite"};
    ConnectionRegistry registry;
    // The sign-up rate limit reads this clock.
    AgentIdentity::Clock::time_point now{std::chrono::hours(1)};
    AgentIdentity identity{store, registry, [this] { return now; }};

    Json signUp(const std::string& connection, const std::string& key = longKey()) {
        return identity.signUp(Json{{"key", key}}, connection);
    }
};

TEST_F(AgentIdentityTest, SignUpsPerConnectionAreLimitedWithinASlidingWindow) {
    const Json tooMany = MCP::toolError("Too many sign-ups in this session. Try again later.");
    for (const char* id : {"flood", "other"}) {
        registry.opened(id, nullptr);
    }
    for (std::size_t i = 0; i < Limits::signUpsPerWindow; ++i) {
        EXPECT_FALSE(signUp("flood").contains("isError")) << i;
        now += std::chrono::seconds(1);
    }
    const auto accounts = store.allAccounts().size();
    EXPECT_EQ(signUp("flood"), tooMany);
    // Refused keys are not counted, refusals create nothing.
    EXPECT_EQ(signUp("flood", longKey(39)), MCP::toolError("Key must be at least 40 characters."));
    EXPECT_EQ(store.allAccounts().size(), accounts);
    // Another connection has its own count.
    EXPECT_FALSE(signUp("other").contains("isError"));
    // A window after the first sign-up, one more is allowed; then the next
    // waits for the second to age out.
    now +=
        Limits::signUpWindow - std::chrono::seconds(Limits::signUpsPerWindow) - std::chrono::nanoseconds(1);
    EXPECT_EQ(signUp("flood"), tooMany);
    now += std::chrono::nanoseconds(1);
    EXPECT_FALSE(signUp("flood").contains("isError"));
    EXPECT_EQ(signUp("flood"), tooMany);
    now += std::chrono::seconds(1);
    EXPECT_FALSE(signUp("flood").contains("isError"));
}

TEST_F(AgentIdentityTest, SignUpKeysHaveALongestLength) {
    registry.opened("c", nullptr);
    EXPECT_FALSE(signUp("c", longKey(Limits::maxSignUpKeyBytes)).contains("isError"));
    EXPECT_EQ(signUp("c", longKey(Limits::maxSignUpKeyBytes + 1)),
              MCP::toolError("Key must be at most " + std::to_string(Limits::maxSignUpKeyBytes) + " bytes."));
    EXPECT_EQ(store.allAccounts().size(), 1u);
}

// An account and its opening credit are written together or not at all.
TEST_F(AgentIdentityTest, AccountsAreCreatedWithTheirOpeningCreditOrNotAtAll) {
    ASSERT_TRUE(store.setStartingPoints(70));
    registry.opened("c", nullptr);
    const ClientInfo info{"tool", std::nullopt, std::nullopt};

    execOnFile(dir.path() + "/ledger.sqlite", failingTrigger("no_entries", "INSERT ON ledger"));
    EXPECT_EQ(signUp("c"), MCP::toolError("Could not create account."));
    EXPECT_FALSE(identity.bindClientInfo("c", info));
    EXPECT_TRUE(store.allAccounts().empty());
    EXPECT_FALSE(registry.boundAccount("c"));

    // Without starting points no entry is needed.
    ASSERT_TRUE(store.setStartingPoints(0));
    EXPECT_TRUE(identity.bindClientInfo("c", info));
    EXPECT_EQ(store.allAccounts().size(), 1u);

    execOnFile(dir.path() + "/ledger.sqlite", "DROP TRIGGER no_entries;");
    ASSERT_TRUE(store.setStartingPoints(70));
    const Json created = signUp("c");
    const std::string id = created["structuredContent"]["accountId"];
    EXPECT_EQ(created["structuredContent"]["balance"], 70);
    const auto entries = store.entries(id, 10, std::nullopt);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].memo, "Starting balance");
    EXPECT_EQ(entries[0].amount, 70);
    EXPECT_EQ(store.unseenCount(id), 0);
    EXPECT_EQ(store.account(id)->lastSeenSequence, entries[0].sequence);
}

// Connections of one client binding at the same moment share one account.
TEST_F(AgentIdentityTest, SimultaneousBindsOfOneClientShareOneAccount) {
    constexpr int connections = 8;
    const ClientInfo info{"racer", "1", std::nullopt};
    std::vector<std::string> ids;
    for (int i = 0; i < connections; ++i) {
        ids.push_back("c" + std::to_string(i));
        registry.opened(ids.back(), nullptr);
    }
    std::promise<void> start;
    std::shared_future<void> go = start.get_future().share();
    std::vector<std::future<bool>> binds;
    for (const auto& id : ids) {
        binds.push_back(std::async(std::launch::async, [&, id] {
            go.wait();
            return identity.bindClientInfo(id, info);
        }));
    }
    start.set_value();
    std::set<std::optional<std::string>> accounts;
    for (std::size_t i = 0; i < binds.size(); ++i) {
        EXPECT_TRUE(binds[i].get());
        accounts.insert(registry.boundAccount(ids[i]));
    }
    ASSERT_EQ(accounts.size(), 1u);
    ASSERT_TRUE(*accounts.begin());
    const auto stored = store.allAccounts();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].clientInfoFingerprint, AccountCrypto::fingerprint(info));
    // Seeded once.
    EXPECT_EQ(store.entries(stored[0].id, 10, std::nullopt).size(), 1u);
}

// A failed settings change leaves bindings, pushes and events alone.
TEST_F(AgentIdentityTest, SettingThatCannotBeStoredChangesNothing) {
    auto agent = std::make_shared<RecordingPeer>();
    auto app = std::make_shared<RecordingPeer>();
    registry.opened("agent", providerFor(agent));
    registry.opened("app", providerFor(app));
    registry.markControl("app");
    registry.setClientInfo("agent", ClientInfo{"tool", std::nullopt, std::nullopt}, std::nullopt);
    ASSERT_TRUE(identity.bindClientInfo("agent", *registry.clientInfo("agent")));
    const auto account = registry.boundAccount("agent");

    execOnFile(dir.path() + "/ledger.sqlite",
               failingTrigger("no_settings", "UPDATE ON meta WHEN NEW.key = 'allow_unauthenticated'"));
    EXPECT_FALSE(identity.setAllowUnauthenticated(false));
    EXPECT_EQ(registry.boundAccount("agent"), account);
    EXPECT_TRUE(agent->notifications().empty());
    EXPECT_TRUE(app->eventTexts().empty());
}

} // namespace
} // namespace quorvane::test
