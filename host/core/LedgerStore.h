#pragma once

// The host's only gateway to the ledger database.
//
// Threading: every public operation runs to completion under one mutex (the
// store's serial queue), so operations never interleave; any thread may call
// any operation and blocks until the answer is there. The store never calls
// out, so callers may hold their own locks while calling it.
//
// Errors: only construction throws (SQLiteError). Writes answer a Result whose
// error says what could not be done and why; reads absorb database failures
// and answer the neutral value documented beside them.
//
// Several stores (and other programs) may open one file: each new entry takes
// its sequence number and is inserted in one BEGIN IMMEDIATE transaction, so no
// number is handed out twice.
//
// Memory: the two settings, every account's balance and the unseen counts asked
// for are kept in memory and kept exact by the store's own writes. Each public
// operation first asks the file once whether another connection (another
// program, a person with the sqlite3 shell) committed a change since the last
// look ("PRAGMA data_version"); if so, everything kept is dropped and read again.
// Statements other than that one are prepared afresh for each use.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/Records.h"
#include "common/Result.h"
#include "common/ThreadSafety.h"

namespace quorvane {

class SQLiteDatabase;
class SQLiteStatement;

// One row of the account table.
struct StoredAccount {
    std::string id;
    std::string displayName;
    IdentityMode identityMode = IdentityMode::clientInfo;
    std::optional<std::string> keyHash;
    std::optional<std::string> keySalt;
    std::optional<std::string> clientInfoJSON;
    std::optional<std::string> clientInfoFingerprint;
    Date createdAt;
    std::int64_t lastSeenSequence = 0;

    bool operator==(const StoredAccount&) const = default;
};

class LedgerStore {
public:
    // Opens or creates the database at `path`, applies the schema and seeds the
    // default settings. Throws SQLiteError when any of that fails.
    explicit LedgerStore(const std::string& path);
    // Stops a running build of the totals first (see buildTotalsInBackground).
    ~LedgerStore();

    LedgerStore(const LedgerStore&) = delete;
    LedgerStore& operator=(const LedgerStore&) = delete;

    // ---- Settings ----
    [[nodiscard]] bool allowUnauthenticated(); // false on failure
    [[nodiscard]] Result<void> setAllowUnauthenticated(bool value);
    [[nodiscard]] std::int64_t startingPoints();                      // 50000 on failure
    [[nodiscard]] Result<void> setStartingPoints(std::int64_t value); // negatives stored as 0

    // ---- Accounts ----
    [[nodiscard]] std::vector<StoredAccount> allAccounts(); // oldest first; empty on failure
    [[nodiscard]] std::optional<StoredAccount> account(const std::string& id); // absent on failure
    [[nodiscard]] std::optional<StoredAccount> accountByFingerprint(const std::string& fingerprint);
    // Fails for a duplicate id or any database failure. With an opening credit
    // memo, the account's opening credit is written in the same transaction:
    // the starting points as they stand then, when positive, already seen.
    // Either both are stored or neither.
    [[nodiscard]] Result<void>
    createCredentialAccount(const std::string& id, const std::string& displayName, const std::string& keyHash,
                            const std::string& keySalt, const std::optional<std::string>& clientInfoJSON,
                            const std::optional<std::string>& openingCreditMemo = {});
    [[nodiscard]] Result<void>
    createClientInfoAccount(const std::string& id, const std::string& displayName,
                            const std::string& fingerprint, const std::optional<std::string>& clientInfoJSON,
                            const std::optional<std::string>& openingCreditMemo = {});
    // Any failure is dropped.
    void updateAccountClientInfo(const std::string& id, const std::string& clientInfoJSON,
                                 const std::optional<std::string>& displayName);
    // An id without a row still succeeds.
    [[nodiscard]] Result<void> renameAccount(const std::string& id, const std::string& displayName);
    [[nodiscard]] Result<void> deleteAccount(const std::string& id);
    void markSeen(const std::string& accountId);

    // ---- Balances and entries ----
    [[nodiscard]] std::int64_t balance(const std::string& accountId);     // 0 on failure
    [[nodiscard]] std::int64_t unseenCount(const std::string& accountId); // 0 on failure
    // Newest first; `before` is an exclusive sequence cursor. Empty on failure.
    [[nodiscard]] std::vector<LedgerEntry> entries(const std::string& accountId, std::int64_t limit,
                                                   std::optional<std::int64_t> before);
    [[nodiscard]] std::vector<LedgerEntry> allEntries(std::int64_t limit);
    // The stored entry (its in-memory times keep their fractions), with the
    // next sequence number: max(counter, highest stored sequence) + 1, taken and
    // used in one transaction. Fails when the account does not exist, the
    // numbers are used up or anything failed; then nothing was written.
    [[nodiscard]] Result<LedgerEntry> appendEntry(const NewLedgerEntry& entry);
    // appendEntry without the reason, for the engine's call sites.
    [[nodiscard]] std::optional<LedgerEntry> insertEntry(const NewLedgerEntry& entry);
    // An id without a row still succeeds.
    [[nodiscard]] Result<void> updateEntry(const LedgerEntry& entry);
    [[nodiscard]] Result<void> deleteEntry(const std::string& id);

    // ---- An agent's reads, each in one operation ----
    struct AgentFigures {
        std::int64_t balance = 0;
        std::int64_t unseenCount = 0;
        bool operator==(const AgentFigures&) const = default;
    };
    // balance() and unseenCount() of the account together.
    [[nodiscard]] AgentFigures agentFigures(const std::string& accountId);

    struct TransactionsPage {
        std::int64_t balance = 0;
        std::int64_t unseenCount = 0; // before the page was marked seen
        std::vector<LedgerEntry> entries;
    };
    // unseenCount(), entries(), balance() and markSeen() of the account, in this
    // order, without another operation in between. Each part fails on its own
    // as the single operation does (0, empty, nothing marked).
    [[nodiscard]] TransactionsPage transactionsPage(const std::string& accountId, std::int64_t limit,
                                                    std::optional<std::int64_t> before);

    // ---- Totals ----
    // Starts reading every account's balance in one pass over the ledger, on a
    // thread and a read-only connection of the store's own, so that no
    // operation waits for it (about half a second at a million entries). Until
    // it is done a balance is read with the account's own indexed query; the
    // store's writes meanwhile are accounted for when the pass is taken in. A
    // change by another connection during the pass discards it; balances are
    // then read in one pass at the first one asked for, as without this call.
    // At most one pass runs; later calls while one runs do nothing.
    void buildTotalsInBackground() QUORVANE_EXCLUDES(queue_);
    // Whether every account's balance is held in memory. For tests and benchmarks.
    [[nodiscard]] bool totalsReady() QUORVANE_EXCLUDES(queue_);

private:
    friend struct LedgerStoreTestAccess; // defined by the store's tests only

    // Test seam: consulted before every statement is prepared and stepped; a
    // non-zero answer is taken as that SQLite result code and fails the call.
    enum class FaultPoint { prepare, step };
    using FaultHook = std::function<int(FaultPoint, std::string_view sql)>;

    class Query;
    struct EntryEffect;
    // Wide enough to sum any number of 64-bit amounts without overflow.
    __extension__ typedef __int128 Int128;

    [[nodiscard]] Query query(const char* sql) QUORVANE_REQUIRES(queue_);
    void seedDefaults() QUORVANE_REQUIRES(queue_);
    [[nodiscard]] std::optional<std::string> setting(const char* key) QUORVANE_REQUIRES(queue_);
    void storeSetting(const char* key, const std::string& value) QUORVANE_REQUIRES(queue_);
    [[nodiscard]] std::optional<std::int64_t> nextSequence() QUORVANE_REQUIRES(queue_);
    [[nodiscard]] std::int64_t writeOpeningCredit(const std::string& accountId, const std::string& memo)
        QUORVANE_REQUIRES(queue_);
    [[nodiscard]] std::vector<StoredAccount> readAccounts(Query& query) QUORVANE_REQUIRES(queue_);
    [[nodiscard]] std::vector<LedgerEntry> readEntries(Query& query) QUORVANE_REQUIRES(queue_);
    [[nodiscard]] std::int64_t knownBalance(const std::string& accountId) QUORVANE_REQUIRES(queue_);
    [[nodiscard]] std::int64_t knownUnseenCount(const std::string& accountId) QUORVANE_REQUIRES(queue_);
    [[nodiscard]] std::vector<LedgerEntry> readPage(const std::string& accountId, std::int64_t limit,
                                                    std::optional<std::int64_t> before)
        QUORVANE_REQUIRES(queue_);
    void markSeenNow(const std::string& accountId) QUORVANE_REQUIRES(queue_);
    [[nodiscard]] Int128 accountSum(const std::string& accountId) QUORVANE_REQUIRES(queue_);
    void loadAllBalances() QUORVANE_REQUIRES(queue_);
    void forgetAllTotals() QUORVANE_REQUIRES(queue_);
    void noticeOtherWriters() QUORVANE_REQUIRES(queue_);
    void noteTouched(const std::string& accountId) QUORVANE_REQUIRES(queue_);
    void runTotalsPass() QUORVANE_EXCLUDES(queue_);
    [[nodiscard]] bool accountExists(const std::string& id) QUORVANE_REQUIRES(queue_);
    [[nodiscard]] std::optional<EntryEffect> entryEffect(const std::string& entryId)
        QUORVANE_REQUIRES(queue_);
    void adjustBalance(const std::string& accountId, Int128 change) QUORVANE_REQUIRES(queue_);

    // The serial queue: held for the whole of every public operation.
    Mutex queue_;
    const std::string path_;
    // Set by the constructor and never replaced; used only under `queue_`.
    const std::unique_ptr<SQLiteDatabase> database_;
    FaultHook faultHook_ QUORVANE_GUARDED_BY(queue_);
    // Totals held in memory, so that an agent's balance and a snapshot need no
    // scan of the ledger. The store is the only writer of the file while it is
    // open, and every write it makes keeps these exact (or forgets them).
    //
    // Exact balance sums (credits minus debits, in 128 bits): of every account
    // id found in the file once `balancesComplete_` (read in one pass, by the
    // background pass or at the first balance asked for); while a background
    // pass runs, of the accounts asked for so far.
    std::unordered_map<std::string, Int128> balances_ QUORVANE_GUARDED_BY(queue_);
    bool balancesComplete_ QUORVANE_GUARDED_BY(queue_) = false;
    // The background pass: whether it runs, the accounts the store's own writes
    // changed since it began, and a count bumped whenever the totals are
    // dropped (a pass that began under another count is discarded).
    bool totalsPassRunning_ QUORVANE_GUARDED_BY(queue_) = false;
    std::unordered_set<std::string> touchedDuringPass_ QUORVANE_GUARDED_BY(queue_);
    std::uint64_t totalsGeneration_ QUORVANE_GUARDED_BY(queue_) = 0;
    std::atomic<bool> stopTotalsPass_{false};
    std::thread totalsPass_; // started and joined only by the owner's thread
    // The settings, once read.
    std::optional<bool> allowUnauthenticated_ QUORVANE_GUARDED_BY(queue_);
    std::optional<std::int64_t> startingPoints_ QUORVANE_GUARDED_BY(queue_);
    // Unseen counts of accounts asked for since their last change.
    std::unordered_map<std::string, std::int64_t> unseenCounts_ QUORVANE_GUARDED_BY(queue_);
    // "PRAGMA data_version", kept compiled for the store's life (it is asked
    // once by each public operation): when another connection, say a person
    // with the sqlite3 shell, commits a change, the totals and settings are dropped.
    std::unique_ptr<SQLiteStatement> dataVersion_ QUORVANE_GUARDED_BY(queue_);
    std::optional<std::int64_t> lastDataVersion_ QUORVANE_GUARDED_BY(queue_);
};

} // namespace quorvane
