#include "host/core/LedgerStore.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <sqlite3.h>
#include <string>
#include <thread>
#include <vector>

#include "common/Uuid.h"
#include "host/core/SQLite.h"
#include "tests/support/TempDir.h"

namespace quorvane {

// Reaches the store's fault seam: `fails(isStep, sql)` answers the SQLite result
// code to fail that prepare or step with, or 0 to let it run.
struct LedgerStoreTestAccess {
    static void injectFaults(LedgerStore& store,
                             std::function<int(bool isStep, std::string_view sql)> fails) {
        MutexLock lock(store.queue_);
        if (!fails) {
            store.faultHook_ = nullptr;
            return;
        }
        store.faultHook_ = [fails = std::move(fails)](LedgerStore::FaultPoint point, std::string_view sql) {
            return fails(point == LedgerStore::FaultPoint::step, sql);
        };
    }
};

namespace {

constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();

class LedgerStoreTest : public ::testing::Test {
protected:
    test::TempDir folder;
    std::string path = folder.file("ledger.sqlite");
    std::unique_ptr<LedgerStore> store = std::make_unique<LedgerStore>(path);

    void reopen() {
        store.reset();
        store = std::make_unique<LedgerStore>(path);
    }

    // A second connection to the same file, for editing it by hand and for
    // checking what the store wrote.
    SQLiteDatabase& raw() {
        if (!raw_) {
            raw_ = std::make_unique<SQLiteDatabase>(path);
        }
        return *raw_;
    }
    std::optional<std::string> rawText(const std::string& sql) {
        SQLiteStatement statement = raw().prepare(sql);
        return statement.step() ? statement.columnOptionalText(0) : std::nullopt;
    }
    std::optional<std::string> meta(const std::string& key) {
        return rawText("SELECT value FROM meta WHERE key = '" + key + "'");
    }
    void setMeta(const std::string& key, const std::string& value) {
        SQLiteStatement statement = raw().prepare("INSERT OR REPLACE INTO meta VALUES (?1, ?2)");
        statement.bindText(1, key);
        statement.bindText(2, value);
        (void)statement.step();
    }
    std::int64_t rowCount(const std::string& table) {
        return std::stoll(*rawText("SELECT COUNT(*) FROM " + table));
    }

    std::string newAccount(const std::string& name = "agent") {
        const std::string id = newUuidString();
        EXPECT_TRUE(store->createClientInfoAccount(id, name, "fp-" + id, std::nullopt));
        return id;
    }
    LedgerEntry insert(const std::string& accountId, TransactionKind kind, std::int64_t amount,
                       LedgerFlag flag = LedgerFlag::none, const std::string& memo = "") {
        const Result<LedgerEntry> entry = store->appendEntry({accountId, kind, flag, amount, memo});
        EXPECT_TRUE(entry.ok()) << entry.error().message;
        return entry ? *entry : LedgerEntry{};
    }
    static std::vector<std::int64_t> sequences(const std::vector<LedgerEntry>& entries) {
        std::vector<std::int64_t> result;
        for (const auto& entry : entries) {
            result.push_back(entry.sequence);
        }
        return result;
    }

private:
    std::unique_ptr<SQLiteDatabase> raw_;
};

// ---- Opening and settings ----

TEST_F(LedgerStoreTest, FreshDatabaseIsSeeded) {
    EXPECT_TRUE(store->allowUnauthenticated());
    EXPECT_EQ(store->startingPoints(), 50000);
    EXPECT_EQ(meta("allow_unauthenticated"), "1");
    EXPECT_EQ(meta("starting_points"), "50000");
    EXPECT_EQ(meta("sequence_counter"), "0");
    EXPECT_EQ(rowCount("meta"), 3);
    EXPECT_TRUE(store->allAccounts().empty());
    EXPECT_EQ(insert(newAccount(), TransactionKind::credit, 1).sequence, 1);
    EXPECT_EQ(meta("sequence_counter"), "1");
}

TEST_F(LedgerStoreTest, OpeningAnUnusableFileThrows) {
    std::optional<SQLiteError> error;
    try {
        LedgerStore failing(folder.file("missing/ledger.sqlite"));
    } catch (const SQLiteError& e) {
        error = e;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, SQLITE_CANTOPEN);
}

TEST_F(LedgerStoreTest, ReopeningKeepsRowsAndSettingsAndSeedsOnlyMissingKeys) {
    const std::string id = newAccount("kept");
    insert(id, TransactionKind::credit, 70);
    insert(id, TransactionKind::debit, 20);
    ASSERT_TRUE(store->setStartingPoints(7));
    ASSERT_TRUE(store->setAllowUnauthenticated(false));
    store.reset();
    raw().execute("DELETE FROM meta WHERE key = 'allow_unauthenticated';");

    reopen();
    EXPECT_EQ(store->account(id)->displayName, "kept");
    EXPECT_EQ(store->balance(id), 50);
    EXPECT_EQ(store->startingPoints(), 7);
    EXPECT_TRUE(store->allowUnauthenticated()); // re-seeded
    EXPECT_EQ(insert(id, TransactionKind::note, 0).sequence, 3);
}

TEST_F(LedgerStoreTest, FileRunsInWriteAheadLogModeWithCascadingDeletes) {
    sqlite3* plain = nullptr; // a connection that sets no pragmas of its own
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &plain, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(plain, "PRAGMA journal_mode", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "wal");
    sqlite3_finalize(statement);
    sqlite3_close(plain);

    // Foreign keys are on in the store's own connection: deleting cascades.
    const std::string gone = newAccount();
    const std::string kept = newAccount();
    insert(gone, TransactionKind::credit, 1);
    insert(kept, TransactionKind::credit, 1);
    ASSERT_TRUE(store->deleteAccount(gone));
    EXPECT_EQ(store->account(gone), std::nullopt);
    EXPECT_EQ(rowCount("ledger"), 1);
    EXPECT_EQ(store->allEntries(10).front().accountId, kept);
}

TEST_F(LedgerStoreTest, StartingPointsReadsOneSignAndDigitsInRange) {
    struct Case {
        const char* stored;
        std::int64_t expected;
    };
    const Case cases[] = {
        {"20", 20},
        {"+20", 20},
        {"-7", -7},
        {"0", 0},
        {"007", 7},
        {"9223372036854775807", int64Max},
        {"-9223372036854775808", int64Min},
        {"9223372036854775808", 50000},
        {"-9223372036854775809", 50000},
        {"", 50000},
        {"abc", 50000},
        {" 20", 50000},
        {"20 ", 50000},
        {"+", 50000},
        {"-", 50000},
        {"+-5", 50000},
        {"--5", 50000},
        {"1e3", 50000},
        {"0x10", 50000},
        {"2.5", 50000},
    };
    for (const auto& c : cases) {
        setMeta("starting_points", c.stored);
        EXPECT_EQ(store->startingPoints(), c.expected) << '"' << c.stored << '"';
    }
    raw().execute("DELETE FROM meta WHERE key = 'starting_points';");
    EXPECT_EQ(store->startingPoints(), 50000);
}

TEST_F(LedgerStoreTest, SetStartingPointsStoresDecimalTextRaisingNegativesToZero) {
    for (const auto& [value, stored] : std::vector<std::pair<std::int64_t, std::string>>{
             {-5, "0"}, {int64Min, "0"}, {0, "0"}, {123, "123"}, {int64Max, "9223372036854775807"}}) {
        EXPECT_TRUE(store->setStartingPoints(value));
        EXPECT_EQ(meta("starting_points"), stored);
    }
}

TEST_F(LedgerStoreTest, AllowUnauthenticatedIsTrueOnlyForExactlyOne) {
    EXPECT_TRUE(store->setAllowUnauthenticated(false));
    EXPECT_EQ(meta("allow_unauthenticated"), "0");
    EXPECT_FALSE(store->allowUnauthenticated());
    EXPECT_TRUE(store->setAllowUnauthenticated(true));
    EXPECT_EQ(meta("allow_unauthenticated"), "1");
    EXPECT_TRUE(store->allowUnauthenticated());
    for (const char* stored : {"true", "01", "1 ", "yes", "", "2"}) {
        setMeta("allow_unauthenticated", stored);
        EXPECT_FALSE(store->allowUnauthenticated()) << '"' << stored << '"';
    }
    raw().execute("DELETE FROM meta WHERE key = 'allow_unauthenticated';");
    EXPECT_FALSE(store->allowUnauthenticated());
}

// ---- Accounts ----

TEST_F(LedgerStoreTest, AccountsRoundTrip) {
    const auto before = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    ASSERT_TRUE(
        store->createCredentialAccount("CRED", "Keyed", "hash", "salt", std::string("{\"name\":\"c\"}")));
    ASSERT_TRUE(store->createClientInfoAccount("INFO", "Known", "fingerprint", std::nullopt));

    const auto credential = store->account("CRED");
    ASSERT_TRUE(credential);
    EXPECT_EQ(credential->displayName, "Keyed");
    EXPECT_EQ(credential->identityMode, IdentityMode::credential);
    EXPECT_EQ(credential->keyHash, "hash");
    EXPECT_EQ(credential->keySalt, "salt");
    EXPECT_EQ(credential->clientInfoJSON, "{\"name\":\"c\"}");
    EXPECT_EQ(credential->clientInfoFingerprint, std::nullopt);
    EXPECT_GE(credential->createdAt, before);
    EXPECT_LE(credential->createdAt, std::chrono::system_clock::now());
    EXPECT_EQ(credential->lastSeenSequence, 0);

    const auto info = store->accountByFingerprint("fingerprint");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->id, "INFO");
    EXPECT_EQ(info->identityMode, IdentityMode::clientInfo);
    EXPECT_EQ(info->keyHash, std::nullopt);
    EXPECT_EQ(info->keySalt, std::nullopt);
    EXPECT_EQ(info->clientInfoJSON, std::nullopt);
    EXPECT_EQ(store->account("INFO"), info);

    EXPECT_EQ(*rawText("SELECT created_at FROM account WHERE id = 'INFO'"), formatIsoDate(info->createdAt));
    EXPECT_EQ(store->account("NOBODY"), std::nullopt);
    EXPECT_EQ(store->accountByFingerprint("unknown"), std::nullopt);
}

TEST_F(LedgerStoreTest, DuplicateAccountIdIsRefused) {
    ASSERT_TRUE(store->createClientInfoAccount("SAME", "first", "fp1", std::nullopt));
    EXPECT_FALSE(store->createClientInfoAccount("SAME", "second", "fp2", std::nullopt));
    EXPECT_FALSE(store->createCredentialAccount("SAME", "third", "h", "s", std::nullopt));
    EXPECT_EQ(store->account("SAME")->displayName, "first");
    EXPECT_EQ(store->allAccounts().size(), 1u);
}

TEST_F(LedgerStoreTest, FingerprintLookupIgnoresCredentialAccounts) {
    ASSERT_TRUE(store->createCredentialAccount("CRED", "c", "h", "s", std::nullopt));
    raw().execute("UPDATE account SET clientinfo_fingerprint = 'shared' WHERE id = 'CRED';");
    EXPECT_EQ(store->accountByFingerprint("shared"), std::nullopt);
    ASSERT_TRUE(store->createClientInfoAccount("INFO", "i", "shared", std::nullopt));
    EXPECT_EQ(store->accountByFingerprint("shared")->id, "INFO");
}

TEST_F(LedgerStoreTest, AllAccountsAreOldestFirst) {
    ASSERT_TRUE(store->createClientInfoAccount("B", "b", "fb", std::nullopt));
    ASSERT_TRUE(store->createClientInfoAccount("A", "a", "fa", std::nullopt));
    ASSERT_TRUE(store->createClientInfoAccount("C", "c", "fc", std::nullopt));
    raw().execute("UPDATE account SET created_at = '2025-03-01T09:30:00Z' WHERE id = 'C';"
                  "UPDATE account SET created_at = '2025-03-02T00:00:00Z' WHERE id = 'A';"
                  "UPDATE account SET created_at = '2025-04-01T00:00:00Z' WHERE id = 'B';");
    const auto accounts = store->allAccounts();
    ASSERT_EQ(accounts.size(), 3u);
    EXPECT_EQ(accounts[0].id, "C");
    EXPECT_EQ(accounts[0].createdAt, makeDate(2025, 3, 1, 9, 30, 0));
    EXPECT_EQ(accounts[1].id, "A");
    EXPECT_EQ(accounts[2].id, "B");
}

TEST_F(LedgerStoreTest, AccountChangesRunEvenWithoutARow) {
    const std::string id = newAccount("before");
    store->updateAccountClientInfo(id, "{\"a\":1}", std::nullopt);
    EXPECT_EQ(store->account(id)->clientInfoJSON, "{\"a\":1}");
    EXPECT_EQ(store->account(id)->displayName, "before");
    store->updateAccountClientInfo(id, "{\"a\":2}", std::string("renamed by client"));
    EXPECT_EQ(store->account(id)->clientInfoJSON, "{\"a\":2}");
    EXPECT_EQ(store->account(id)->displayName, "renamed by client");
    EXPECT_TRUE(store->renameAccount(id, "operator name"));
    EXPECT_EQ(store->account(id)->displayName, "operator name");

    EXPECT_TRUE(store->renameAccount("NOBODY", "x"));
    EXPECT_TRUE(store->deleteAccount("NOBODY"));
    EXPECT_EQ(store->allAccounts().size(), 1u);
}

TEST_F(LedgerStoreTest, UnexpectedStoredTextsDecodeToDefaults) {
    const std::string id = newAccount();
    const auto entry = insert(id, TransactionKind::credit, 40);
    insert(id, TransactionKind::credit, 2);
    raw().execute("UPDATE account SET identity_mode = 'Credential', created_at = 'yesterday';"
                  "UPDATE ledger SET kind = 'refund', flag = 'gold', created_at = '2025-03-01 09:30:00', "
                  "updated_at = '2025-03-01T09:30:00+01:00' WHERE id = '" +
                  entry.id + "';");
    const auto before = std::chrono::system_clock::now();
    const auto account = store->account(id);
    const auto read = store->entries(id, 10, std::nullopt);
    ASSERT_TRUE(account);
    EXPECT_EQ(account->identityMode, IdentityMode::clientInfo);
    EXPECT_GE(account->createdAt, before); // read back as the time of reading
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].kind, TransactionKind::note);
    EXPECT_EQ(read[1].flag, LedgerFlag::none);
    EXPECT_GE(read[1].createdAt, before);
    EXPECT_EQ(read[1].updatedAt, makeDate(2025, 3, 1, 8, 30, 0));
    EXPECT_EQ(store->balance(id), 2); // the unknown kind adds nothing
}

// ---- Entries, sequences and unseen counts ----

TEST_F(LedgerStoreTest, InsertAnswersTheStoredEntry) {
    const std::string id = newAccount();
    const auto inserted = insert(id, TransactionKind::debit, 25, LedgerFlag::penalty, "late\nline two");
    EXPECT_EQ(inserted.id.size(), 36u);
    EXPECT_EQ(inserted.accountId, id);
    EXPECT_EQ(inserted.kind, TransactionKind::debit);
    EXPECT_EQ(inserted.flag, LedgerFlag::penalty);
    EXPECT_EQ(inserted.amount, 25);
    EXPECT_EQ(inserted.memo, "late\nline two");
    EXPECT_EQ(inserted.createdAt, inserted.updatedAt);

    const auto read = store->entries(id, 10, std::nullopt);
    ASSERT_EQ(read.size(), 1u);
    LedgerEntry expected = inserted; // stored at whole seconds
    expected.createdAt = expected.updatedAt = std::chrono::floor<std::chrono::seconds>(inserted.createdAt);
    EXPECT_EQ(read[0], expected);
    EXPECT_EQ(*rawText("SELECT kind || ',' || flag FROM ledger"), "debit,penalty");
}

TEST_F(LedgerStoreTest, InsertForUnknownAccountChangesNothing) {
    const Result<LedgerEntry> orphan =
        store->appendEntry({"NOBODY", TransactionKind::credit, LedgerFlag::none, 5, ""});
    ASSERT_FALSE(orphan.ok());
    EXPECT_NE(orphan.error().message.find("NOBODY"), std::string::npos) << orphan.error().message;
    EXPECT_EQ(store->insertEntry({"NOBODY", TransactionKind::credit, LedgerFlag::none, 5, ""}), std::nullopt);
    EXPECT_EQ(meta("sequence_counter"), "0");
    EXPECT_EQ(rowCount("ledger"), 0);
}

TEST_F(LedgerStoreTest, SequencesAreLedgerWideAndUnseenCountsPerAccount) {
    const std::string a = newAccount("a");
    const std::string b = newAccount("b");
    std::vector<std::int64_t> got;
    for (int i = 0; i < 3; ++i) {
        got.push_back(insert(a, TransactionKind::credit, 1).sequence);
        got.push_back(insert(b, TransactionKind::note, 0).sequence);
    }
    EXPECT_EQ(got, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(store->unseenCount(a), 3);
    EXPECT_EQ(store->unseenCount(b), 3);
    EXPECT_EQ(store->unseenCount("NOBODY"), 0);
    EXPECT_EQ(sequences(store->allEntries(4)), (std::vector<std::int64_t>{6, 5, 4, 3}));

    // Deleted numbers are not handed out again.
    ASSERT_TRUE(store->deleteEntry(store->allEntries(1).front().id));
    EXPECT_EQ(insert(a, TransactionKind::credit, 1).sequence, 7);
}

TEST_F(LedgerStoreTest, MarkSeenMovesTheMarkToTheAccountsHighestSequence) {
    const std::string a = newAccount("a");
    const std::string b = newAccount("b");
    const auto old = insert(a, TransactionKind::credit, 10);
    insert(a, TransactionKind::credit, 10);
    insert(b, TransactionKind::credit, 10);

    store->markSeen(a);
    EXPECT_EQ(store->account(a)->lastSeenSequence, 2);
    EXPECT_EQ(store->unseenCount(a), 0);
    EXPECT_EQ(store->unseenCount(b), 1);

    insert(a, TransactionKind::debit, 1);
    EXPECT_EQ(store->unseenCount(a), 1);
    store->markSeen(a);
    LedgerEntry edited = old;
    edited.amount = 11;
    ASSERT_TRUE(store->updateEntry(edited));
    EXPECT_EQ(store->unseenCount(a), 0);

    const std::string empty = newAccount("empty");
    store->markSeen(empty);
    EXPECT_EQ(store->account(empty)->lastSeenSequence, 0);
}

// A read with nothing unseen leaves the mark alone; what is new after it is
// still marked seen by the next read.
TEST_F(LedgerStoreTest, ReadingAPageMarksNewEntriesSeenAlsoAfterReadsWithNothingNew) {
    const std::string id = newAccount();
    insert(id, TransactionKind::credit, 10);
    insert(id, TransactionKind::credit, 5);
    EXPECT_EQ(store->transactionsPage(id, 25, std::nullopt).unseenCount, 2);
    EXPECT_EQ(store->unseenCount(id), 0);
    for (int read = 0; read < 3; ++read) {
        const LedgerStore::TransactionsPage page = store->transactionsPage(id, 25, std::nullopt);
        EXPECT_EQ(page.unseenCount, 0);
        EXPECT_EQ(page.entries.size(), 2u);
    }
    EXPECT_EQ(store->account(id)->lastSeenSequence, 2);

    insert(id, TransactionKind::debit, 1);
    EXPECT_EQ(store->transactionsPage(id, 25, std::nullopt).unseenCount, 1);
    EXPECT_EQ(store->unseenCount(id), 0);
    EXPECT_EQ(store->account(id)->lastSeenSequence, 3);
}

TEST_F(LedgerStoreTest, EntriesArePagedNewestFirstWithAnExclusiveCursor) {
    const std::string id = newAccount();
    const std::string other = newAccount();
    for (int i = 0; i < 5; ++i) {
        insert(id, TransactionKind::credit, i);
    }
    insert(other, TransactionKind::credit, 1); // sequence 6, never in `id`'s pages
    struct Case {
        std::int64_t limit;
        std::optional<std::int64_t> before;
        std::vector<std::int64_t> expected;
    };
    const Case cases[] = {
        {2, std::nullopt, {5, 4}}, {2, 4, {3, 2}}, {2, 2, {1}}, {2, 1, {}}, {0, std::nullopt, {}}, {0, 4, {}},
        {10, 6, {5, 4, 3, 2, 1}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sequences(store->entries(id, c.limit, c.before)), c.expected)
            << "limit " << c.limit << " before " << c.before.value_or(-1);
    }
    EXPECT_EQ(sequences(store->allEntries(3)), (std::vector<std::int64_t>{6, 5, 4}));
    EXPECT_TRUE(store->allEntries(0).empty());
    EXPECT_TRUE(store->entries("NOBODY", 10, std::nullopt).empty());
}

TEST_F(LedgerStoreTest, UpdateChangesOnlyTheEditableFields) {
    const std::string owner = newAccount("owner");
    const std::string other = newAccount("other");
    const auto inserted = insert(owner, TransactionKind::credit, 100, LedgerFlag::bonus, "first");
    raw().execute(
        "UPDATE ledger SET created_at = '2025-03-01T09:30:00Z', updated_at = '2025-03-01T09:30:00Z';");

    LedgerEntry edited = inserted;
    edited.accountId = other;
    edited.kind = TransactionKind::debit;
    edited.flag = LedgerFlag::penalty;
    edited.amount = 30;
    edited.memo = "second";
    edited.sequence = 99;
    edited.createdAt = makeDate(2000, 1, 1, 0, 0, 0);
    const auto before = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    ASSERT_TRUE(store->updateEntry(edited));

    const auto read = store->entries(owner, 10, std::nullopt);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].accountId, owner);
    EXPECT_EQ(read[0].kind, TransactionKind::debit);
    EXPECT_EQ(read[0].flag, LedgerFlag::penalty);
    EXPECT_EQ(read[0].amount, 30);
    EXPECT_EQ(read[0].memo, "second");
    EXPECT_EQ(read[0].sequence, inserted.sequence);
    EXPECT_EQ(read[0].createdAt, makeDate(2025, 3, 1, 9, 30, 0));
    EXPECT_GE(read[0].updatedAt, before);
    EXPECT_EQ(store->balance(owner), -30);
    EXPECT_EQ(store->balance(other), 0);

    LedgerEntry missing = inserted;
    missing.id = "NO-SUCH-ENTRY";
    EXPECT_TRUE(store->updateEntry(missing));
    EXPECT_TRUE(store->deleteEntry("NO-SUCH-ENTRY"));
    EXPECT_EQ(rowCount("ledger"), 1);
}

// ---- Balances ----

TEST_F(LedgerStoreTest, BalanceAddsCreditsAndSubtractsDebits) {
    const std::string id = newAccount();
    EXPECT_EQ(store->balance(id), 0);
    insert(id, TransactionKind::credit, 100);
    insert(id, TransactionKind::credit, 30, LedgerFlag::bonus);
    insert(id, TransactionKind::debit, 50, LedgerFlag::penalty);
    insert(id, TransactionKind::note, 999);
    EXPECT_EQ(store->balance(id), 80);
    EXPECT_EQ(store->balance("NOBODY"), 0);
}

TEST_F(LedgerStoreTest, BalanceIsExactBeyondSixtyFourBitsAndClamped) {
    using K = TransactionKind;
    struct Case {
        const char* name;
        std::vector<std::pair<K, std::int64_t>> entries;
        std::int64_t expected;
    };
    const Case cases[] = {
        {"two largest credits", {{K::credit, int64Max}, {K::credit, int64Max}}, int64Max},
        {"overflow then back",
         {{K::credit, int64Max}, {K::credit, int64Max}, {K::debit, int64Max}},
         int64Max},
        {"far above, back below", {{K::credit, int64Max}, {K::credit, 10}, {K::debit, 20}}, int64Max - 10},
        {"debit of the most negative", {{K::debit, int64Min}}, int64Max},
        {"debit of the most negative, then back", {{K::debit, int64Min}, {K::debit, 1}}, int64Max},
        {"two largest debits", {{K::debit, int64Max}, {K::debit, int64Max}}, int64Min},
        {"exactly the most negative", {{K::debit, int64Max}, {K::debit, 1}}, int64Min},
        {"credit of the most negative",
         {{K::credit, int64Min}, {K::credit, int64Min}, {K::credit, 5}},
         int64Min},
        {"negative credit, negative debit", {{K::credit, -5}, {K::debit, -8}}, 3},
    };
    for (const auto& c : cases) {
        const std::string id = newAccount(c.name);
        for (const auto& [kind, amount] : c.entries) {
            insert(id, kind, amount);
        }
        EXPECT_EQ(store->balance(id), c.expected) << c.name;
        reopen(); // the same from the file as from memory
        EXPECT_EQ(store->balance(id), c.expected) << c.name << " (reopened)";
    }
}

// The totals the store keeps in memory must always equal what the file says:
// compare against the plain queries on the file after every kind of write.
TEST_F(LedgerStoreTest, TotalsStayExactAcrossEveryWrite) {
    auto sumFromFile = [&](const std::string& id) {
        SQLiteStatement q = raw().prepare(
            "SELECT COALESCE(SUM(CASE kind WHEN 'credit' THEN amount WHEN 'debit' THEN -amount\n"
            "                              ELSE 0 END), 0)\nFROM ledger WHERE account_id = ?1;");
        q.bindText(1, id);
        return q.step() ? q.columnInt64(0) : -1;
    };
    auto unseenFromFile = [&](const std::string& id) {
        SQLiteStatement q =
            raw().prepare("SELECT COUNT(*) FROM ledger\nWHERE account_id = ?1\n"
                          "  AND sequence > (SELECT last_seen_sequence FROM account WHERE id = ?1);");
        q.bindText(1, id);
        return q.step() ? q.columnInt64(0) : -1;
    };
    std::vector<std::string> accounts = {newAccount("a"), newAccount("b"), newAccount("c")};
    std::vector<LedgerEntry> live;
    std::mt19937 random(12345);
    auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    const TransactionKind kinds[] = {TransactionKind::credit, TransactionKind::debit, TransactionKind::note};

    for (int step = 0; step < 400; ++step) {
        const int action = static_cast<int>(pick(12));
        if (action < 5 || live.empty()) {
            live.push_back(insert(accounts[pick(accounts.size())], kinds[pick(3)],
                                  static_cast<std::int64_t>(pick(1000)) - 100));
        } else if (action < 7) {
            LedgerEntry& entry = live[pick(live.size())];
            entry.kind = kinds[pick(3)];
            entry.amount = static_cast<std::int64_t>(pick(500));
            ASSERT_TRUE(store->updateEntry(entry));
        } else if (action < 9) {
            const std::size_t index = pick(live.size());
            ASSERT_TRUE(store->deleteEntry(live[index].id));
            live.erase(live.begin() + static_cast<std::ptrdiff_t>(index));
        } else if (action < 11) {
            store->markSeen(accounts[pick(accounts.size())]);
        } else {
            // Delete an account and create one with the same id again.
            const std::string id = accounts[pick(accounts.size())];
            ASSERT_TRUE(store->deleteAccount(id));
            std::erase_if(live, [&](const LedgerEntry& e) { return e.accountId == id; });
            ASSERT_TRUE(store->createClientInfoAccount(id, "again", "fp-again-" + id, std::nullopt));
        }
        for (const auto& id : accounts) {
            ASSERT_EQ(store->balance(id), sumFromFile(id)) << "after step " << step;
            ASSERT_EQ(store->unseenCount(id), unseenFromFile(id)) << "after step " << step;
        }
    }
}

// Someone editing the file with another connection while the store is open is
// seen at the next read, as the plain queries would see it.
TEST_F(LedgerStoreTest, TotalsFollowChangesMadeByAnotherConnection) {
    const std::string id = newAccount();
    insert(id, TransactionKind::credit, 10);
    ASSERT_EQ(store->balance(id), 10);
    ASSERT_EQ(store->unseenCount(id), 1);
    ASSERT_EQ(store->unseenCount(id), 1);

    raw().execute("INSERT INTO ledger VALUES ('BY-HAND', '" + id +
                  "', 'debit', 'none', 3, '', 't', 't', 2);"
                  "UPDATE ledger SET amount = 20 WHERE sequence = 1;");
    EXPECT_EQ(store->balance(id), 17);
    EXPECT_EQ(store->unseenCount(id), 2);
    raw().execute("UPDATE account SET last_seen_sequence = 1;");
    EXPECT_EQ(store->unseenCount(id), 1);
    EXPECT_EQ(store->balance(id), 17);

    // The store's own writes keep the totals without reading them again.
    insert(id, TransactionKind::credit, 5);
    EXPECT_EQ(store->balance(id), 22);
    EXPECT_EQ(store->unseenCount(id), 2);
}

// ---- Sequence counter ----

TEST_F(LedgerStoreTest, SequenceCounterNeverReusesANumber) {
    const std::string id = newAccount();
    for (int i = 0; i < 3; ++i) {
        insert(id, TransactionKind::credit, 1);
    }
    struct Case {
        const char* name;
        std::optional<std::string> counter; // absent: the row is deleted
    };
    const Case cases[] = {
        {"missing row", std::nullopt},
        {"empty", ""},
        {"words", "many"},
        {"behind", "1"},
        {"negative", "-9"},
        {"out of range", "99999999999999999999"},
    };
    for (const auto& c : cases) {
        const std::int64_t highest = store->allEntries(1).front().sequence;
        if (c.counter) {
            setMeta("sequence_counter", *c.counter);
        } else {
            raw().execute("DELETE FROM meta WHERE key = 'sequence_counter';");
        }
        EXPECT_EQ(insert(id, TransactionKind::credit, 1).sequence, highest + 1) << c.name;
        EXPECT_EQ(meta("sequence_counter"), std::to_string(highest + 1)) << c.name;
    }
    // A counter ahead of the entries is kept.
    setMeta("sequence_counter", "+40");
    EXPECT_EQ(insert(id, TransactionKind::credit, 1).sequence, 41);
}

TEST_F(LedgerStoreTest, SequenceCounterMissingOnEmptyLedgerStartsAtOne) {
    raw().execute("DELETE FROM meta WHERE key = 'sequence_counter';");
    EXPECT_EQ(insert(newAccount(), TransactionKind::credit, 1).sequence, 1);
}

TEST_F(LedgerStoreTest, ExhaustedSequenceNumbersRefuseTheInsert) {
    const std::string id = newAccount();
    setMeta("sequence_counter", "9223372036854775806");
    EXPECT_EQ(insert(id, TransactionKind::credit, 1).sequence, int64Max);
    const Result<LedgerEntry> refused =
        store->appendEntry({id, TransactionKind::credit, LedgerFlag::none, 1, ""});
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().message.find("used up"), std::string::npos) << refused.error().message;
    EXPECT_EQ(meta("sequence_counter"), "9223372036854775807");
    EXPECT_EQ(rowCount("ledger"), 1);

    // The same when only a stored entry holds the largest number.
    setMeta("sequence_counter", "5");
    EXPECT_EQ(store->insertEntry({id, TransactionKind::credit, LedgerFlag::none, 1, ""}), std::nullopt);
    EXPECT_EQ(meta("sequence_counter"), "5");
    EXPECT_EQ(rowCount("ledger"), 1);
    EXPECT_EQ(store->balance(id), 1);
}

// ---- Failures ----

// With every statement failing, each operation answers its neutral value and
// the writes report that they did not run.
TEST_F(LedgerStoreTest, FailuresAnswerNeutralValues) {
    const std::string id = newAccount();
    const auto entry = insert(id, TransactionKind::credit, 10);
    ASSERT_TRUE(store->setStartingPoints(7));
    ASSERT_TRUE(store->setAllowUnauthenticated(true));
    reopen(); // nothing is held in memory yet

    for (const bool atStep : {false, true}) {
        SCOPED_TRACE(atStep ? "failing steps" : "failing prepares");
        LedgerStoreTestAccess::injectFaults(*store, [atStep](bool isStep, std::string_view) {
            return isStep == atStep ? SQLITE_IOERR : SQLITE_OK;
        });
        EXPECT_FALSE(store->allowUnauthenticated());
        EXPECT_EQ(store->startingPoints(), 50000);
        EXPECT_FALSE(store->setAllowUnauthenticated(false));
        EXPECT_FALSE(store->setStartingPoints(1));
        EXPECT_TRUE(store->allAccounts().empty());
        EXPECT_EQ(store->account(id), std::nullopt);
        EXPECT_EQ(store->accountByFingerprint("fp-" + id), std::nullopt);
        EXPECT_FALSE(store->createCredentialAccount(newUuidString(), "n", "h", "s", std::nullopt));
        EXPECT_FALSE(store->createClientInfoAccount(newUuidString(), "n", "f", std::nullopt));
        EXPECT_FALSE(store->renameAccount(id, "renamed"));
        EXPECT_FALSE(store->deleteAccount(id));
        store->updateAccountClientInfo(id, "{}", std::string("renamed"));
        store->markSeen(id);
        EXPECT_EQ(store->balance(id), 0);
        EXPECT_EQ(store->unseenCount(id), 0);
        EXPECT_TRUE(store->entries(id, 10, std::nullopt).empty());
        EXPECT_TRUE(store->allEntries(10).empty());
        EXPECT_FALSE(store->appendEntry({id, TransactionKind::credit, LedgerFlag::none, 5, ""}).ok());
        EXPECT_FALSE(store->updateEntry(entry));
        EXPECT_FALSE(store->deleteEntry(entry.id));
        LedgerStoreTestAccess::injectFaults(*store, nullptr);
    }

    // Nothing was changed by any of it.
    EXPECT_TRUE(store->allowUnauthenticated());
    EXPECT_EQ(store->startingPoints(), 7);
    ASSERT_EQ(store->allAccounts().size(), 1u);
    EXPECT_EQ(store->account(id)->displayName, "agent");
    EXPECT_EQ(store->account(id)->clientInfoJSON, std::nullopt);
    EXPECT_EQ(store->unseenCount(id), 1);
    EXPECT_EQ(store->allEntries(10), store->entries(id, 10, std::nullopt));
    EXPECT_EQ(store->allEntries(10).size(), 1u);
    EXPECT_EQ(store->balance(id), 10);

    // Totals already held in memory still answer while the file fails.
    ASSERT_EQ(store->unseenCount(id), 1);
    LedgerStoreTestAccess::injectFaults(*store, [](bool, std::string_view) { return SQLITE_IOERR; });
    EXPECT_EQ(store->balance(id), 10);
    EXPECT_EQ(store->unseenCount(id), 1);
    EXPECT_EQ(store->balance("NOBODY"), 0);
}

// The number and its entry are one transaction: an entry that cannot be
// written takes no number, and the error says why.
TEST_F(LedgerStoreTest, FailedEntryInsertTakesNoSequenceNumber) {
    const std::string id = newAccount();
    ASSERT_EQ(store->balance(id), 0);
    LedgerStoreTestAccess::injectFaults(*store, [](bool isStep, std::string_view sql) {
        return isStep && sql.starts_with("INSERT INTO ledger") ? SQLITE_FULL : SQLITE_OK;
    });
    const Result<LedgerEntry> failed =
        store->appendEntry({id, TransactionKind::credit, LedgerFlag::none, 5, ""});
    LedgerStoreTestAccess::injectFaults(*store, nullptr);
    ASSERT_FALSE(failed.ok());
    EXPECT_NE(failed.error().message.find("cannot record the entry"), std::string::npos)
        << failed.error().message;
    EXPECT_EQ(meta("sequence_counter"), "0");
    EXPECT_EQ(rowCount("ledger"), 0);
    EXPECT_EQ(store->balance(id), 0);
    EXPECT_EQ(insert(id, TransactionKind::credit, 5).sequence, 1);
    EXPECT_EQ(store->balance(id), 5);
}

TEST_F(LedgerStoreTest, FailedCounterWriteWritesNoEntry) {
    const std::string id = newAccount();
    LedgerStoreTestAccess::injectFaults(*store, [](bool isStep, std::string_view sql) {
        return isStep && sql.starts_with("INSERT INTO meta") ? SQLITE_BUSY : SQLITE_OK;
    });
    EXPECT_EQ(store->insertEntry({id, TransactionKind::credit, LedgerFlag::none, 5, ""}), std::nullopt);
    LedgerStoreTestAccess::injectFaults(*store, nullptr);
    EXPECT_EQ(meta("sequence_counter"), "0");
    EXPECT_EQ(rowCount("ledger"), 0);
    EXPECT_EQ(insert(id, TransactionKind::credit, 5).sequence, 1);
}

// Edits and deletions look up the old entry to keep balances exact; when that
// look-up fails they still run, and balances are re-read from the file.
TEST_F(LedgerStoreTest, EditsStayExactWhenTheOldEntryCannotBeRead) {
    const std::string id = newAccount();
    auto first = insert(id, TransactionKind::credit, 100);
    const auto second = insert(id, TransactionKind::credit, 50);
    ASSERT_EQ(store->balance(id), 150);
    LedgerStoreTestAccess::injectFaults(*store, [](bool, std::string_view sql) {
        return sql.starts_with("SELECT account_id") ? SQLITE_IOERR : SQLITE_OK;
    });
    first.kind = TransactionKind::debit;
    EXPECT_TRUE(store->updateEntry(first));
    EXPECT_TRUE(store->deleteEntry(second.id));
    LedgerStoreTestAccess::injectFaults(*store, nullptr);
    EXPECT_EQ(store->balance(id), -100);
}

TEST_F(LedgerStoreTest, ConcurrentCallersGetDistinctConsecutiveSequences) {
    const std::string a = newAccount("a");
    const std::string b = newAccount("b");
    constexpr int threadCount = 4;
    constexpr int perThread = 50;
    std::vector<std::vector<std::int64_t>> got(threadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const auto& owner = t % 2 == 0 ? a : b;
                if (auto entry =
                        store->insertEntry({owner, TransactionKind::credit, LedgerFlag::none, 2, ""})) {
                    got[t].push_back(entry->sequence);
                }
                (void)store->balance(owner);
                (void)store->unseenCount(owner);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::int64_t> all;
    for (const auto& sequencesOfThread : got) {
        all.insert(sequencesOfThread.begin(), sequencesOfThread.end());
    }
    ASSERT_EQ(all.size(), static_cast<std::size_t>(threadCount * perThread));
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), threadCount * perThread);
    EXPECT_EQ(store->balance(a) + store->balance(b), 2 * threadCount * perThread);
}

// Two stores on one file (two connections, as with a second program) never
// hand out the same number: each takes its number and inserts its entry in one
// write transaction, and the counter and the highest stored sequence agree.
TEST_F(LedgerStoreTest, TwoStoresOnOneFileNeverShareASequence) {
    const std::string id = newAccount();
    LedgerStore other(path);
    constexpr int perStore = 100;
    std::vector<std::int64_t> got[2];
    std::vector<std::string> failures[2];
    auto writer = [&](LedgerStore& writing, int slot) {
        for (int i = 0; i < perStore; ++i) {
            const Result<LedgerEntry> entry =
                writing.appendEntry({id, TransactionKind::credit, LedgerFlag::none, 1, ""});
            if (entry) {
                got[slot].push_back(entry->sequence);
            } else {
                failures[slot].push_back(entry.error().message);
            }
        }
    };
    std::thread first(writer, std::ref(*store), 0);
    std::thread second(writer, std::ref(other), 1);
    first.join();
    second.join();

    EXPECT_TRUE(failures[0].empty()) << failures[0].front();
    EXPECT_TRUE(failures[1].empty()) << failures[1].front();
    std::set<std::int64_t> all(got[0].begin(), got[0].end());
    all.insert(got[1].begin(), got[1].end());
    EXPECT_EQ(all.size(), got[0].size() + got[1].size()) << "a sequence number was handed out twice";
    EXPECT_EQ(rowCount("ledger"), 2 * perStore);
    EXPECT_EQ(*rawText("SELECT COUNT(DISTINCT sequence) FROM ledger"), std::to_string(2 * perStore));
    EXPECT_EQ(meta("sequence_counter"), std::to_string(2 * perStore));
    EXPECT_EQ(insert(id, TransactionKind::credit, 1).sequence, 2 * perStore + 1);
}

} // namespace
} // namespace quorvane
