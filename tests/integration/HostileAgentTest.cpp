// Hostile agents against the real host, through a bridge: each input beyond
// the host's bounds gets its clear answer, and the operator's next snapshot
// still comes, within its budget.

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/Coding.h"
#include "common/Json.h"
#include "common/Limits.h"
#include "tests/integration/Messages.h"
#include "tests/integration/Support.h"

namespace quorvane::e2e {
namespace {

struct Session {
    std::unique_ptr<Child> bridge;
    int nextId = 100;

    // Sends one request line and answers the parsed reply (null when none
    // came), passing over the notifications that arrive meanwhile.
    Json call(const std::string& line) {
        EXPECT_TRUE(bridge->writeLine(line));
        while (const std::optional<std::string> reply = bridge->readLine(30s)) {
            std::optional<Json> parsed = parseJson(*reply);
            if (!parsed) {
                ADD_FAILURE() << "not JSON: " << reply->substr(0, 300);
                return Json();
            }
            if (parsed->contains("id")) {
                return std::move(*parsed);
            }
        }
        ADD_FAILURE() << "no reply to " << line.substr(0, 200);
        return Json();
    }
    Json initialize(const Json& clientInfo) {
        Json params{
            {"protocolVersion", "2025-06-18"}, {"capabilities", Json::object()}, {"clientInfo", clientInfo}};
        return call(*serializeJson(Json{
            {"jsonrpc", "2.0"}, {"id", ++nextId}, {"method", "initialize"}, {"params", std::move(params)}}));
    }
    Json tool(const std::string& name, const Json& arguments = Json::object()) {
        return call(*serializeJson(Json{{"jsonrpc", "2.0"},
                                        {"id", ++nextId},
                                        {"method", "tools/call"},
                                        {"params", {{"name", name}, {"arguments", arguments}}}}));
    }
};

std::string toolText(const Json& reply) {
    const Json* text = reply.contains("result") ? jsonMember(reply["result"]["content"][0], "text") : nullptr;
    return text != nullptr && text->is_string() ? text->get<std::string>() : std::string();
}

TEST(HostileAgentTest, EachHostileInputGetsItsAnswerAndTheSnapshotStaysWithinItsBudget) {
    Sandbox sandbox;
    auto host = sandbox.startHost();
    ASSERT_NE(host, nullptr);
    ControlClient control(sandbox);
    const auto newSession = [&] {
        Session session{sandbox.startBridge()};
        return session;
    };
    const std::string mib3(std::size_t{3} << 20, 'n');

    struct Case {
        const char* name;
        bool allowUnauthenticated;
        std::function<void(Session&)> run;
    };
    const Case cases[] = {
        {"huge clientInfo name: answered, not bound, nothing stored", true,
         [&](Session& s) {
             const std::size_t accounts = control.snapshot().accounts.size();
             EXPECT_TRUE(s.initialize(Json{{"name", mib3}})["result"].contains("serverInfo"));
             EXPECT_EQ(s.tool("getBalance")["result"]["structuredContent"]["error"], "not_authenticated");
             EXPECT_EQ(control.snapshot().accounts.size(), accounts);
         }},
        {"huge clientInfo JSON: bound by its name, only what fits kept", true,
         [&](Session& s) {
             EXPECT_TRUE(s.initialize(Json{{"name", "hostile-json"}, {"icons", mib3}})["result"].contains(
                 "serverInfo"));
             EXPECT_TRUE(s.tool("getBalance")["result"]["structuredContent"].contains("balance"));
             for (const Account& account : control.snapshot().accounts) {
                 if (account.displayName == "hostile-json") {
                     ASSERT_TRUE(account.clientInfoFields);
                     EXPECT_EQ(account.clientInfoFields->size(), 1u); // the name alone
                 }
             }
         }},
        {"huge sign-up key", false,
         [&](Session& s) {
             (void)s.initialize(Json{{"name", "keys"}});
             EXPECT_EQ(toolText(s.tool("signUp", Json{{"key", std::string(std::size_t{1} << 20, 'k')}})),
                       "Key must be at most " + std::to_string(Limits::maxSignUpKeyBytes) + " bytes.");
         }},
        {"huge login id and key", false,
         [&](Session& s) {
             (void)s.initialize(Json{{"name", "logins"}});
             const std::string huge(std::size_t{1} << 20, 'x');
             EXPECT_EQ(toolText(s.tool("login", Json{{"accountId", huge}, {"key", huge}})),
                       "Invalid account id or key.");
         }},
        {"a flood of sign-ups", false,
         [&](Session& s) {
             (void)s.initialize(Json{{"name", "flood"}});
             for (std::size_t i = 0; i < Limits::signUpsPerWindow; ++i) {
                 EXPECT_TRUE(
                     s.tool("signUp", Json{{"key", std::string(agentKey)}})["result"]["structuredContent"]
                         .contains("accountId"))
                     << i;
             }
             for (int i = 0; i < 3; ++i) {
                 EXPECT_EQ(toolText(s.tool("signUp", Json{{"key", std::string(agentKey)}})),
                           "Too many sign-ups in this session. Try again later.");
             }
         }},
        {"huge API log payloads", true,
         [&](Session& s) {
             const std::string padding(std::size_t{600} << 10, '\x01'); // 3.6 MiB escaped, within a line
             for (int i = 0; i < 30; ++i) {
                 const Json reply = s.call(*serializeJson(
                     Json{{"jsonrpc", "2.0"}, {"id", i}, {"method", "ping"}, {"params", {{"p", padding}}}}));
                 EXPECT_EQ(reply["result"], Json::object());
             }
             for (const ApiLogEntry& line : control.snapshot().recentApiLog) {
                 EXPECT_LE(line.payload.size(), Limits::apiLogPayloadBytes);
             }
         }},
        {"memos too large for a reply's frame", true,
         [&](Session& s) {
             (void)s.initialize(Json{{"name", "memo-reader"}});
             std::string account;
             for (const Account& a : control.snapshot().accounts) {
                 if (a.displayName == "memo-reader") {
                     account = a.id;
                 }
             }
             ASSERT_FALSE(account.empty());
             // Agents cannot write memos; the operator's largest ones (a
             // control request of 4 MiB) grow threefold in a reply: six of
             // these are some 72 MB there.
             const std::string memo(std::size_t{1945} << 10, '/'); // escaped as "\/" within 4 MiB
             for (int i = 0; i < 6; ++i) {
                 control.expectOk(ControlRequest::createEntry(
                     NewLedgerEntry{account, TransactionKind::note, LedgerFlag::none, 0, memo}));
             }
             const Json reply = s.tool("getTransactions", Json{{"limit", 100}});
             ASSERT_TRUE(reply.contains("error")) << reply.dump().substr(0, 300);
             EXPECT_EQ(reply["id"], s.nextId);
             EXPECT_EQ(reply["error"]["code"], -32603);
             EXPECT_EQ(reply["error"]["message"].get<std::string>().rfind("Reply too large: ", 0), 0u);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        control.expectOk(ControlRequest::setAllowUnauthenticated(c.allowUnauthenticated));
        Session session = newSession();
        c.run(session);

        const Snapshot snapshot = control.snapshot();
        const std::optional<std::string> text = QuorvaneCoding::encodeToString(snapshot);
        ASSERT_TRUE(text);
        EXPECT_LE(text->size(), Limits::snapshotBudgetBytes);
        EXPECT_FALSE(snapshot.hostVersion.empty());
        EXPECT_EQ(session.bridge->finish(), 0);
    }
    EXPECT_TRUE(host->running());
}

} // namespace
} // namespace quorvane::e2e
