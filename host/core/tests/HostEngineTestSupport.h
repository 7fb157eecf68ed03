#pragma once

// Shared fixture of the engine tests: a real ledger file in a private temp
// folder, recording fake peers, and helpers that speak the two wire forms. The
// tests see the engine only through its public interface, and the ledger
// through a store of their own on the same file.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/Coding.h"
#include "common/ControlProtocol.h"
#include "common/Json.h"
#include "host/core/HostEngine.h"
#include "tests/support/TempDir.h"

namespace quorvane {

namespace test {

// A peer that records every push it receives; it can be made unreachable, after
// which its provider yields nothing.
class RecordingPeer final : public QuorvaneClientProtocol {
public:
    void deliverAgentNotification(const std::string& line) override {
        std::lock_guard guard(mutex_);
        notifications_.push_back(line);
    }
    void controlEvent(const std::string& json) override {
        std::lock_guard guard(mutex_);
        events_.push_back(json);
    }

    std::vector<std::string> notifications() {
        std::lock_guard guard(mutex_);
        return notifications_;
    }
    std::vector<std::string> eventTexts() {
        std::lock_guard guard(mutex_);
        return events_;
    }
    // Decoded events; an undecodable one fails the test.
    std::vector<ControlEvent> events() {
        std::vector<ControlEvent> decoded;
        for (const auto& text : eventTexts()) {
            auto event = QuorvaneCoding::decode<ControlEvent>(text);
            EXPECT_TRUE(event) << text;
            if (event) {
                decoded.push_back(std::move(*event));
            }
        }
        return decoded;
    }
    // Event case names without the apiCall ones, in arrival order.
    std::vector<std::string> stateEvents() {
        std::vector<std::string> names;
        for (const auto& event : events()) {
            if (std::holds_alternative<ControlEvent::DataChanged>(event.value)) {
                names.emplace_back("dataChanged");
            } else if (std::holds_alternative<ControlEvent::ConnectionsChanged>(event.value)) {
                names.emplace_back("connectionsChanged");
            }
        }
        return names;
    }
    // Every event case name in arrival order.
    std::vector<std::string> allEventNames() {
        std::vector<std::string> names;
        for (const auto& event : events()) {
            names.emplace_back(std::holds_alternative<ControlEvent::ApiCall>(event.value) ? "apiCall"
                               : std::holds_alternative<ControlEvent::DataChanged>(event.value)
                                   ? "dataChanged"
                                   : "connectionsChanged");
        }
        return names;
    }
    void clear() {
        std::lock_guard guard(mutex_);
        notifications_.clear();
        events_.clear();
    }

    std::atomic<bool> reachable{true};

private:
    std::mutex mutex_;
    std::vector<std::string> notifications_;
    std::vector<std::string> events_;
};

inline ClientProxyProvider providerFor(const std::shared_ptr<RecordingPeer>& peer) {
    return [peer]() -> std::shared_ptr<QuorvaneClientProtocol> {
        return peer->reachable.load() ? peer : nullptr;
    };
}

// Runs SQL on the ledger file through a connection of its own (for faults and
// damaged rows the store itself would never write).
inline void execOnFile(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_busy_timeout(db, 3000);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string message = error != nullptr ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << message;
}

// A trigger that makes every statement of `event` on `table` fail (for example
// "INSERT ON account" or "UPDATE ON meta WHEN NEW.key = 'starting_points'").
inline std::string failingTrigger(const std::string& name, const std::string& event) {
    return "CREATE TRIGGER " + name + " BEFORE " + event +
           " BEGIN SELECT RAISE(ABORT, 'injected fault'); END;";
}

inline std::string longKey(std::size_t characters = 40) {
    return std::string(characters, 'k');
}

class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override {
        dbPath = dir.path() + "/ledger.sqlite";
        engine = std::make_unique<HostEngine>(dbPath);
        ledger = std::make_unique<LedgerStore>(dbPath);
    }

    // A second store on the engine's ledger file, for set-up and inspection; the
    // engine's store notices what it writes.
    LedgerStore& store() { return *ledger; }
    std::vector<ApiLogEntry> apiLog() { return engine->buildSnapshot().recentApiLog; }

    // The account the agent connection is bound to, or nullopt (also for a
    // connection that is not an agent's).
    std::optional<std::string> boundAccount(const std::string& connection) {
        for (const auto& live : engine->currentAgentConnections()) {
            if (live.id == connection) {
                return live.authenticated ? live.accountId : std::nullopt;
            }
        }
        return std::nullopt;
    }
    bool isAgent(const std::string& connection) {
        const auto list = engine->currentAgentConnections();
        return std::any_of(list.begin(), list.end(),
                           [&](const LiveConnection& live) { return live.id == connection; });
    }

    std::shared_ptr<RecordingPeer> open(const std::string& id) {
        auto peer = std::make_shared<RecordingPeer>();
        engine->connectionOpened(id, providerFor(peer));
        return peer;
    }

    // An operator app connection that already receives events.
    std::shared_ptr<RecordingPeer> openControl(const std::string& id = "app") {
        auto peer = open(id);
        (void)engine->control(R"({"snapshot":{}})", id);
        peer->clear();
        return peer;
    }

    std::optional<std::string> send(const std::string& connection, const std::string& line) {
        return engine->handleAgentMessage(line, connection);
    }

    // Sends a request with id 1 and answers the parsed reply.
    Json request(const std::string& connection, const std::string& method, Json params = Json::object()) {
        Json message{{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", std::move(params)}};
        auto reply = send(connection, *serializeJson(message));
        EXPECT_TRUE(reply);
        auto parsed = reply ? parseJson(*reply) : std::nullopt;
        EXPECT_TRUE(parsed) << reply.value_or("");
        return parsed.value_or(Json());
    }

    // The "result" of a tools/call.
    Json tool(const std::string& connection, const std::string& name, Json arguments = Json::object()) {
        Json reply =
            request(connection, "tools/call", Json{{"name", name}, {"arguments", std::move(arguments)}});
        return reply.value("result", Json());
    }

    Json initialize(const std::string& connection, std::optional<Json> clientInfo = std::nullopt) {
        Json params{{"protocolVersion", "2025-06-18"}};
        if (clientInfo) {
            params["clientInfo"] = *clientInfo;
        }
        return request(connection, "initialize", std::move(params));
    }

    ControlResponse control(const std::string& connection, const ControlRequest& request) {
        auto text = QuorvaneCoding::encodeToString(request);
        EXPECT_TRUE(text);
        auto response =
            QuorvaneCoding::decode<ControlResponse>(engine->control(text.value_or(""), connection));
        EXPECT_TRUE(response);
        return response.value_or(ControlResponse::failure("undecodable response"));
    }

    void setAllowUnauthenticated(bool allow) {
        ASSERT_EQ(control("setup", ControlRequest::setAllowUnauthenticated(allow)), ControlResponse::ok());
    }

    // Signs up on a fresh agent connection (unauthenticated access switched
    // off first) and answers the account id.
    std::string signUp(const std::string& connection, const std::string& key = longKey()) {
        Json result = tool(connection, "signUp", Json{{"key", key}});
        EXPECT_FALSE(result.contains("isError")) << result.dump();
        return result["structuredContent"].value("accountId", std::string());
    }

    TempDir dir;
    std::string dbPath;
    std::unique_ptr<HostEngine> engine;
    std::unique_ptr<LedgerStore> ledger;
};

inline std::string failureMessage(const ControlResponse& response) {
    if (auto* failure = std::get_if<ControlResponse::Failure>(&response.value)) {
        return failure->message;
    }
    return "<not a failure>";
}

// Log entries as they cross the wire: times in whole seconds.
inline std::vector<ApiLogEntry> onTheWire(std::vector<ApiLogEntry> entries) {
    for (auto& entry : entries) {
        entry.timestamp = std::chrono::floor<std::chrono::seconds>(entry.timestamp);
    }
    return entries;
}

inline std::string toolText(const Json& result) {
    return result["content"][0].value("text", std::string());
}

} // namespace test
} // namespace quorvane
