#include "host/core/LedgerStore.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <exception>
#include <limits>
#include <sqlite3.h>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "common/Uuid.h"
#include "host/core/LedgerFile.h"
#include "host/core/SQLite.h"

namespace quorvane {

namespace {

constexpr std::int64_t defaultStartingPoints = 50000;
constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();

constexpr const char* allowUnauthenticatedKey = "allow_unauthenticated";
constexpr const char* startingPointsKey = "starting_points";
constexpr const char* sequenceCounterKey = "sequence_counter";

// Not part of the schema script: an extra index that older and newer builds
// alike simply maintain. It serves the newest-first listing across all accounts
// and the highest sequence number in use.
constexpr const char* sequenceIndexSql =
    "CREATE INDEX IF NOT EXISTS idx_ledger_sequence ON ledger(sequence);";

constexpr const char* selectSettingSql = "SELECT value FROM meta WHERE key = ?1;";
constexpr const char* upsertSettingSql = "INSERT INTO meta (key, value) VALUES (?1, ?2)\n"
                                         "ON CONFLICT(key) DO UPDATE SET value = excluded.value;";
constexpr const char* highestSequenceSql = "SELECT MAX(sequence) FROM ledger;";

#define QUORVANE_ACCOUNT_COLUMNS                                                                             \
    "SELECT id, display_name, identity_mode, key_hash, key_salt, client_info_json,\n"                        \
    "       clientinfo_fingerprint, created_at, last_seen_sequence\n"
constexpr const char* allAccountsSql = QUORVANE_ACCOUNT_COLUMNS "FROM account ORDER BY created_at ASC;";
constexpr const char* accountByIdSql = QUORVANE_ACCOUNT_COLUMNS "FROM account WHERE id = ?1;";
constexpr const char* accountByFingerprintSql = QUORVANE_ACCOUNT_COLUMNS
    "FROM account WHERE clientinfo_fingerprint = ?1 AND identity_mode = 'clientInfo';";
#undef QUORVANE_ACCOUNT_COLUMNS

constexpr const char* insertAccountSql =
    "INSERT INTO account (id, display_name, identity_mode, key_hash, key_salt,\n"
    "                     client_info_json, clientinfo_fingerprint, created_at,\n"
    "                     last_seen_sequence)\n"
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, 0);";
constexpr const char* updateClientInfoAndNameSql =
    "UPDATE account SET client_info_json = ?2, display_name = ?3 WHERE id = ?1;";
constexpr const char* updateClientInfoSql = "UPDATE account SET client_info_json = ?2 WHERE id = ?1;";
constexpr const char* renameAccountSql = "UPDATE account SET display_name = ?2 WHERE id = ?1;";
constexpr const char* deleteAccountSql = "DELETE FROM account WHERE id = ?1;";
constexpr const char* markSeenSql =
    "UPDATE account SET last_seen_sequence =\n"
    "    (SELECT COALESCE(MAX(sequence), 0) FROM ledger WHERE account_id = ?1)\n"
    "WHERE id = ?1;";
constexpr const char* accountExistsSql = "SELECT 1 FROM account WHERE id = ?1;";
constexpr const char* markSeenUpToSql = "UPDATE account SET last_seen_sequence = ?2 WHERE id = ?1;";

// Each entry's effect on its account's balance: +1 credit, -1 debit, 0 otherwise
// (the same comparisons as a SUM over CASE kind WHEN 'credit' ... WHEN 'debit').
constexpr const char* allAccountIdsSql = "SELECT id FROM account;";
constexpr const char* allBalanceTermsSql =
    "SELECT account_id, CASE kind WHEN 'credit' THEN 1 WHEN 'debit' THEN -1 ELSE 0 END, amount\n"
    "FROM ledger WHERE kind IN ('credit', 'debit');";
constexpr const char* accountBalanceTermsSql =
    "SELECT CASE kind WHEN 'credit' THEN 1 WHEN 'debit' THEN -1 ELSE 0 END, amount\n"
    "FROM ledger WHERE account_id = ?1 AND kind IN ('credit', 'debit');";
constexpr const char* entryEffectSql =
    "SELECT account_id, CASE kind WHEN 'credit' THEN 1 WHEN 'debit' THEN -1 ELSE 0 END, amount\n"
    "FROM ledger WHERE id = ?1;";
constexpr const char* unseenCountSql =
    "SELECT COUNT(*) FROM ledger\n"
    "WHERE account_id = ?1\n"
    "  AND sequence > (SELECT last_seen_sequence FROM account WHERE id = ?1);";

#define QUORVANE_ENTRY_COLUMNS                                                                               \
    "SELECT id, account_id, kind, flag, amount, memo, created_at, updated_at, sequence\n"
constexpr const char* entriesPageSql = QUORVANE_ENTRY_COLUMNS "FROM ledger WHERE account_id = ?1\n"
                                                              "ORDER BY sequence DESC LIMIT ?2;";
constexpr const char* entriesPageBeforeSql =
    QUORVANE_ENTRY_COLUMNS "FROM ledger WHERE account_id = ?1 AND sequence < ?2\n"
                           "ORDER BY sequence DESC LIMIT ?3;";
constexpr const char* allEntriesSql = QUORVANE_ENTRY_COLUMNS "FROM ledger ORDER BY sequence DESC LIMIT ?1;";
#undef QUORVANE_ENTRY_COLUMNS

constexpr const char* insertEntrySql =
    "INSERT INTO ledger (id, account_id, kind, flag, amount, memo, created_at,\n"
    "                    updated_at, sequence)\n"
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?7, ?8);";
constexpr const char* updateEntrySql =
    "UPDATE ledger SET kind = ?2, flag = ?3, amount = ?4, memo = ?5, updated_at = ?6\n"
    "WHERE id = ?1;";
constexpr const char* deleteEntrySql = "DELETE FROM ledger WHERE id = ?1;";

// A base-10 integer: one optional sign, then one or more digits, in range.
std::optional<std::int64_t> parseDecimal(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') {
        return std::nullopt;
    }
    // from_chars takes a '-' itself but no '+'.
    const std::string_view number = text.front() == '+' ? digits : text;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc() || end != number.data() + number.size()) {
        return std::nullopt;
    }
    return value;
}

__extension__ typedef __int128 WideSum;

std::int64_t clampToInt64(WideSum value) {
    if (value > int64Max) {
        return int64Max;
    }
    if (value < int64Min) {
        return int64Min;
    }
    return static_cast<std::int64_t>(value);
}

int balanceSign(TransactionKind kind) {
    switch (kind) {
    case TransactionKind::credit:
        return 1;
    case TransactionKind::debit:
        return -1;
    case TransactionKind::note:
        break;
    }
    return 0;
}

Date nowDate() {
    return std::chrono::system_clock::now();
}

Date parseStoredDate(const std::string& text, Date fallback) {
    return parseIsoDate(text).value_or(fallback);
}

// The error for a write that threw: `what` could not be done, and why.
Error failedTo(const std::string& what) {
    try {
        throw;
    } catch (const std::exception& error) {
        return fail(what + ": " + error.what());
    } catch (...) {
        return fail(what);
    }
}

// BEGIN IMMEDIATE: takes the file's write lock at once (waiting out another
// writer up to the busy timeout), so that what is read inside holds until
// COMMIT. Rolled back when left without commit().
class ImmediateTransaction {
public:
    explicit ImmediateTransaction(SQLiteDatabase& database) : database_(database) {
        database_.execute("BEGIN IMMEDIATE;");
    }
    ~ImmediateTransaction() {
        if (open_) {
            try {
                database_.execute("ROLLBACK;");
            } catch (...) {
                // some failures end the transaction by themselves
            }
        }
    }
    ImmediateTransaction(const ImmediateTransaction&) = delete;
    ImmediateTransaction& operator=(const ImmediateTransaction&) = delete;

    void commit() {
        database_.execute("COMMIT;");
        open_ = false;
    }

private:
    SQLiteDatabase& database_;
    bool open_ = true;
};

} // namespace

// One statement of one operation, with the test seam consulted before each step.
class LedgerStore::Query {
public:
    Query(SQLiteStatement statement, const char* sql, const FaultHook& hook)
        : statement_(std::move(statement)), sql_(sql), hook_(hook) {}

    [[nodiscard]] bool step() {
        if (hook_) {
            if (const int code = hook_(FaultPoint::step, sql_); code != SQLITE_OK) {
                throw makeSQLiteError(code, sqlite3_errstr(code), "step failed");
            }
        }
        return statement_.step();
    }

    SQLiteStatement* operator->() { return &statement_; }

private:
    SQLiteStatement statement_;
    const char* sql_;
    const FaultHook& hook_;
};

struct LedgerStore::EntryEffect {
    std::string accountId;
    Int128 change = 0; // what the entry adds to its account's balance
};

LedgerStore::LedgerStore(const std::string& path) : path_(path), database_(openLedgerDatabase(path)) {
    MutexLock lock(queue_);
    database_->execute(ledgerSchemaScript);
    database_->execute(sequenceIndexSql);
    seedDefaults();
    dataVersion_ = std::make_unique<SQLiteStatement>(database_->prepare("PRAGMA data_version;"));
}

LedgerStore::~LedgerStore() {
    stopTotalsPass_.store(true);
    if (totalsPass_.joinable()) {
        totalsPass_.join();
    }
    MutexLock lock(queue_);
    dataVersion_.reset(); // before the connection closes
}

// ---- Private helpers (queue held) --------------------------------------------

LedgerStore::Query LedgerStore::query(const char* sql) {
    if (faultHook_) {
        if (const int code = faultHook_(FaultPoint::prepare, sql); code != SQLITE_OK) {
            throw makeSQLiteError(code, sqlite3_errstr(code), "prepare failed");
        }
    }
    return Query(database_->prepare(sql), sql, faultHook_);
}

void LedgerStore::seedDefaults() {
    const std::pair<const char*, const char*> defaults[] = {
        {allowUnauthenticatedKey, "1"},
        {sequenceCounterKey, "0"},
        {startingPointsKey, "50000"},
    };
    for (const auto& [key, value] : defaults) {
        if (!setting(key)) {
            storeSetting(key, value);
        }
    }
}

std::optional<std::string> LedgerStore::setting(const char* key) {
    Query q = query(selectSettingSql);
    q->bindText(1, key);
    if (!q.step()) {
        return std::nullopt;
    }
    return q->columnOptionalText(0);
}

void LedgerStore::storeSetting(const char* key, const std::string& value) {
    Query q = query(upsertSettingSql);
    q->bindText(1, key);
    q->bindText(2, value);
    (void)q.step();
}

// The next ledger-wide sequence number, or nothing once the numbers are used up.
// Numbers are never handed out twice: a counter that is missing, unparsable or
// behind the highest stored sequence (possible only in an edited file) is
// raised to that sequence first. Runs inside the transaction that inserts the
// entry, so another writer cannot take the same number in between.
std::optional<std::int64_t> LedgerStore::nextSequence() {
    std::int64_t last = 0;
    if (const auto raw = setting(sequenceCounterKey)) {
        last = parseDecimal(*raw).value_or(0);
    }
    {
        Query q = query(highestSequenceSql);
        if (q.step() && !q->columnIsNull(0)) {
            last = std::max(last, q->columnInt64(0));
        }
    }
    last = std::max<std::int64_t>(last, 0);
    if (last == int64Max) {
        return std::nullopt;
    }
    const std::int64_t next = last + 1;
    storeSetting(sequenceCounterKey, std::to_string(next));
    return next;
}

// Inside the transaction that creates the account: its opening credit of the
// starting points as stored now, marked seen. Answers the amount (0: none
// written); throws when the entry cannot be written, so the account goes too.
std::int64_t LedgerStore::writeOpeningCredit(const std::string& accountId, const std::string& memo) {
    const auto raw = setting(startingPointsKey);
    const std::int64_t points = (raw ? parseDecimal(*raw) : std::nullopt).value_or(defaultStartingPoints);
    if (points <= 0) {
        return 0;
    }
    const auto sequence = nextSequence();
    if (!sequence) {
        throw std::runtime_error("the ledger's sequence numbers are used up");
    }
    const std::string now = formatIsoDate(nowDate());
    Query insert = query(insertEntrySql);
    insert->bindText(1, newUuidString());
    insert->bindText(2, accountId);
    insert->bindText(3, std::string(rawValue(TransactionKind::credit)));
    insert->bindText(4, std::string(rawValue(LedgerFlag::none)));
    insert->bindInt64(5, points);
    insert->bindText(6, memo);
    insert->bindText(7, now);
    insert->bindInt64(8, *sequence);
    (void)insert.step();
    Query seen = query(markSeenUpToSql);
    seen->bindText(1, accountId);
    seen->bindInt64(2, *sequence);
    (void)seen.step();
    return points;
}

std::vector<StoredAccount> LedgerStore::readAccounts(Query& q) {
    std::vector<StoredAccount> accounts;
    const Date now = nowDate();
    while (q.step()) {
        StoredAccount account;
        account.id = q->columnText(0);
        account.displayName = q->columnText(1);
        account.identityMode =
            q->columnText(2) == "credential" ? IdentityMode::credential : IdentityMode::clientInfo;
        account.keyHash = q->columnOptionalText(3);
        account.keySalt = q->columnOptionalText(4);
        account.clientInfoJSON = q->columnOptionalText(5);
        account.clientInfoFingerprint = q->columnOptionalText(6);
        account.createdAt = parseStoredDate(q->columnText(7), now);
        account.lastSeenSequence = q->columnInt64(8);
        accounts.push_back(std::move(account));
    }
    return accounts;
}

std::vector<LedgerEntry> LedgerStore::readEntries(Query& q) {
    std::vector<LedgerEntry> entries;
    const Date now = nowDate();
    while (q.step()) {
        LedgerEntry entry;
        entry.id = q->columnText(0);
        entry.accountId = q->columnText(1);
        entry.kind = fromRawValue<TransactionKind>(q->columnText(2)).value_or(TransactionKind::note);
        entry.flag = fromRawValue<LedgerFlag>(q->columnText(3)).value_or(LedgerFlag::none);
        entry.amount = q->columnInt64(4);
        entry.memo = q->columnText(5);
        entry.createdAt = parseStoredDate(q->columnText(6), now);
        entry.updatedAt = parseStoredDate(q->columnText(7), now);
        entry.sequence = q->columnInt64(8);
        entries.push_back(std::move(entry));
    }
    return entries;
}

// Credits add, debits subtract, other kinds add nothing; summed exactly and
// clamped to 64 bits only at the end.
std::int64_t LedgerStore::knownBalance(const std::string& accountId) {
    if (!balancesComplete_ && !totalsPassRunning_) {
        loadAllBalances();
    }
    if (const auto known = balances_.find(accountId); known != balances_.end()) {
        return clampToInt64(known->second);
    }
    if (balancesComplete_) {
        return 0; // every id with a row in either table is known; this one has no entries
    }
    // The background pass is not done: this account's own rows, by its index.
    const Int128 sum = accountSum(accountId);
    if (accountExists(accountId)) {
        balances_.emplace(accountId, sum); // kept exact from now on, like the others
    }
    return clampToInt64(sum);
}

LedgerStore::Int128 LedgerStore::accountSum(const std::string& accountId) {
    Query q = query(accountBalanceTermsSql);
    q->bindText(1, accountId);
    Int128 sum = 0;
    while (q.step()) {
        sum += q->columnInt64(0) * static_cast<Int128>(q->columnInt64(1));
    }
    return sum;
}

std::int64_t LedgerStore::knownUnseenCount(const std::string& accountId) {
    if (const auto known = unseenCounts_.find(accountId); known != unseenCounts_.end()) {
        return known->second;
    }
    Query q = query(unseenCountSql);
    q->bindText(1, accountId);
    const std::int64_t count = q.step() ? q->columnInt64(0) : 0;
    // Remembered only for ids the file knows, so the map stays as small as the table.
    if (balances_.contains(accountId)) {
        unseenCounts_.emplace(accountId, count);
    }
    return count;
}

std::vector<LedgerEntry> LedgerStore::readPage(const std::string& accountId, std::int64_t limit,
                                               std::optional<std::int64_t> before) {
    Query q = query(before ? entriesPageBeforeSql : entriesPageSql);
    q->bindText(1, accountId);
    if (before) {
        q->bindInt64(2, *before);
        q->bindInt64(3, limit);
    } else {
        q->bindInt64(2, limit);
    }
    return readEntries(q);
}

void LedgerStore::markSeenNow(const std::string& accountId) {
    Query q = query(markSeenSql);
    q->bindText(1, accountId);
    (void)q.step();
    unseenCounts_.erase(accountId);
}

// One pass over the ledger in file order: far cheaper than one index walk per
// account, whose rows lie scattered across the file.
void LedgerStore::loadAllBalances() {
    std::unordered_map<std::string, Int128> sums;
    {
        Query q = query(allAccountIdsSql);
        while (q.step()) {
            sums.emplace(q->columnText(0), 0);
        }
    }
    Query q = query(allBalanceTermsSql);
    while (q.step()) {
        sums[q->columnText(0)] += q->columnInt64(1) * static_cast<Int128>(q->columnInt64(2));
    }
    balances_ = std::move(sums);
    balancesComplete_ = true;
}

// Drops the totals when another connection changed the file since the last look
// (or when that cannot be told).
void LedgerStore::noticeOtherWriters() {
    std::optional<std::int64_t> version;
    try {
        if (dataVersion_->step()) {
            version = dataVersion_->columnInt64(0);
        }
    } catch (const SQLiteError&) {
        // unknown: treated as changed
    }
    dataVersion_->reset();
    if (!version || version != lastDataVersion_) {
        forgetAllTotals();
    }
    lastDataVersion_ = version;
}

// For when a write's effect cannot be known, or another connection changed the
// file: everything is read again on demand.
void LedgerStore::forgetAllTotals() {
    balances_.clear();
    balancesComplete_ = false;
    unseenCounts_.clear();
    allowUnauthenticated_.reset();
    startingPoints_.reset();
    ++totalsGeneration_;
}

void LedgerStore::noteTouched(const std::string& accountId) {
    if (totalsPassRunning_) {
        touchedDuringPass_.insert(accountId);
    }
}

bool LedgerStore::accountExists(const std::string& id) {
    try {
        Query q = query(accountExistsSql);
        q->bindText(1, id);
        return q.step();
    } catch (...) {
        return false;
    }
}

std::optional<LedgerStore::EntryEffect> LedgerStore::entryEffect(const std::string& entryId) {
    Query q = query(entryEffectSql);
    q->bindText(1, entryId);
    if (!q.step()) {
        return std::nullopt;
    }
    return EntryEffect{q->columnText(0), q->columnInt64(1) * static_cast<Int128>(q->columnInt64(2))};
}

void LedgerStore::adjustBalance(const std::string& accountId, Int128 change) {
    noteTouched(accountId);
    if (const auto known = balances_.find(accountId); known != balances_.end()) {
        known->second += change;
    } else if (balancesComplete_) {
        forgetAllTotals(); // an account that was never read: trust nothing
    }
    // Otherwise it is read when asked for.
}

// ---- Settings ------------------------------------------------------------------

bool LedgerStore::allowUnauthenticated() {
    MutexLock lock(queue_);
    try {
        noticeOtherWriters();
        if (!allowUnauthenticated_) {
            allowUnauthenticated_ = setting(allowUnauthenticatedKey) == "1";
        }
        return *allowUnauthenticated_;
    } catch (...) {
        return false;
    }
}

Result<void> LedgerStore::setAllowUnauthenticated(bool value) {
    MutexLock lock(queue_);
    try {
        allowUnauthenticated_.reset(); // unknown should the write fail
        storeSetting(allowUnauthenticatedKey, value ? "1" : "0");
        allowUnauthenticated_ = value;
        return {};
    } catch (...) {
        return failedTo("cannot store the setting");
    }
}

std::int64_t LedgerStore::startingPoints() {
    MutexLock lock(queue_);
    try {
        noticeOtherWriters();
        if (!startingPoints_) {
            const auto raw = setting(startingPointsKey);
            startingPoints_ = (raw ? parseDecimal(*raw) : std::nullopt).value_or(defaultStartingPoints);
        }
        return *startingPoints_;
    } catch (...) {
        return defaultStartingPoints;
    }
}

Result<void> LedgerStore::setStartingPoints(std::int64_t value) {
    MutexLock lock(queue_);
    try {
        const std::int64_t stored = std::max<std::int64_t>(value, 0);
        startingPoints_.reset();
        storeSetting(startingPointsKey, std::to_string(stored));
        startingPoints_ = stored;
        return {};
    } catch (...) {
        return failedTo("cannot store the setting");
    }
}

// ---- Accounts --------------------------------------------------------------------

std::vector<StoredAccount> LedgerStore::allAccounts() {
    MutexLock lock(queue_);
    try {
        Query q = query(allAccountsSql);
        return readAccounts(q);
    } catch (...) {
        return {};
    }
}

std::optional<StoredAccount> LedgerStore::account(const std::string& id) {
    MutexLock lock(queue_);
    try {
        Query q = query(accountByIdSql);
        q->bindText(1, id);
        auto accounts = readAccounts(q);
        if (accounts.empty()) {
            return std::nullopt;
        }
        return std::move(accounts.front());
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<StoredAccount> LedgerStore::accountByFingerprint(const std::string& fingerprint) {
    MutexLock lock(queue_);
    try {
        Query q = query(accountByFingerprintSql);
        q->bindText(1, fingerprint);
        auto accounts = readAccounts(q);
        if (accounts.empty()) {
            return std::nullopt;
        }
        return std::move(accounts.front());
    } catch (...) {
        return std::nullopt;
    }
}

Result<void> LedgerStore::createCredentialAccount(const std::string& id, const std::string& displayName,
                                                  const std::string& keyHash, const std::string& keySalt,
                                                  const std::optional<std::string>& clientInfoJSON,
                                                  const std::optional<std::string>& openingCreditMemo) {
    MutexLock lock(queue_);
    try {
        ImmediateTransaction transaction(*database_);
        Query q = query(insertAccountSql);
        q->bindText(1, id);
        q->bindText(2, displayName);
        q->bindText(3, std::string(rawValue(IdentityMode::credential)));
        q->bindText(4, keyHash);
        q->bindText(5, keySalt);
        q->bindOptionalText(6, clientInfoJSON);
        q->bindOptionalText(7, std::nullopt);
        q->bindText(8, formatIsoDate(nowDate()));
        (void)q.step();
        const std::int64_t opening = openingCreditMemo ? writeOpeningCredit(id, *openingCreditMemo) : 0;
        transaction.commit();
        unseenCounts_.erase(id);
        noteTouched(id);
        if (balancesComplete_) {
            balances_.emplace(id, opening);
        }
        return {};
    } catch (...) {
        return failedTo("cannot create the account");
    }
}

Result<void> LedgerStore::createClientInfoAccount(const std::string& id, const std::string& displayName,
                                                  const std::string& fingerprint,
                                                  const std::optional<std::string>& clientInfoJSON,
                                                  const std::optional<std::string>& openingCreditMemo) {
    MutexLock lock(queue_);
    try {
        ImmediateTransaction transaction(*database_);
        Query q = query(insertAccountSql);
        q->bindText(1, id);
        q->bindText(2, displayName);
        q->bindText(3, std::string(rawValue(IdentityMode::clientInfo)));
        q->bindOptionalText(4, std::nullopt);
        q->bindOptionalText(5, std::nullopt);
        q->bindOptionalText(6, clientInfoJSON);
        q->bindText(7, fingerprint);
        q->bindText(8, formatIsoDate(nowDate()));
        (void)q.step();
        const std::int64_t opening = openingCreditMemo ? writeOpeningCredit(id, *openingCreditMemo) : 0;
        transaction.commit();
        unseenCounts_.erase(id);
        noteTouched(id);
        if (balancesComplete_) {
            balances_.emplace(id, opening);
        }
        return {};
    } catch (...) {
        return failedTo("cannot create the account");
    }
}

void LedgerStore::updateAccountClientInfo(const std::string& id, const std::string& clientInfoJSON,
                                          const std::optional<std::string>& displayName) {
    MutexLock lock(queue_);
    try {
        Query q = query(displayName ? updateClientInfoAndNameSql : updateClientInfoSql);
        q->bindText(1, id);
        q->bindText(2, clientInfoJSON);
        if (displayName) {
            q->bindText(3, *displayName);
        }
        (void)q.step();
    } catch (...) {
        // nothing to answer
    }
}

Result<void> LedgerStore::renameAccount(const std::string& id, const std::string& displayName) {
    MutexLock lock(queue_);
    try {
        Query q = query(renameAccountSql);
        q->bindText(1, id);
        q->bindText(2, displayName);
        (void)q.step();
        return {};
    } catch (...) {
        return failedTo("cannot rename the account");
    }
}

Result<void> LedgerStore::deleteAccount(const std::string& id) {
    MutexLock lock(queue_);
    try {
        Query q = query(deleteAccountSql);
        q->bindText(1, id);
        (void)q.step();
        // Its entries went with it.
        noteTouched(id);
        balances_.erase(id);
        unseenCounts_.erase(id);
        return {};
    } catch (...) {
        return failedTo("cannot delete the account");
    }
}

void LedgerStore::markSeen(const std::string& accountId) {
    MutexLock lock(queue_);
    try {
        markSeenNow(accountId);
    } catch (...) {
        // nothing to answer
    }
}

// ---- Balances and entries ------------------------------------------------------------

std::int64_t LedgerStore::balance(const std::string& accountId) {
    MutexLock lock(queue_);
    try {
        noticeOtherWriters();
        return knownBalance(accountId);
    } catch (...) {
        return 0;
    }
}

std::int64_t LedgerStore::unseenCount(const std::string& accountId) {
    MutexLock lock(queue_);
    try {
        noticeOtherWriters();
        return knownUnseenCount(accountId);
    } catch (...) {
        return 0;
    }
}

std::vector<LedgerEntry> LedgerStore::entries(const std::string& accountId, std::int64_t limit,
                                              std::optional<std::int64_t> before) {
    MutexLock lock(queue_);
    try {
        return readPage(accountId, limit, before);
    } catch (...) {
        return {};
    }
}

LedgerStore::AgentFigures LedgerStore::agentFigures(const std::string& accountId) {
    MutexLock lock(queue_);
    AgentFigures figures;
    try {
        noticeOtherWriters();
    } catch (...) {
        // answered below from the file
    }
    try {
        figures.balance = knownBalance(accountId);
    } catch (...) {
        figures.balance = 0;
    }
    try {
        figures.unseenCount = knownUnseenCount(accountId);
    } catch (...) {
        figures.unseenCount = 0;
    }
    return figures;
}

LedgerStore::TransactionsPage LedgerStore::transactionsPage(const std::string& accountId, std::int64_t limit,
                                                            std::optional<std::int64_t> before) {
    MutexLock lock(queue_);
    TransactionsPage page;
    try {
        noticeOtherWriters();
    } catch (...) {
        // answered below from the file
    }
    bool anyUnseen = true; // when the count cannot be told, the mark is written
    try {
        page.unseenCount = knownUnseenCount(accountId);
        anyUnseen = page.unseenCount > 0;
    } catch (...) {
        page.unseenCount = 0;
    }
    try {
        page.entries = readPage(accountId, limit, before);
    } catch (...) {
        page.entries.clear();
    }
    try {
        page.balance = knownBalance(accountId);
    } catch (...) {
        page.balance = 0;
    }
    // With nothing unseen the mark already lies at or past every entry (a
    // later one gets a higher sequence number): setting it again would take
    // the write lock and a transaction on every read.
    if (anyUnseen) {
        try {
            markSeenNow(accountId);
        } catch (...) {
            // nothing to answer
        }
    }
    return page;
}

// ---- Totals --------------------------------------------------------------------------

void LedgerStore::buildTotalsInBackground() {
    {
        MutexLock lock(queue_);
        if (totalsPassRunning_ || balancesComplete_ || totalsPass_.joinable()) {
            return;
        }
        totalsPassRunning_ = true;
    }
    try {
        totalsPass_ = std::thread([this] { runTotalsPass(); });
    } catch (const std::system_error&) {
        MutexLock lock(queue_);
        totalsPassRunning_ = false; // no thread to spare: the first balance reads them all
    }
}

bool LedgerStore::totalsReady() {
    MutexLock lock(queue_);
    return balancesComplete_;
}

// The background pass. Its read transaction begins while the queue is held, so
// it sees exactly the writes made before; writes made after are in
// touchedDuringPass_ when the pass is taken in.
void LedgerStore::runTotalsPass() {
    sqlite3* reader = nullptr;
    std::uint64_t generation = 0;
    bool began = false;
    if (sqlite3_open_v2(path_.c_str(), &reader, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) ==
        SQLITE_OK) {
        sqlite3_busy_timeout(reader, 3000);
        MutexLock lock(queue_);
        try {
            noticeOtherWriters();
        } catch (...) {
            // a failed look drops the totals, which bumps the generation
        }
        generation = totalsGeneration_;
        touchedDuringPass_.clear();
        began =
            sqlite3_exec(reader, "BEGIN; SELECT COUNT(*) FROM meta;", nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    std::unordered_map<std::string, Int128> sums;
    bool complete = began;
    for (const char* sql : {allAccountIdsSql, allBalanceTermsSql}) {
        sqlite3_stmt* statement = nullptr;
        if (!complete || sqlite3_prepare_v2(reader, sql, -1, &statement, nullptr) != SQLITE_OK) {
            complete = false;
            break;
        }
        const bool terms = sql == allBalanceTermsSql;
        int result = SQLITE_ROW;
        for (std::uint32_t row = 0; (result = sqlite3_step(statement)) == SQLITE_ROW; ++row) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            std::string id(text != nullptr ? text : "",
                           static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
            if (terms) {
                sums[std::move(id)] += sqlite3_column_int64(statement, 1) *
                                       static_cast<Int128>(sqlite3_column_int64(statement, 2));
            } else {
                sums.emplace(std::move(id), 0);
            }
            if (row % 4096 == 0 && stopTotalsPass_.load()) {
                break;
            }
        }
        complete = result == SQLITE_DONE;
        sqlite3_finalize(statement);
    }
    sqlite3_close(reader); // ends the read transaction

    MutexLock lock(queue_);
    totalsPassRunning_ = false;
    try {
        noticeOtherWriters();
    } catch (...) {
        // a failed look drops the totals, which bumps the generation
    }
    if (!complete || generation != totalsGeneration_ || balancesComplete_) {
        touchedDuringPass_.clear();
        return;
    }
    try {
        // What is known now is exact; the accounts written meanwhile and not
        // known are read again.
        for (const std::string& id : touchedDuringPass_) {
            if (!balances_.contains(id)) {
                const Int128 sum = accountSum(id);
                if (sum != 0 || accountExists(id)) {
                    sums[id] = sum;
                } else {
                    sums.erase(id);
                }
            }
        }
    } catch (...) {
        touchedDuringPass_.clear();
        return; // left to be read when asked for
    }
    for (const auto& [id, sum] : balances_) {
        sums[id] = sum;
    }
    touchedDuringPass_.clear();
    balances_ = std::move(sums);
    balancesComplete_ = true;
}

std::vector<LedgerEntry> LedgerStore::allEntries(std::int64_t limit) {
    MutexLock lock(queue_);
    try {
        Query q = query(allEntriesSql);
        q->bindInt64(1, limit);
        return readEntries(q);
    } catch (...) {
        return {};
    }
}

Result<LedgerEntry> LedgerStore::appendEntry(const NewLedgerEntry& entry) {
    MutexLock lock(queue_);
    try {
        ImmediateTransaction transaction(*database_);
        if (!accountExists(entry.accountId)) {
            return fail("there is no account " + entry.accountId);
        }
        const auto sequence = nextSequence();
        if (!sequence) {
            return fail("the ledger's sequence numbers are used up");
        }
        const Date now = nowDate();
        LedgerEntry stored{newUuidString(), entry.accountId, entry.kind, entry.flag,
                           entry.amount,    entry.memo,      now,        now,
                           *sequence};
        Query q = query(insertEntrySql);
        q->bindText(1, stored.id);
        q->bindText(2, stored.accountId);
        q->bindText(3, std::string(rawValue(stored.kind)));
        q->bindText(4, std::string(rawValue(stored.flag)));
        q->bindInt64(5, stored.amount);
        q->bindText(6, stored.memo);
        q->bindText(7, formatIsoDate(now));
        q->bindInt64(8, stored.sequence);
        (void)q.step();
        transaction.commit();
        unseenCounts_.erase(stored.accountId);
        adjustBalance(stored.accountId, balanceSign(stored.kind) * static_cast<Int128>(stored.amount));
        return stored;
    } catch (...) {
        return failedTo("cannot record the entry");
    }
}

std::optional<LedgerEntry> LedgerStore::insertEntry(const NewLedgerEntry& entry) {
    Result<LedgerEntry> appended = appendEntry(entry);
    if (!appended) {
        return std::nullopt;
    }
    return std::move(appended).value();
}

Result<void> LedgerStore::updateEntry(const LedgerEntry& entry) {
    MutexLock lock(queue_);
    try {
        std::optional<EntryEffect> before;
        try {
            before = entryEffect(entry.id);
        } catch (...) {
            forgetAllTotals(); // the old effect is unknown
        }
        Query q = query(updateEntrySql);
        q->bindText(1, entry.id);
        q->bindText(2, std::string(rawValue(entry.kind)));
        q->bindText(3, std::string(rawValue(entry.flag)));
        q->bindInt64(4, entry.amount);
        q->bindText(5, entry.memo);
        q->bindText(6, formatIsoDate(nowDate()));
        (void)q.step();
        if (before) {
            // The owner never changes; only the entry's own effect does.
            adjustBalance(before->accountId,
                          balanceSign(entry.kind) * static_cast<Int128>(entry.amount) - before->change);
        }
        return {};
    } catch (...) {
        return failedTo("cannot change the entry");
    }
}

Result<void> LedgerStore::deleteEntry(const std::string& id) {
    MutexLock lock(queue_);
    try {
        std::optional<EntryEffect> before;
        try {
            before = entryEffect(id);
        } catch (...) {
            forgetAllTotals();
        }
        Query q = query(deleteEntrySql);
        q->bindText(1, id);
        (void)q.step();
        if (before) {
            unseenCounts_.erase(before->accountId);
            adjustBalance(before->accountId, -before->change);
        }
        return {};
    } catch (...) {
        return failedTo("cannot delete the entry");
    }
}

} // namespace quorvane
