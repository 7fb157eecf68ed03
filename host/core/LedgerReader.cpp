#include "host/core/LedgerReader.h"

#include <chrono>
#include <utility>

#include "common/IsoDate.h"
#include "host/core/SQLite.h"

namespace quorvane {
namespace {

#define QUORVANE_ENTRY_COLUMNS                                                                               \
    "SELECT id, account_id, kind, flag, amount, memo, created_at, updated_at, sequence FROM ledger\n"
constexpr const char* accountEntriesSql = QUORVANE_ENTRY_COLUMNS "WHERE account_id = ?1\n"
                                                                 "ORDER BY sequence DESC LIMIT ?2;";
constexpr const char* accountEntriesBeforeSql =
    QUORVANE_ENTRY_COLUMNS "WHERE account_id = ?1 AND sequence < ?3\n"
                           "ORDER BY sequence DESC LIMIT ?2;";
constexpr const char* entriesSql = QUORVANE_ENTRY_COLUMNS "ORDER BY sequence ASC LIMIT ?1;";
constexpr const char* entriesAfterSql = QUORVANE_ENTRY_COLUMNS "WHERE sequence > ?2\n"
                                                               "ORDER BY sequence ASC LIMIT ?1;";
#undef QUORVANE_ENTRY_COLUMNS

// The unseen count walks the (account_id, sequence) index from each account's
// last seen sequence: one statement per page, no scan of the whole ledger.
#define QUORVANE_ACCOUNT_COLUMNS                                                                             \
    "SELECT id, display_name, identity_mode, client_info_json, created_at,\n"                                \
    "       (SELECT COUNT(*) FROM ledger\n"                                                                  \
    "        WHERE ledger.account_id = account.id AND ledger.sequence > account.last_seen_sequence)\n"       \
    "FROM account\n"
constexpr const char* accountsSql = QUORVANE_ACCOUNT_COLUMNS "ORDER BY id LIMIT ?1;";
constexpr const char* accountsAfterSql = QUORVANE_ACCOUNT_COLUMNS "WHERE id > ?2 ORDER BY id LIMIT ?1;";
#undef QUORVANE_ACCOUNT_COLUMNS

constexpr const char* accountExistsSql = "SELECT 1 FROM account WHERE id = ?1;";

// Stored times are whole-second ISO text; one that does not read stands as now,
// as the store's own reads take it.
Date storedDate(const std::string& text, Date fallback) {
    return parseIsoDate(text).value_or(fallback);
}

std::vector<LedgerEntry> readEntries(SQLiteStatement& statement) {
    std::vector<LedgerEntry> entries;
    const Date now = std::chrono::system_clock::now();
    while (statement.step()) {
        LedgerEntry entry;
        entry.id = statement.columnText(0);
        entry.accountId = statement.columnText(1);
        entry.kind = fromRawValue<TransactionKind>(statement.columnText(2)).value_or(TransactionKind::note);
        entry.flag = fromRawValue<LedgerFlag>(statement.columnText(3)).value_or(LedgerFlag::none);
        entry.amount = statement.columnInt64(4);
        entry.memo = statement.columnText(5);
        entry.createdAt = storedDate(statement.columnText(6), now);
        entry.updatedAt = storedDate(statement.columnText(7), now);
        entry.sequence = statement.columnInt64(8);
        entries.push_back(std::move(entry));
    }
    return entries;
}

Error readFailure(const SQLiteError& error) {
    return fail("Cannot read the ledger: " + error.message + ".");
}

} // namespace

LedgerReader::LedgerReader(std::string path) : path_(std::move(path)) {
}

LedgerReader::~LedgerReader() = default;

SQLiteDatabase& LedgerReader::database() {
    if (!database_) {
        database_ = std::make_unique<SQLiteDatabase>(path_);
    }
    return *database_;
}

Result<std::vector<LedgerEntry>> LedgerReader::accountEntries(const std::string& accountId,
                                                              std::optional<std::int64_t> before,
                                                              std::int64_t limit) {
    MutexLock guard(lock_);
    try {
        SQLiteStatement statement = database().prepare(before ? accountEntriesBeforeSql : accountEntriesSql);
        statement.bindText(1, accountId);
        statement.bindInt64(2, limit);
        if (before) {
            statement.bindInt64(3, *before);
        }
        return readEntries(statement);
    } catch (const SQLiteError& error) {
        database_.reset(); // opened afresh at the next read
        return readFailure(error);
    }
}

Result<std::vector<LedgerEntry>> LedgerReader::entriesAfter(std::optional<std::int64_t> after,
                                                            std::int64_t limit) {
    MutexLock guard(lock_);
    try {
        SQLiteStatement statement = database().prepare(after ? entriesAfterSql : entriesSql);
        statement.bindInt64(1, limit);
        if (after) {
            statement.bindInt64(2, *after);
        }
        return readEntries(statement);
    } catch (const SQLiteError& error) {
        database_.reset();
        return readFailure(error);
    }
}

Result<std::vector<LedgerReader::AccountRow>>
LedgerReader::accountsAfter(const std::optional<std::string>& after, std::int64_t limit) {
    MutexLock guard(lock_);
    try {
        SQLiteStatement statement = database().prepare(after ? accountsAfterSql : accountsSql);
        statement.bindInt64(1, limit);
        if (after) {
            statement.bindText(2, *after);
        }
        std::vector<AccountRow> accounts;
        const Date now = std::chrono::system_clock::now();
        while (statement.step()) {
            AccountRow row;
            StoredAccount& account = row.account;
            account.id = statement.columnText(0);
            account.displayName = statement.columnText(1);
            account.identityMode =
                statement.columnText(2) == "credential" ? IdentityMode::credential : IdentityMode::clientInfo;
            account.clientInfoJSON = statement.columnOptionalText(3);
            account.createdAt = storedDate(statement.columnText(4), now);
            row.unseenCount = statement.columnInt64(5);
            accounts.push_back(std::move(row));
        }
        return accounts;
    } catch (const SQLiteError& error) {
        database_.reset();
        return readFailure(error);
    }
}

Result<bool> LedgerReader::accountExists(const std::string& id) {
    MutexLock guard(lock_);
    try {
        SQLiteStatement statement = database().prepare(accountExistsSql);
        statement.bindText(1, id);
        return statement.step();
    } catch (const SQLiteError& error) {
        database_.reset();
        return readFailure(error);
    }
}

} // namespace quorvane
