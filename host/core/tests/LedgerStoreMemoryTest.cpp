// What the store keeps in memory (settings, balances, unseen counts) and the
// background pass over the ledger at start: every answer must stay what the
// file says, whatever the store itself or another connection writes meanwhile.

#include "host/core/LedgerStore.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/Uuid.h"
#include "host/core/SQLite.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiting.h"

namespace quorvane {
namespace {

class LedgerStoreMemory : public ::testing::Test {
protected:
    test::TempDir folder;
    std::string path = folder.file("ledger.sqlite");
    std::unique_ptr<LedgerStore> store = std::make_unique<LedgerStore>(path);

    // Another connection to the file, as a person with the sqlite3 shell has.
    SQLiteDatabase& other() {
        if (!other_) {
            other_ = std::make_unique<SQLiteDatabase>(path);
        }
        return *other_;
    }
    std::int64_t fromFile(const std::string& sql) {
        SQLiteStatement statement = other().prepare(sql);
        return statement.step() ? statement.columnInt64(0) : 0;
    }
    std::int64_t balanceInFile(const std::string& id) {
        return fromFile("SELECT COALESCE(SUM(CASE kind WHEN 'credit' THEN amount WHEN 'debit' THEN -amount "
                        "ELSE 0 END), 0) FROM ledger WHERE account_id = '" +
                        id + "'");
    }
    std::int64_t unseenInFile(const std::string& id) {
        return fromFile("SELECT COUNT(*) FROM ledger WHERE account_id = '" + id +
                        "' AND sequence > (SELECT last_seen_sequence FROM account WHERE id = '" + id + "')");
    }

    std::string newAccount() {
        const std::string id = newUuidString();
        EXPECT_TRUE(store->createClientInfoAccount(id, "agent", "fp-" + id, std::nullopt));
        return id;
    }

    // `accounts` accounts with `perAccount` entries each, written straight into
    // the file, so that a pass over it takes a while.
    std::vector<std::string> bulkLedger(int accounts, int perAccount) {
        std::vector<std::string> ids;
        other().execute("BEGIN;");
        for (int a = 0; a < accounts; ++a) {
            ids.push_back(newUuidString());
            other().execute("INSERT INTO account (id, display_name, identity_mode, created_at, "
                            "last_seen_sequence) VALUES ('" +
                            ids.back() + "', 'bulk', 'clientInfo', '2025-01-01T00:00:00Z', 0);");
        }
        other().execute(
            "CREATE TEMP TABLE n(i INTEGER PRIMARY KEY);"
            "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < " +
            std::to_string(accounts * perAccount) +
            ") INSERT INTO n SELECT i FROM c;"
            "INSERT INTO ledger (id, account_id, kind, flag, amount, memo, created_at, updated_at, "
            "sequence) SELECT 'E' || i, (SELECT id FROM account WHERE rowid = 1 + i % " +
            std::to_string(accounts) +
            "), CASE i % 3 WHEN 0 THEN 'credit' WHEN 1 THEN 'debit' ELSE 'note' END, 'none', "
            "i % 1000, '', 't', 't', i FROM n;"
            "UPDATE meta SET value = (SELECT MAX(sequence) FROM ledger) WHERE key = "
            "'sequence_counter';"
            "DROP TABLE n; COMMIT;");
        return ids;
    }

private:
    std::unique_ptr<SQLiteDatabase> other_;
};

TEST_F(LedgerStoreMemory, SettingsFollowTheStoreAndOtherConnections) {
    ASSERT_TRUE(store->allowUnauthenticated());
    ASSERT_EQ(store->startingPoints(), 50000);

    ASSERT_TRUE(store->setAllowUnauthenticated(false));
    ASSERT_TRUE(store->setStartingPoints(-5));
    EXPECT_FALSE(store->allowUnauthenticated());
    EXPECT_EQ(store->startingPoints(), 0);

    other().execute("UPDATE meta SET value = '1' WHERE key = 'allow_unauthenticated';"
                    "UPDATE meta SET value = '75' WHERE key = 'starting_points';");
    EXPECT_TRUE(store->allowUnauthenticated());
    EXPECT_EQ(store->startingPoints(), 75);

    // A second store on the file is another connection too.
    LedgerStore second(path);
    ASSERT_TRUE(second.setStartingPoints(12));
    EXPECT_EQ(store->startingPoints(), 12);
}

TEST_F(LedgerStoreMemory, CombinedReadsAnswerWhatTheSingleReadsAnswer) {
    const std::string id = newAccount();
    for (std::int64_t amount : {10, 20, 30}) {
        ASSERT_TRUE(store->appendEntry({id, TransactionKind::credit, LedgerFlag::none, amount, "m"}).ok());
    }
    EXPECT_EQ(store->agentFigures(id), (LedgerStore::AgentFigures{60, 3}));

    const LedgerStore::TransactionsPage page = store->transactionsPage(id, 2, std::nullopt);
    EXPECT_EQ(page.balance, 60);
    EXPECT_EQ(page.unseenCount, 3); // counted before the page marked everything seen
    ASSERT_EQ(page.entries.size(), 2u);
    EXPECT_EQ(page.entries[0].amount, 30);
    EXPECT_EQ(store->agentFigures(id), (LedgerStore::AgentFigures{60, 0}));
    EXPECT_EQ(unseenInFile(id), 0);

    // A change by another connection is seen by the next combined read.
    other().execute("UPDATE ledger SET amount = 100 WHERE account_id = '" + id +
                    "' AND amount = 10; UPDATE account SET last_seen_sequence = 0;");
    EXPECT_EQ(store->agentFigures(id), (LedgerStore::AgentFigures{150, 3}));
    EXPECT_EQ(store->transactionsPage(id, 5, page.entries[1].sequence).entries.size(), 1u);

    // Unknown accounts read as empty, and are not remembered.
    EXPECT_EQ(store->agentFigures("NO-SUCH-ACCOUNT"), (LedgerStore::AgentFigures{0, 0}));
}

// The pass runs while the store answers and writes; whichever way they
// interleave, every balance and unseen count must match the file afterwards,
// and also while the pass still runs.
TEST_F(LedgerStoreMemory, BackgroundTotalsAccountForWritesMadeMeanwhile) {
    const std::vector<std::string> ids = bulkLedger(40, 2500);
    std::vector<std::string> live = ids;
    store = std::make_unique<LedgerStore>(path); // opened on the full file
    ASSERT_FALSE(store->totalsReady());
    store->buildTotalsInBackground();

    std::mt19937 random(11);
    std::vector<std::string> deleted;
    for (int step = 0; step < 60; ++step) {
        const std::string id = live[random() % live.size()];
        switch (step % 4) {
        case 0:
            ASSERT_TRUE(store->appendEntry({id, TransactionKind::debit, LedgerFlag::none, 7, ""}).ok());
            break;
        case 1: {
            const std::vector<LedgerEntry> latest = store->entries(id, 1, std::nullopt);
            ASSERT_EQ(latest.size(), 1u);
            LedgerEntry changed = latest.front();
            changed.kind = TransactionKind::credit;
            changed.amount += 3;
            ASSERT_TRUE(store->updateEntry(changed));
            break;
        }
        case 2:
            if (step % 20 == 2) {
                ASSERT_TRUE(store->deleteAccount(id));
                deleted.push_back(id);
                std::erase(live, id);
            } else {
                store->markSeen(id);
            }
            break;
        default:
            break;
        }
        const std::string& asked = ids[random() % ids.size()];
        ASSERT_EQ(store->balance(asked), balanceInFile(asked)) << "step " << step;
    }
    ASSERT_TRUE(test::eventually([&] { return store->totalsReady(); }));
    for (const std::string& id : ids) {
        EXPECT_EQ(store->balance(id), balanceInFile(id));
        EXPECT_EQ(store->unseenCount(id), unseenInFile(id));
    }
    EXPECT_FALSE(deleted.empty());
}

TEST_F(LedgerStoreMemory, AChangeByAnotherConnectionDuringThePassIsNotLost) {
    const std::vector<std::string> ids = bulkLedger(20, 2500);
    store = std::make_unique<LedgerStore>(path);
    store->buildTotalsInBackground();
    other().execute("UPDATE ledger SET amount = amount + 1 WHERE account_id = '" + ids[3] + "';");
    // Whether the pass is kept or discarded, the answers are the file's.
    for (int round = 0; round < 2; ++round) {
        for (const std::string& id : ids) {
            EXPECT_EQ(store->balance(id), balanceInFile(id)) << "round " << round;
        }
    }
}

TEST_F(LedgerStoreMemory, ClosingDuringThePassStopsIt) {
    (void)bulkLedger(20, 10000);
    for (int i = 0; i < 3; ++i) {
        store = std::make_unique<LedgerStore>(path);
        store->buildTotalsInBackground();
        store.reset(); // must not hang or crash
    }
    store = std::make_unique<LedgerStore>(path);
    EXPECT_EQ(store->balance("NO-SUCH-ACCOUNT"), 0);
}

} // namespace
} // namespace quorvane
