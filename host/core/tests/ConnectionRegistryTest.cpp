#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/core/ConnectionRegistry.h"
#include "host/core/tests/HostEngineTestSupport.h"

namespace quorvane::test {
namespace {

const ClientInfo toolInfo{"tool", "1", std::nullopt};

class ConnectionRegistryTest : public ::testing::Test {
protected:
    std::shared_ptr<RecordingPeer> open(const std::string& id) {
        auto peer = std::make_shared<RecordingPeer>();
        registry.opened(id, providerFor(peer));
        return peer;
    }
    std::shared_ptr<RecordingPeer> openAgent(const std::string& id,
                                             const std::optional<std::string>& account = std::nullopt) {
        auto peer = open(id);
        registry.setClientInfo(id, toolInfo, std::nullopt);
        if (account) {
            registry.bind(id, *account);
        }
        return peer;
    }
    std::shared_ptr<RecordingPeer> openApp(const std::string& id) {
        auto peer = open(id);
        registry.markControl(id);
        return peer;
    }

    ConnectionRegistry registry;
};

TEST_F(ConnectionRegistryTest, RolesFollowTheLastChange) {
    EXPECT_EQ(registry.role("x"), std::nullopt);
    open("x");
    EXPECT_EQ(registry.role("x"), ConnectionRole::unknown);
    registry.setClientInfo("x", std::nullopt, std::nullopt);
    EXPECT_EQ(registry.role("x"), ConnectionRole::agent);
    registry.markControl("x");
    EXPECT_EQ(registry.role("x"), ConnectionRole::control);
    registry.bind("x", "A");
    EXPECT_EQ(registry.role("x"), ConnectionRole::agent);
    registry.unbind("x");
    EXPECT_EQ(registry.role("x"), ConnectionRole::agent);
    EXPECT_EQ(registry.boundAccount("x"), std::nullopt);

    // Opening the same id again starts over.
    registry.setClientInfo("x", toolInfo, R"({"name":"tool","version":"1"})");
    registry.bind("x", "A");
    open("x");
    EXPECT_EQ(registry.role("x"), ConnectionRole::unknown);
    EXPECT_EQ(registry.clientInfo("x"), std::nullopt);
    EXPECT_EQ(registry.clientInfoJSON("x"), std::nullopt);
    EXPECT_EQ(registry.boundAccount("x"), std::nullopt);

    registry.closed("x");
    EXPECT_EQ(registry.role("x"), std::nullopt);
    // Changes to ids that are not open create nothing.
    registry.setClientInfo("ghost", toolInfo, std::nullopt);
    registry.bind("ghost", "A");
    registry.markControl("ghost");
    EXPECT_EQ(registry.role("ghost"), std::nullopt);
    EXPECT_EQ(registry.boundAccount("ghost"), std::nullopt);
    EXPECT_TRUE(registry.agentConnections().empty());
}

TEST_F(ConnectionRegistryTest, ClientInfoIsReplacedOnlyWhenGiven) {
    open("c");
    registry.setClientInfo("c", toolInfo, "json-1");
    registry.setClientInfo("c", std::nullopt, std::nullopt);
    EXPECT_EQ(registry.clientInfo("c"), toolInfo);
    EXPECT_EQ(registry.clientInfoJSON("c"), "json-1");
    const ClientInfo titled{"tool", std::nullopt, "Title"};
    registry.setClientInfo("c", titled, std::nullopt);
    EXPECT_EQ(registry.clientInfo("c"), titled);
    EXPECT_EQ(registry.clientInfoJSON("c"), "json-1");

    registry.bind("c", "ACCOUNT");
    const ConnectionRegistry::Identity identity = registry.identity("c");
    EXPECT_EQ(identity.accountId, "ACCOUNT");
    EXPECT_EQ(identity.label, "Title");
    open("bare");
    EXPECT_FALSE(registry.identity("bare").label);
    EXPECT_FALSE(registry.identity("never-opened").accountId);
}

TEST_F(ConnectionRegistryTest, ClosingAnAgentIsAnnouncedOnce) {
    auto app = openApp("app");
    openAgent("agent");
    open("silent");
    openApp("app2");

    registry.closed("agent");
    EXPECT_EQ(app->eventTexts(), std::vector<std::string>{R"({"connectionsChanged":{}})"});
    registry.closed("agent");
    registry.closed("silent");
    registry.closed("app2");
    registry.closed("never-opened");
    EXPECT_EQ(app->eventTexts().size(), 1u);
}

TEST_F(ConnectionRegistryTest, AgentConnectionsAreListedOldestFirst) {
    openAgent("zzz-first", "A");
    const Date first = registry.agentConnections().at(0).connectedAt;
    while (std::chrono::system_clock::now() <= first) {
        std::this_thread::yield();
    }
    openAgent("aaa-second");
    open("unknown");
    openApp("app");

    const auto list = registry.agentConnections();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], (LiveConnection{"zzz-first", toolInfo, "A", true, first}));
    EXPECT_EQ(list[1].id, "aaa-second");
    EXPECT_FALSE(list[1].accountId);
    EXPECT_FALSE(list[1].authenticated);
    EXPECT_LT(list[0].connectedAt, list[1].connectedAt);

    // In id order, with their client info.
    const auto infos = registry.agentClientInfos();
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(infos[0].first, "aaa-second");
    EXPECT_EQ(infos[1], (std::pair<std::string, std::optional<ClientInfo>>{"zzz-first", toolInfo}));
}

TEST_F(ConnectionRegistryTest, AccountNotificationsReachBoundAgentsListeningAtTheLevel) {
    struct Case {
        const char* connection;
        std::optional<std::string> account;
        std::optional<McpLogLevel> level;
        bool atInfo;
        bool atError;
    };
    const Case cases[] = {
        {"bound", "A", std::nullopt, true, true},
        {"debug", "A", McpLogLevel::debug, true, true},
        {"info", "A", McpLogLevel::info, true, true},
        {"notice", "A", McpLogLevel::notice, false, true},
        {"error", "A", McpLogLevel::error, false, true},
        {"emergency", "A", McpLogLevel::emergency, false, false},
        {"other account", "B", std::nullopt, false, false},
        {"unbound", std::nullopt, std::nullopt, false, false},
    };
    std::vector<std::shared_ptr<RecordingPeer>> peers;
    for (const auto& c : cases) {
        peers.push_back(openAgent(c.connection, c.account));
        if (c.level) {
            registry.setLogLevel(c.connection, *c.level);
        }
    }
    // Bound, but no longer an agent's; and bound, but gone.
    auto app = openApp("app");
    registry.bind("app", "A");
    registry.markControl("app");
    auto gone = openAgent("gone", "A");
    gone->reachable = false;

    registry.notifyAccount("A", "at-info", McpLogLevel::info);
    registry.notifyAccount("A", "at-error", McpLogLevel::error);
    for (std::size_t i = 0; i < peers.size(); ++i) {
        std::vector<std::string> expected;
        if (cases[i].atInfo) {
            expected.emplace_back("at-info");
        }
        if (cases[i].atError) {
            expected.emplace_back("at-error");
        }
        EXPECT_EQ(peers[i]->notifications(), expected) << cases[i].connection;
        EXPECT_TRUE(peers[i]->eventTexts().empty()) << cases[i].connection;
    }
    EXPECT_TRUE(app->notifications().empty());
    EXPECT_TRUE(gone->notifications().empty());
}

TEST_F(ConnectionRegistryTest, AgentAndControlPushesReachTheirRoleOnly) {
    auto bound = openAgent("bound", "A");
    auto anonymous = openAgent("anonymous");
    auto goneAgent = openAgent("gone-agent");
    goneAgent->reachable = false;
    auto silent = open("silent");
    auto app = openApp("app");
    auto goneApp = openApp("gone-app");
    goneApp->reachable = false;
    registry.opened("no-provider", nullptr);
    registry.setClientInfo("no-provider", std::nullopt, std::nullopt);

    registry.notifyAllAgents("line");
    registry.broadcast(ControlEvent::dataChanged());
    EXPECT_EQ(bound->notifications(), std::vector<std::string>{"line"});
    EXPECT_EQ(anonymous->notifications(), std::vector<std::string>{"line"});
    EXPECT_EQ(app->eventTexts(), std::vector<std::string>{R"({"dataChanged":{}})"});
    for (const auto& peer : {bound, anonymous, goneAgent, silent, goneApp}) {
        EXPECT_TRUE(peer->eventTexts().empty());
    }
    for (const auto& peer : {goneAgent, silent, app, goneApp}) {
        EXPECT_TRUE(peer->notifications().empty());
    }
}

// A peer that calls back into the registry while it is pushed to, as the
// transport does when it closes a connection whose push queue overflowed.
class ReentrantPeer final : public QuorvaneClientProtocol {
public:
    ReentrantPeer(ConnectionRegistry& registry, std::string id) : registry_(registry), id_(std::move(id)) {}
    void deliverAgentNotification(const std::string&) override { registry_.closed(id_); }
    void controlEvent(const std::string&) override { registry_.closed(id_); }

private:
    ConnectionRegistry& registry_;
    std::string id_;
};

TEST_F(ConnectionRegistryTest, PeersMayCloseTheirConnectionWhilePushedTo) {
    auto app = openApp("app");
    for (const char* id : {"agent-overflowing", "app-overflowing"}) {
        auto peer = std::make_shared<ReentrantPeer>(registry, id);
        registry.opened(id, [peer] { return peer; });
    }
    registry.setClientInfo("agent-overflowing", std::nullopt, std::nullopt);
    registry.bind("agent-overflowing", "A");
    registry.markControl("app-overflowing");
    auto later = openAgent("later", "A");

    registry.notifyAccount("A", "line", McpLogLevel::info);
    EXPECT_EQ(registry.role("agent-overflowing"), std::nullopt);
    EXPECT_EQ(later->notifications(), std::vector<std::string>{"line"});
    // The agent's close was announced, and reached the app that closes itself.
    EXPECT_EQ(app->eventTexts(), std::vector<std::string>{R"({"connectionsChanged":{}})"});
    EXPECT_EQ(registry.role("app-overflowing"), std::nullopt);
}

TEST_F(ConnectionRegistryTest, ChurnWhilePushing) {
    constexpr int rounds = 200;
    auto app = openApp("app");
    auto steady = openAgent("steady", "A");
    std::atomic<bool> stop{false};
    std::thread pusher([&] {
        while (!stop.load()) {
            registry.notifyAccount("A", "line", McpLogLevel::info);
            registry.broadcast(ControlEvent::dataChanged());
        }
    });
    for (int i = 0; i < rounds; ++i) {
        const std::string id = "churn-" + std::to_string(i);
        openAgent(id, "A");
        registry.setLogLevel(id, McpLogLevel::debug);
        (void)registry.identity(id);
        (void)registry.agentConnections();
        registry.closed(id);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (steady->notifications().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    stop = true;
    pusher.join();
    ASSERT_EQ(registry.agentConnections().size(), 1u);
    EXPECT_FALSE(steady->notifications().empty());
    std::size_t closes = 0;
    for (const auto& text : app->eventTexts()) {
        closes += text == R"({"connectionsChanged":{}})" ? 1 : 0;
    }
    EXPECT_EQ(closes, static_cast<std::size_t>(rounds));
}

} // namespace
} // namespace quorvane::test
