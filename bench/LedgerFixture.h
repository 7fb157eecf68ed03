#pragma once

// The large ledger the benchmarks run on: 1,000 accounts and 1,000,000
// entries, written the way the host would have after a long life, in one
// transaction with the plain SQLite API: entries interleaved across accounts,
// credits, debits and notes, a second apart.
//
// Each benchmark program generates its file once per run; set-up failures end
// the program with a message on standard error.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <sqlite3.h>
#include <string>
#include <vector>

#include "common/IsoDate.h"
#include "common/Uuid.h"
#include "host/core/LedgerStore.h"
#include "host/core/SQLite.h"

namespace quorvane::bench {

inline constexpr int ledgerAccounts = 1000;
inline constexpr int ledgerEntries = 1000000;

// Ends the program when a set-up step of SQLite did not answer `expected`.
inline void checkSetUp(int result, int expected, const char* what) {
    if (result != expected) {
        std::fprintf(stderr, "bench set-up: %s failed (%d)\n", what, result);
        std::exit(1);
    }
}

// One account's row: its display name, client info JSON (NULL when absent)
// and clientInfo fingerprint.
struct BenchAccount {
    std::string name;
    std::optional<std::string> clientInfoJson;
    std::string fingerprint;
};

// Describes account `index`; may draw from the generator's random numbers.
using BenchAccountMaker = std::function<BenchAccount(int index, std::mt19937_64& random)>;

// Writes the ledger into a new file at `path` and answers the account ids,
// oldest first. Account i's entries are those whose sequence is i modulo
// ledgerAccounts. The same `seed` and `makeAccount` give the same amounts and
// kinds.
inline std::vector<std::string> writeBenchLedger(const std::string& path, std::uint64_t seed,
                                                 const BenchAccountMaker& makeAccount) {
    SQLiteDatabase db(path);
    db.execute(ledgerSchemaScript);
    db.execute("PRAGMA synchronous = OFF; BEGIN;");
    std::mt19937_64 random(seed);
    std::vector<std::string> accountIds;
    sqlite3_stmt* insertAccount = nullptr;
    checkSetUp(sqlite3_prepare_v2(db.handle(),
                                  "INSERT INTO account (id, display_name, identity_mode, client_info_json, "
                                  "clientinfo_fingerprint, created_at, last_seen_sequence) "
                                  "VALUES (?1, ?2, 'clientInfo', ?3, ?4, ?5, 0);",
                                  -1, &insertAccount, nullptr),
               SQLITE_OK, "prepare account insert");
    const Date start = makeDate(2025, 1, 1, 0, 0, 0);
    for (int i = 0; i < ledgerAccounts; ++i) {
        accountIds.push_back(newUuidString());
        const BenchAccount account = makeAccount(i, random);
        const std::string created = formatIsoDate(start + std::chrono::seconds(i));
        sqlite3_bind_text(insertAccount, 1, accountIds.back().c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insertAccount, 2, account.name.c_str(), -1, SQLITE_TRANSIENT);
        if (account.clientInfoJson) {
            sqlite3_bind_text(insertAccount, 3, account.clientInfoJson->c_str(), -1, SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_null(insertAccount, 3);
        }
        sqlite3_bind_text(insertAccount, 4, account.fingerprint.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insertAccount, 5, created.c_str(), -1, SQLITE_TRANSIENT);
        checkSetUp(sqlite3_step(insertAccount), SQLITE_DONE, "account insert");
        sqlite3_reset(insertAccount);
    }
    sqlite3_finalize(insertAccount);

    sqlite3_stmt* insertEntry = nullptr;
    checkSetUp(sqlite3_prepare_v2(db.handle(),
                                  "INSERT INTO ledger (id, account_id, kind, flag, amount, memo, created_at, "
                                  "updated_at, sequence) VALUES (?1, ?2, ?3, 'none', ?4, ?5, ?6, ?6, ?7);",
                                  -1, &insertEntry, nullptr),
               SQLITE_OK, "prepare entry insert");
    const char* kinds[] = {"credit", "credit", "debit", "note"};
    for (int sequence = 1; sequence <= ledgerEntries; ++sequence) {
        const std::string id = newUuidString();
        const std::string created = formatIsoDate(start + std::chrono::seconds(ledgerAccounts + sequence));
        sqlite3_bind_text(insertEntry, 1, id.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insertEntry, 2, accountIds[sequence % ledgerAccounts].c_str(), -1,
                          SQLITE_TRANSIENT);
        sqlite3_bind_text(insertEntry, 3, kinds[random() % 4], -1, SQLITE_STATIC);
        sqlite3_bind_int64(insertEntry, 4, static_cast<sqlite3_int64>(random() % 10000));
        sqlite3_bind_text(insertEntry, 5, "Task reward for a finished job", -1, SQLITE_STATIC);
        sqlite3_bind_text(insertEntry, 6, created.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insertEntry, 7, sequence);
        checkSetUp(sqlite3_step(insertEntry), SQLITE_DONE, "entry insert");
        sqlite3_reset(insertEntry);
    }
    sqlite3_finalize(insertEntry);
    db.execute("INSERT INTO meta VALUES ('sequence_counter', '" + std::to_string(ledgerEntries) +
               "'); COMMIT;");
    return accountIds;
}

} // namespace quorvane::bench
