#include <gtest/gtest.h>

#include <future>
#include <set>

#include "host/core/AccountCrypto.h"
#include "host/core/AgentIdentity.h"
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

class AgentIdentityTest : public ::testing::Test {
protected:
    TempDir dir;
    LedgerStore store{dir.path() + "/ledger.sqlite"};
    ConnectionRegistry registry;
    AgentIdentity identity{store, registry};
};

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
