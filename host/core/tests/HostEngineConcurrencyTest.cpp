#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "host/core/AccountCrypto.h"
#include "host/core/tests/HostEngineTestSupport.h"

namespace quorvane::test {
namespace {

class HostEngineConcurrency : public EngineFixture {};

struct AgentWorker {
    std::string connection;
    ClientInfo client;
    std::shared_ptr<RecordingPeer> peer;
    std::set<std::string> signedUp; // accounts this connection created with signUp
};

Json clientJson(const ClientInfo& info) {
    Json json{{"name", info.name}};
    if (info.version) {
        json["version"] = *info.version;
    }
    return json;
}

// Many agents, one operator app and connection churn at once; afterwards the
// ledger, the registry and every push must still be consistent.
TEST_F(HostEngineConcurrency, AgentsAndOperatorAtOnce) {
    constexpr int agentThreads = 6;
    constexpr int rounds = 40;
    // Three clients shared by pairs of threads, so client-info binds race.
    std::vector<AgentWorker> workers;
    for (int i = 0; i < agentThreads; ++i) {
        AgentWorker worker;
        worker.connection = "agent-" + std::to_string(i);
        worker.client = ClientInfo{"client-" + std::to_string(i % 3), "1.0", std::nullopt};
        worker.peer = open(worker.connection);
        workers.push_back(std::move(worker));
    }
    auto app = openControl("app");
    auto silent = open("silent"); // never speaks: must receive nothing

    std::atomic<bool> stop{false};
    auto agentLoop = [&](AgentWorker& worker) {
        for (int round = 0; round < rounds; ++round) {
            initialize(worker.connection, clientJson(worker.client));
            if (round % 5 == 0) {
                Json result = tool(worker.connection, "signUp", Json{{"key", longKey()}});
                if (!result.contains("isError")) {
                    worker.signedUp.insert(result["structuredContent"]["accountId"].get<std::string>());
                }
            }
            (void)tool(worker.connection, "getBalance");
            (void)tool(worker.connection, "getTransactions", Json{{"limit", 3}});
            (void)request(worker.connection, "logging/setLevel",
                          Json{{"level", round % 7 == 0 ? "error" : "info"}});
            (void)send(worker.connection, R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
        }
    };
    auto operatorLoop = [&] {
        int round = 0;
        while (!stop.load()) {
            auto response = control("app", ControlRequest::snapshot());
            const auto* snapshot = std::get_if<ControlResponse::Snapshot>(&response.value);
            EXPECT_TRUE(snapshot);
            if (snapshot != nullptr) {
                EXPECT_LE(snapshot->snapshot.recentApiLog.size(), 300u);
                for (const auto& account : snapshot->snapshot.accounts) {
                    // The memo names the account, so receivers can be checked.
                    (void)control("app", ControlRequest::createEntry({account.id, TransactionKind::credit,
                                                                      LedgerFlag::bonus, 1, account.id}));
                }
            }
            if (round % 3 == 0) {
                (void)control("app", ControlRequest::setAllowUnauthenticated(round % 2 == 0));
            }
            ++round;
        }
    };
    auto churnLoop = [&] {
        for (int round = 0; round < rounds && !stop.load(); ++round) {
            const std::string id = "churn-" + std::to_string(round);
            auto peer = open(id);
            initialize(id, Json{{"name", "client-0"}, {"version", "1.0"}});
            (void)tool(id, "getBalance");
            engine->connectionClosed(id);
        }
    };

    std::vector<std::future<void>> agents;
    for (auto& worker : workers) {
        agents.push_back(std::async(std::launch::async, agentLoop, std::ref(worker)));
    }
    auto churn = std::async(std::launch::async, churnLoop);
    auto operatorRun = std::async(std::launch::async, operatorLoop);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
    for (auto& future : agents) {
        if (future.wait_until(deadline) != std::future_status::ready) {
            ADD_FAILURE() << "agents did not finish: deadlock";
            std::abort();
        }
    }
    if (churn.wait_until(deadline) != std::future_status::ready) {
        ADD_FAILURE() << "connection churn did not finish: deadlock";
        std::abort();
    }
    stop = true;
    if (operatorRun.wait_until(deadline) != std::future_status::ready) {
        ADD_FAILURE() << "operator did not finish: deadlock";
        std::abort();
    }

    // One account per client fingerprint.
    std::map<std::string, int> perFingerprint;
    std::map<std::string, std::string> fingerprintOfAccount;
    for (const auto& account : store().allAccounts()) {
        if (account.identityMode == IdentityMode::clientInfo) {
            ASSERT_TRUE(account.clientInfoFingerprint);
            ++perFingerprint[*account.clientInfoFingerprint];
            fingerprintOfAccount[account.id] = *account.clientInfoFingerprint;
        }
    }
    for (const auto& [fingerprint, count] : perFingerprint) {
        EXPECT_EQ(count, 1) << fingerprint;
    }

    // Every new-item notification went to a connection that could have been
    // bound to its account: the account of its client or one it signed up.
    std::size_t delivered = 0;
    for (const auto& worker : workers) {
        const std::string fingerprint = AccountCrypto::fingerprint(worker.client);
        for (const auto& line : worker.peer->notifications()) {
            auto tree = parseJson(line);
            ASSERT_TRUE(tree) << line;
            if ((*tree)["method"] != "notifications/message") {
                continue;
            }
            ++delivered;
            const std::string account = (*tree)["params"]["data"]["memo"];
            const bool ownClient =
                fingerprintOfAccount.count(account) != 0 && fingerprintOfAccount.at(account) == fingerprint;
            EXPECT_TRUE(ownClient || worker.signedUp.count(account) != 0)
                << worker.connection << " received an item of " << account;
        }
        EXPECT_TRUE(worker.peer->eventTexts().empty()) << worker.connection;
    }
    EXPECT_GT(delivered, 0u);
    EXPECT_TRUE(silent->notifications().empty());
    EXPECT_TRUE(silent->eventTexts().empty());
    EXPECT_TRUE(app->notifications().empty());
    for (const auto& text : app->eventTexts()) {
        EXPECT_TRUE(QuorvaneCoding::decode<ControlEvent>(text)) << text;
    }
    EXPECT_LE(apiLog().size(), 300u);
    EXPECT_EQ(apiLog().size(), 300u);
}

} // namespace
} // namespace quorvane::test
