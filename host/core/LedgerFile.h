#pragma once

// The ledger's files on disk, guarded before the store touches them: the data
// folder that holds them, the lock that keeps one host per ledger, and the
// check that a file about to be opened as the ledger is one.
//
// Every file this creates is private: folders 0700, files 0600.
//
// Threading: the functions take no locks and are meant for start-up, before
// other threads exist (openLedgerDatabase changes the process's umask for the
// duration of the open).

#include <memory>
#include <optional>
#include <string>

#include "common/Result.h"

namespace quorvane {

class SQLiteDatabase;

// What preparing the data folder did, for the host to report.
struct DataFolderReport {
    // Set when an existing folder of ours was open to group or others and has
    // been tightened to 0700: one line saying so, without a line feed.
    std::optional<std::string> note;
};

// Makes `folder` a private folder of this user: created with mode 0700 when
// missing (its parent must exist); an existing one owned by us with group or
// other permission bits is set to 0700. Fails, changing nothing, when the
// path is not a folder or belongs to another user; the error message names
// the folder and the reason.
[[nodiscard]] Result<DataFolderReport> prepareDataFolder(const std::string& folder);

// The exclusive hold one host has on the ledger of a data folder: an flock on
// `ledger.lock` (mode 0600) in that folder, kept for the object's lifetime.
// Independent of the runtime folder's single-host lock, so it still holds
// when the runtime folder is removed under a running host. Not copyable;
// acquire hands it out owned by a unique_ptr.
class LedgerLock {
public:
    static constexpr const char* fileName = "ledger.lock";

    enum class Status {
        acquired,
        heldByAnother, // another process (or another open of the file) holds it
        failed,        // the lock file cannot be opened or locked
    };
    struct Outcome {
        Status status = Status::failed;
        std::unique_ptr<LedgerLock> lock; // set when acquired
        std::string error;                // when failed: what went wrong, with the path
    };

    // Takes the lock without waiting.
    [[nodiscard]] static Outcome acquire(const std::string& folder);

    ~LedgerLock();
    LedgerLock(const LedgerLock&) = delete;
    LedgerLock& operator=(const LedgerLock&) = delete;

private:
    explicit LedgerLock(int fd) : fd_(fd) {}
    int fd_;
};

// Whether the file at `path` may be opened as the ledger, decided without
// changing it: a missing or empty file, or an SQLite database whose tables and
// views are all the ledger's own, each with at least the ledger schema's
// columns. Throws SQLiteError when SQLite cannot read the file (with SQLite's
// code and text) or when the file is not a ledger (code SQLITE_NOTADB, with a
// message naming the first offending table or column).
void checkLedgerFile(const std::string& path);

// Opens the ledger at `path` for the store: checkLedgerFile first, then the
// connection (SQLiteDatabase), created under umask 077 so that the file and
// the -wal and -shm files SQLite makes beside it are 0600. Throws SQLiteError.
[[nodiscard]] std::unique_ptr<SQLiteDatabase> openLedgerDatabase(const std::string& path);

} // namespace quorvane
