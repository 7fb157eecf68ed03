// The host killed with SIGKILL again and again while writes are in flight: the
// ledger stays intact, every acknowledged write is there exactly once, no
// sequence number is handed out twice, and every account has its opening
// credit.

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <sqlite3.h>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/Messages.h"
#include "tests/integration/Support.h"

namespace quorvane::e2e {
namespace {

// The ledger file read with a connection of the test's own.
class LedgerFile {
public:
    explicit LedgerFile(const std::string& path) {
        EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK) << path;
    }
    ~LedgerFile() { sqlite3_close(db_); }
    LedgerFile(const LedgerFile&) = delete;
    LedgerFile& operator=(const LedgerFile&) = delete;

    // The rows of a query with one text parameter (when given), as text.
    std::vector<std::vector<std::string>> rows(const std::string& sql,
                                               const std::string* parameter = nullptr) {
        std::vector<std::vector<std::string>> result;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
            return result;
        }
        if (parameter != nullptr) {
            sqlite3_bind_text(statement, 1, parameter->c_str(), -1, SQLITE_TRANSIENT);
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* text = sqlite3_column_text(statement, i);
                row.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
            }
            result.push_back(std::move(row));
        }
        sqlite3_finalize(statement);
        return result;
    }
    std::string value(const std::string& sql, const std::string* parameter = nullptr) {
        const auto result = rows(sql, parameter);
        return result.empty() || result[0].empty() ? std::string() : result[0][0];
    }

private:
    sqlite3* db_ = nullptr;
};

TEST(CrashDurabilityTest, KilledHostsLoseNoAcknowledgedWriteAndLeaveNoHalfWrittenAccount) {
    constexpr int kills = 30;
    constexpr int startingPoints = 100;
    Sandbox sandbox;

    std::mutex mutex;
    std::vector<std::string> ackedMemos;   // in the order they were acknowledged (one writer)
    std::vector<std::string> ackedClients; // clients whose initialize was answered
    std::string target;                    // the account the operator writes to

    // One agent connection per client: the peer program sends one initialize.
    const auto initializeClient = [&](const std::string& name) {
        auto peer =
            sandbox.start({peerProgram(), sandbox.socketPath().string(), initializeLine(1, name)}, {}, false);
        const std::optional<std::string> out = peer->readLine(10s);
        (void)peer->waitForExit(10s);
        return out && out->rfind("reply ", 0) == 0 && out->find("\"serverInfo\"") != std::string::npos;
    };

    for (int round = 0; round < kills; ++round) {
        auto host = sandbox.startHost();
        ASSERT_NE(host, nullptr) << "round " << round;
        ControlClient control(sandbox);
        if (round == 0) {
            control.expectOk(ControlRequest::setStartingPoints(startingPoints));
            ASSERT_TRUE(initializeClient("crash-target"));
            const Snapshot snapshot = control.snapshot();
            ASSERT_EQ(snapshot.accounts.size(), 1u);
            target = snapshot.accounts[0].id;
            ackedClients.push_back("crash-target");
        }

        std::atomic<bool> stop{false};
        std::atomic<int> acknowledged{0};
        std::thread operatorWrites([&] {
            for (int i = 0; !stop; ++i) {
                const std::string memo = "r" + std::to_string(round) + "-" + std::to_string(i);
                const auto response =
                    control.request(ControlRequest::createEntry(NewLedgerEntry{
                                        target, TransactionKind::credit, LedgerFlag::none, 1, memo}),
                                    nullptr, 5s);
                if (!response) {
                    return; // the host is gone
                }
                if (std::holds_alternative<ControlResponse::Ok>(response->value)) {
                    std::lock_guard guard(mutex);
                    ackedMemos.push_back(memo);
                    ++acknowledged;
                }
            }
        });
        // Several agents at once, so that account creations are in flight
        // whenever the host dies.
        std::vector<std::thread> agentWrites;
        for (int writer = 0; writer < 3; ++writer) {
            agentWrites.emplace_back([&, writer] {
                for (int i = 0; !stop; ++i) {
                    const std::string name = "crash-" + std::to_string(round) + "-" + std::to_string(writer) +
                                             "-" + std::to_string(i);
                    if (!initializeClient(name)) {
                        return;
                    }
                    std::lock_guard guard(mutex);
                    ackedClients.push_back(name);
                    ++acknowledged;
                }
            });
        }
        // Kill once writes are flowing; more are in flight at that moment.
        EXPECT_TRUE(test::eventually([&] { return acknowledged >= 20; }, 20s)) << "round " << round;
        host->signal(SIGKILL);
        EXPECT_TRUE(host->waitForExit(10s).has_value());
        stop = true;
        operatorWrites.join();
        for (auto& writer : agentWrites) {
            writer.join();
        }
    }

    LedgerFile ledger((sandbox.dataFolder() / "Quorvane" / "ledger.sqlite").string());
    EXPECT_EQ(ledger.value("PRAGMA integrity_check;"), "ok");
    // No sequence number twice, and the counter never behind the numbers used.
    EXPECT_EQ(ledger.value("SELECT COUNT(*) - COUNT(DISTINCT sequence) FROM ledger;"), "0");
    EXPECT_EQ(ledger.value("SELECT CAST(value AS INTEGER) >= (SELECT MAX(sequence) FROM ledger) FROM meta "
                           "WHERE key = 'sequence_counter';"),
              "1");
    // Every acknowledged entry once; acknowledged one after the other, their
    // numbers rise, so none was reused after a restart.
    long long previous = 0;
    for (const std::string& memo : ackedMemos) {
        const auto found = ledger.rows("SELECT sequence FROM ledger WHERE memo = ?1;", &memo);
        ASSERT_EQ(found.size(), 1u) << memo;
        const long long sequence = std::stoll(found[0][0]);
        EXPECT_GT(sequence, previous) << memo;
        previous = sequence;
    }
    // Every account (acknowledged or not) has exactly its one opening credit,
    // and every acknowledged client has its account.
    EXPECT_EQ(ledger.value("SELECT COUNT(*) FROM account a WHERE (SELECT COUNT(*) FROM ledger l WHERE "
                           "l.account_id = a.id AND l.memo = 'Starting balance' AND l.kind = 'credit' AND "
                           "l.amount = " +
                           std::to_string(startingPoints) + ") <> 1;"),
              "0");
    for (const std::string& name : ackedClients) {
        const std::string pattern = "%\"name\":\"" + name + "\"%";
        EXPECT_EQ(ledger.value("SELECT COUNT(*) FROM account WHERE client_info_json LIKE ?1;", &pattern), "1")
            << name;
    }
    const std::string accounts = ledger.value("SELECT COUNT(*) FROM account;");
    std::printf("kill -9 loop: %d kills, %s accounts (%zu acknowledged), %zu acknowledged entries checked\n",
                kills, accounts.c_str(), ackedClients.size(), ackedMemos.size());
    ::testing::Test::RecordProperty("kills", kills);
    ::testing::Test::RecordProperty("accounts", accounts);
    ::testing::Test::RecordProperty("acknowledgedEntries", static_cast<int>(ackedMemos.size()));
}

} // namespace
} // namespace quorvane::e2e
