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
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/LedgerFixture.h"
#include "host/core/LedgerStore.h"
#include "host/core/SQLite.h"
#include "tests/support/TempDir.h"

namespace {

using namespace quorvane;

constexpr int accountCount = bench::ledgerAccounts;
constexpr int entryCount = bench::ledgerEntries;
constexpr std::int64_t snapshotEntries = 2000;

class BenchLedger {
public:
    static BenchLedger& shared() {
        static BenchLedger ledger;
        return ledger;
    }

    ~BenchLedger() { store.reset(); }

    [[nodiscard]] const std::string& path() const { return path_; }
    std::unique_ptr<LedgerStore> store;
    std::vector<std::string> accountIds; // oldest first
    std::string allUnseenAccount;        // its 1,000 entries are all unseen
    std::string allSeenAccount;          // has seen all of its entries

private:
    BenchLedger() {
        const auto started = std::chrono::steady_clock::now();
        accountIds = bench::writeBenchLedger(path_, 42, [](int i, std::mt19937_64& random) {
            return bench::BenchAccount{"Agent " + std::to_string(i), std::nullopt, std::to_string(random())};
        });
        store = std::make_unique<LedgerStore>(path_);
        allUnseenAccount = accountIds[0];
        allSeenAccount = accountIds[1];
        store->markSeen(allSeenAccount);
        const auto seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(stderr, "bench ledger: %d accounts, %d entries, built in %.1f s\n", accountCount,
                     entryCount, seconds);
        printPlans();
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

    test::TempDir folder_{std::string{}, "qv-bench-"};
    std::string path_ = folder_.file("ledger.sqlite");
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
        const auto entries = ledger.store->allEntries(snapshotEntries);
        benchmark::DoNotOptimize(total);
        benchmark::DoNotOptimize(entries.data());
        if (accounts.size() != accountCount || entries.size() != snapshotEntries) {
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
        benchmark::DoNotOptimize(ledger.store->allEntries(snapshotEntries));
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
