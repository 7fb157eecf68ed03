// The ledger store under a large ledger: 1,000 accounts and 1,000,000 entries.
//
// What the host asks most often: an agent's getBalance (unseen count and
// balance of one account) and the operator's snapshot (every account with its
// balance, plus the newest 2,000 entries). The reference cases run the plain
// queries directly on the file, to show what the store saves.
//
// The ledger file is generated once per run in a temporary folder (under
// $TMPDIR) and removed at exit.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <sqlite3.h>
#include <string>
#include <vector>

#include "common/Uuid.h"
#include "host/core/LedgerStore.h"
#include "host/core/SQLite.h"

namespace {

using namespace quorvane;
namespace fs = std::filesystem;

constexpr int kAccounts = 1000;
constexpr int kEntries = 1000000;
constexpr std::int64_t kSnapshotEntries = 2000;

void check(int result, int expected, const char* what) {
    if (result != expected) {
        std::fprintf(stderr, "bench set-up: %s failed (%d)\n", what, result);
        std::exit(1);
    }
}

class BenchLedger {
public:
    static BenchLedger& shared() {
        static BenchLedger ledger;
        return ledger;
    }

    ~BenchLedger() {
        store.reset();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    [[nodiscard]] const std::string& path() const { return path_; }
    std::unique_ptr<LedgerStore> store;
    std::vector<std::string> accountIds; // oldest first
    std::string allUnseenAccount;        // its 1,000 entries are all unseen
    std::string allSeenAccount;          // has seen all of its entries

private:
    BenchLedger() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qv-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        folder_ = pattern;
        path_ = (folder_ / "ledger.sqlite").string();
        const auto started = std::chrono::steady_clock::now();
        generate();
        store = std::make_unique<LedgerStore>(path_);
        allUnseenAccount = accountIds[0];
        allSeenAccount = accountIds[1];
        store->markSeen(allSeenAccount);
        const auto seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(stderr, "bench ledger: %d accounts, %d entries, built in %.1f s\n", kAccounts, kEntries,
                     seconds);
        printPlans();
    }

    // Writes the file the way the host would have after a long life, in one
    // transaction: entries interleaved across accounts, credits, debits and notes.
    void generate() {
        SQLiteDatabase db(path_);
        db.execute(ledgerSchemaScript);
        db.execute("PRAGMA synchronous = OFF; BEGIN;");
        std::mt19937_64 random(42);
        sqlite3_stmt* insertAccount = nullptr;
        check(sqlite3_prepare_v2(
                  db.handle(),
                  "INSERT INTO account (id, display_name, identity_mode, clientinfo_fingerprint, "
                  "created_at, last_seen_sequence) VALUES (?1, ?2, 'clientInfo', ?3, ?4, 0);",
                  -1, &insertAccount, nullptr),
              SQLITE_OK, "prepare account insert");
        const Date start = makeDate(2025, 1, 1, 0, 0, 0);
        for (int i = 0; i < kAccounts; ++i) {
            accountIds.push_back(newUuidString());
            const std::string name = "Agent " + std::to_string(i);
            const std::string fingerprint = std::to_string(random());
            const std::string created = formatIsoDate(start + std::chrono::seconds(i));
            sqlite3_bind_text(insertAccount, 1, accountIds.back().c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insertAccount, 2, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insertAccount, 3, fingerprint.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insertAccount, 4, created.c_str(), -1, SQLITE_TRANSIENT);
            check(sqlite3_step(insertAccount), SQLITE_DONE, "account insert");
            sqlite3_reset(insertAccount);
        }
        sqlite3_finalize(insertAccount);

        sqlite3_stmt* insertEntry = nullptr;
        check(sqlite3_prepare_v2(db.handle(),
                                 "INSERT INTO ledger (id, account_id, kind, flag, amount, memo, created_at, "
                                 "updated_at, sequence) VALUES (?1, ?2, ?3, 'none', ?4, ?5, ?6, ?6, ?7);",
                                 -1, &insertEntry, nullptr),
              SQLITE_OK, "prepare entry insert");
        const char* kinds[] = {"credit", "credit", "debit", "note"};
        for (int sequence = 1; sequence <= kEntries; ++sequence) {
            const std::string id = newUuidString();
            const std::string created = formatIsoDate(start + std::chrono::seconds(kAccounts + sequence));
            sqlite3_bind_text(insertEntry, 1, id.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insertEntry, 2, accountIds[sequence % kAccounts].c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insertEntry, 3, kinds[random() % 4], -1, SQLITE_STATIC);
            sqlite3_bind_int64(insertEntry, 4, static_cast<sqlite3_int64>(random() % 10000));
            sqlite3_bind_text(insertEntry, 5, "Task reward for a finished job", -1, SQLITE_STATIC);
            sqlite3_bind_text(insertEntry, 6, created.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insertEntry, 7, sequence);
            check(sqlite3_step(insertEntry), SQLITE_DONE, "entry insert");
            sqlite3_reset(insertEntry);
        }
        sqlite3_finalize(insertEntry);
        db.execute("INSERT INTO meta VALUES ('sequence_counter', '" + std::to_string(kEntries) +
                   "'); COMMIT;");
    }

    void printPlans() {
        SQLiteDatabase db(path_);
        const char* queries[] = {
            "SELECT COALESCE(SUM(CASE kind WHEN 'credit' THEN amount WHEN 'debit' THEN -amount\n"
            "                              ELSE 0 END), 0)\nFROM ledger WHERE account_id = 'X';",
            "SELECT COUNT(*) FROM ledger\nWHERE account_id = 'X'\n"
            "  AND sequence > (SELECT last_seen_sequence FROM account WHERE id = 'X');",
            "SELECT id FROM ledger ORDER BY sequence DESC LIMIT 2000;",
            "SELECT MAX(sequence) FROM ledger;",
        };
        for (const char* sql : queries) {
            std::fprintf(stderr, "plan of: %s\n", sql);
            SQLiteStatement plan = db.prepare(std::string("EXPLAIN QUERY PLAN ") + sql);
            while (plan.step()) {
                std::fprintf(stderr, "    %s\n", plan.columnText(3).c_str());
            }
        }
    }

    fs::path folder_;
    std::string path_;
};

// ---- What the host asks ----------------------------------------------------------

// getBalance: the unseen count, then the balance, of one account.
void BM_UnseenCountAndBalance(benchmark::State& state) {
    auto& ledger = BenchLedger::shared();
    const std::string& id = state.range(0) == 0 ? ledger.allUnseenAccount : ledger.allSeenAccount;
    (void)ledger.store->balance(id); // the first read of an account fills its balance in memory
    for (auto _ : state) {
        benchmark::DoNotOptimize(ledger.store->unseenCount(id));
        benchmark::DoNotOptimize(ledger.store->balance(id));
    }
    state.SetLabel(state.range(0) == 0 ? "1000 unseen" : "all seen");
}
BENCHMARK(BM_UnseenCountAndBalance)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The store's part of an operator snapshot.
void BM_Snapshot(benchmark::State& state) {
    auto& ledger = BenchLedger::shared();
    for (const auto& id : ledger.accountIds) {
        (void)ledger.store->balance(id);
    }
    for (auto _ : state) {
        const auto accounts = ledger.store->allAccounts();
        std::int64_t total = 0;
        for (const auto& account : accounts) {
            total += ledger.store->balance(account.id);
        }
        const auto entries = ledger.store->allEntries(kSnapshotEntries);
        benchmark::DoNotOptimize(total);
        benchmark::DoNotOptimize(entries.data());
        if (accounts.size() != kAccounts || entries.size() != kSnapshotEntries) {
            state.SkipWithError("unexpected snapshot size");
        }
    }
}
BENCHMARK(BM_Snapshot)->Unit(benchmark::kMillisecond);

// getTransactions: one page of an account's newest entries.
void BM_EntriesPage(benchmark::State& state) {
    auto& ledger = BenchLedger::shared();
    for (auto _ : state) {
        benchmark::DoNotOptimize(ledger.store->entries(ledger.allSeenAccount, 50, std::nullopt));
    }
}
BENCHMARK(BM_EntriesPage)->Unit(benchmark::kMicrosecond);

// An operator's new entry (each insert is its own durable commit).
void BM_InsertEntry(benchmark::State& state) {
    auto& ledger = BenchLedger::shared();
    const NewLedgerEntry entry{ledger.allSeenAccount, TransactionKind::credit, LedgerFlag::bonus, 5, "bench"};
    for (auto _ : state) {
        benchmark::DoNotOptimize(ledger.store->insertEntry(entry));
    }
}
BENCHMARK(BM_InsertEntry)->Unit(benchmark::kMicrosecond)->Iterations(200);

// The first snapshot after start-up, when no balance is held in memory yet.
void BM_FirstSnapshotAfterOpen(benchmark::State& state) {
    auto& ledger = BenchLedger::shared();
    for (auto _ : state) {
        state.PauseTiming();
        ledger.store.reset();
        ledger.store = std::make_unique<LedgerStore>(ledger.path());
        state.ResumeTiming();
        std::int64_t total = 0;
        for (const auto& account : ledger.store->allAccounts()) {
            total += ledger.store->balance(account.id);
        }
        benchmark::DoNotOptimize(total);
        benchmark::DoNotOptimize(ledger.store->allEntries(kSnapshotEntries));
    }
}
BENCHMARK(BM_FirstSnapshotAfterOpen)->Unit(benchmark::kMillisecond)->Iterations(3);

// ---- Reference: the plain queries, straight on the file ----------------------------

void runOnFile(benchmark::State& state, const char* sql, const std::string& parameter) {
    auto& ledger = BenchLedger::shared();
    SQLiteDatabase db(ledger.path());
    for (auto _ : state) {
        SQLiteStatement statement = db.prepare(sql);
        if (!parameter.empty()) {
            statement.bindText(1, parameter);
        }
        while (statement.step()) {
            benchmark::DoNotOptimize(statement.columnInt64(0));
        }
    }
}

// The balance as one SUM over the account's entries.
void BM_Reference_SumQuery(benchmark::State& state) {
    runOnFile(state,
              "SELECT COALESCE(SUM(CASE kind WHEN 'credit' THEN amount WHEN 'debit' THEN -amount\n"
              "                              ELSE 0 END), 0)\nFROM ledger WHERE account_id = ?1;",
              BenchLedger::shared().allSeenAccount);
}
BENCHMARK(BM_Reference_SumQuery)->Unit(benchmark::kMicrosecond);

// The newest entries across all accounts without an index on sequence.
void BM_Reference_AllEntriesWithoutSequenceIndex(benchmark::State& state) {
    runOnFile(state,
              "SELECT id, account_id, kind, flag, amount, memo, created_at, updated_at, sequence\n"
              "FROM ledger NOT INDEXED ORDER BY sequence DESC LIMIT 2000;",
              "");
}
BENCHMARK(BM_Reference_AllEntriesWithoutSequenceIndex)->Unit(benchmark::kMillisecond);

} // namespace
