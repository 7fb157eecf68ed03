#pragma once

// The operator's paged reads of the ledger: one account's history and the
// whole ledger for an export.
//
// Unlike the store's reads, which answer neutral values when the file fails,
// these report the failure: an empty page would otherwise tell the operator
// that an account's first entry or the end of an export was reached.
//
// The reader has a connection of its own to the ledger file, opened at the
// first read and kept; in write-ahead-log mode each page is read from one
// committed state and never waits for the store's writers, nor they for it.
//
// Threading: any thread; reads are serialised by the reader's own lock, which
// is held only for one page. The reader never calls out.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Records.h"
#include "common/Result.h"
#include "common/ThreadSafety.h"
#include "host/core/LedgerStore.h"

namespace quorvane {

class SQLiteDatabase;

class LedgerReader {
public:
    // Nothing is opened until the first read.
    explicit LedgerReader(std::string path);
    ~LedgerReader();

    LedgerReader(const LedgerReader&) = delete;
    LedgerReader& operator=(const LedgerReader&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }

    // One account's entries with a sequence below `before` (all when absent),
    // newest first, at most `limit`.
    [[nodiscard]] Result<std::vector<LedgerEntry>>
    accountEntries(const std::string& accountId, std::optional<std::int64_t> before, std::int64_t limit);
    // Every account's entries with a sequence above `after` (all when absent),
    // oldest first, at most `limit`.
    [[nodiscard]] Result<std::vector<LedgerEntry>> entriesAfter(std::optional<std::int64_t> after,
                                                                std::int64_t limit);
    // An account as exported, with its number of entries above its last seen
    // sequence (those its agent has not read), counted in the same read.
    struct AccountRow {
        StoredAccount account;
        std::int64_t unseenCount = 0;
    };
    // Accounts with an id above `after` (all when absent), in byte order of
    // their ids, at most `limit`. Key hash and salt are not read.
    [[nodiscard]] Result<std::vector<AccountRow>> accountsAfter(const std::optional<std::string>& after,
                                                                std::int64_t limit);
    [[nodiscard]] Result<bool> accountExists(const std::string& id);

private:
    [[nodiscard]] SQLiteDatabase& database() QUORVANE_REQUIRES(lock_);

    const std::string path_;
    Mutex lock_;
    std::unique_ptr<SQLiteDatabase> database_ QUORVANE_GUARDED_BY(lock_);
};

} // namespace quorvane
