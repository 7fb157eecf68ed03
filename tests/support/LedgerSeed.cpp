#include "tests/support/LedgerSeed.h"

#include <filesystem>
#include <memory>
#include <sqlite3.h>
#include <stdexcept>

#include "host/core/SQLite.h"

namespace quorvane::test {
namespace {

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, Closer>;

struct Finalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, Finalizer>;

[[noreturn]] void failWith(sqlite3* db, const std::string& what) {
    throw std::runtime_error(what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "cannot open"));
}

Connection open(const std::string& file, int flags) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        Connection owner(db);
        failWith(db, "open " + file);
    }
    sqlite3_busy_timeout(db, 3000);
    return Connection(db);
}

void execute(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        failWith(db, sql);
    }
}

Statement prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        failWith(db, sql);
    }
    return Statement(statement);
}

void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void stepDone(sqlite3* db, sqlite3_stmt* statement) {
    if (sqlite3_step(statement) != SQLITE_DONE) {
        failWith(db, "insert");
    }
    sqlite3_reset(statement);
}

} // namespace

LedgerSeed::LedgerSeed(std::string file) : file_(std::move(file)) {
    std::filesystem::create_directories(std::filesystem::path(file_).parent_path());
    Connection db = open(file_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    execute(db.get(), "PRAGMA journal_mode=WAL;");
    execute(db.get(), ledgerSchemaScript);
}

void LedgerSeed::addAccount(const std::string& id) {
    Connection db = open(file_, SQLITE_OPEN_READWRITE);
    Statement insert =
        prepare(db.get(),
                "INSERT INTO account (id, display_name, identity_mode, clientinfo_fingerprint, created_at)\n"
                "VALUES (?1, ?2, 'clientInfo', ?3, '2026-01-01T00:00:00Z');");
    bindText(insert.get(), 1, id);
    bindText(insert.get(), 2, "Agent " + id);
    bindText(insert.get(), 3, "fingerprint-" + id);
    stepDone(db.get(), insert.get());
}

void LedgerSeed::addEntries(int count, const std::function<std::string(int)>& accountOf,
                            const std::function<std::string(int)>& memoOf) {
    Connection db = open(file_, SQLITE_OPEN_READWRITE);
    execute(db.get(), "BEGIN;");
    Statement insert = prepare(
        db.get(),
        "INSERT INTO ledger (id, account_id, kind, flag, amount, memo, created_at, updated_at, sequence)\n"
        "VALUES (?1, ?2, 'credit', 'none', ?3, ?4, '2026-01-02T03:04:05Z', '2026-01-02T03:04:05Z', ?5);");
    for (int i = 0; i < count; ++i) {
        const std::int64_t sequence = ++lastSequence_;
        const std::string account = accountOf(i);
        bindText(insert.get(), 1, "E-" + std::to_string(sequence));
        bindText(insert.get(), 2, account);
        sqlite3_bind_int64(insert.get(), 3, i + 1);
        bindText(insert.get(), 4, memoOf(i));
        sqlite3_bind_int64(insert.get(), 5, sequence);
        stepDone(db.get(), insert.get());
        sequences_[account].push_back(sequence);
    }
    insert.reset();
    execute(db.get(), "COMMIT;");
}

std::vector<std::int64_t> LedgerSeed::sequencesOf(const std::string& account) const {
    auto found = sequences_.find(account);
    return found == sequences_.end() ? std::vector<std::int64_t>{} : found->second;
}

std::vector<std::string> queryColumn(const std::string& file, const std::string& sql) {
    Connection db = open(file, SQLITE_OPEN_READONLY);
    Statement statement = prepare(db.get(), sql.c_str());
    std::vector<std::string> values;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement.get(), 0);
        values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "");
    }
    if (rc != SQLITE_DONE) {
        failWith(db.get(), sql);
    }
    return values;
}

} // namespace quorvane::test
