#include "host/core/LedgerBackup.h"

#include <cerrno>
#include <cstdio>
#include <sqlite3.h>
#include <string_view>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane::LedgerBackup {
namespace {

// How long the copy waits for the ledger's locks, all told.
constexpr int busyTimeoutMs = 3000;
constexpr int busyRetries = 300;
constexpr int busyRetryPauseMs = 10;

std::string errnoText(int code) {
    return std::system_category().message(code);
}

// One connection, closed when it goes.
class Connection {
public:
    Connection() = default;
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    [[nodiscard]] Result<void> open(const std::string& path, int flags) {
        const int rc = sqlite3_open_v2(path.c_str(), &handle_, flags, nullptr);
        if (rc != SQLITE_OK) {
            std::string reason = handle_ != nullptr ? sqlite3_errmsg(handle_) : sqlite3_errstr(rc);
            close();
            return fail(std::move(reason));
        }
        sqlite3_busy_timeout(handle_, busyTimeoutMs);
        return {};
    }

    void close() {
        if (handle_ != nullptr) {
            sqlite3_close_v2(handle_);
            handle_ = nullptr;
        }
    }

    [[nodiscard]] sqlite3* get() const { return handle_; }
    [[nodiscard]] std::string error() const { return sqlite3_errmsg(handle_); }

    // The first column of the first row of a one-statement text, or the error.
    [[nodiscard]] Result<std::string> firstText(const char* sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle_, sql, -1, &statement, nullptr) != SQLITE_OK) {
            return fail(error());
        }
        std::string text;
        const int rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            const unsigned char* value = sqlite3_column_text(statement, 0);
            text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
        }
        Result<std::string> result = (rc == SQLITE_ROW || rc == SQLITE_DONE)
                                         ? Result<std::string>(text)
                                         : Result<std::string>(fail(error()));
        sqlite3_finalize(statement);
        return result;
    }

private:
    sqlite3* handle_ = nullptr;
};

// The temporary copy and whatever SQLite put beside it, removed unless kept.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!kept_) {
            for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
                (void)::unlink((path_ + suffix).c_str());
            }
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    [[nodiscard]] const std::string& path() const { return path_; }
    void keep() { kept_ = true; }

private:
    std::string path_;
    bool kept_ = false;
};

std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

bool sameFolder(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

Result<void> checkTarget(const std::string& ledgerPath, const std::string& target, bool force) {
    if (target.empty() || target.front() != '/') {
        return fail("The backup path must be absolute.");
    }
    if (target.find('\0') != std::string::npos) {
        return fail("The backup path holds a NUL character.");
    }
    if (target.size() > maxPathBytes) {
        return fail("The backup path is too long.");
    }
    if (target.back() == '/') {
        return fail("The backup path names a folder, not a file.");
    }
    const auto [folder, name] = splitPath(target);
    const auto [ledgerFolder, ledgerName] = splitPath(ledgerPath);
    if (sameFolder(folder, ledgerFolder)) {
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
            if (name == ledgerName + suffix) {
                return fail("The backup path is the live ledger's own file.");
            }
        }
    }
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) == 0) {
        if (!force) {
            return fail("A file already exists at " + target + "; it was left alone (force replaces it).");
        }
        if (!S_ISREG(existing.st_mode)) {
            return fail("Cannot write the backup to " + target + ": something other than a file is there.");
        }
    } else if (errno != ENOENT) {
        return fail("Cannot write the backup to " + target + ": " + errnoText(errno) + ".");
    }
    return {};
}

Result<void> copyInto(const std::string& ledgerPath, const std::string& copyPath) {
    Connection source;
    if (auto opened = source.open(ledgerPath, SQLITE_OPEN_READONLY); !opened) {
        return fail("Cannot read the ledger: " + opened.error().message + ".");
    }
    Connection copy;
    if (auto opened = copy.open(copyPath, SQLITE_OPEN_READWRITE); !opened) {
        return fail("Cannot write the backup: " + opened.error().message + ".");
    }
    sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", source.get(), "main");
    if (backup == nullptr) {
        return fail("Cannot start the backup: " + copy.error() + ".");
    }
    // All pages in one step: one read transaction, so one committed state.
    int rc = SQLITE_OK;
    for (int attempt = 0; attempt < busyRetries; ++attempt) {
        rc = sqlite3_backup_step(backup, -1);
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) {
            break;
        }
        sqlite3_sleep(busyRetryPauseMs);
    }
    const int finished = sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE || finished != SQLITE_OK) {
        return fail("The copy failed: " + std::string(sqlite3_errstr(rc != SQLITE_DONE ? rc : finished)) +
                    ".");
    }
    source.close();
    // A backup is one self-contained file.
    auto mode = copy.firstText("PRAGMA journal_mode=DELETE;");
    if (!mode || *mode != "delete") {
        return fail("Cannot finish the backup file: " + (mode ? *mode : mode.error().message) + ".");
    }
    copy.close();

    Connection check;
    if (auto opened = check.open(copyPath, SQLITE_OPEN_READONLY); !opened) {
        return fail("Cannot check the backup: " + opened.error().message + ".");
    }
    auto verdict = check.firstText("PRAGMA integrity_check;");
    if (!verdict) {
        return fail("The backup failed its integrity check: " + verdict.error().message + ".");
    }
    if (*verdict != "ok") {
        return fail("The backup failed its integrity check: " + *verdict);
    }
    return {};
}

Result<void> flush(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        return fail(errnoText(errno));
    }
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!synced) {
        return fail(errnoText(error));
    }
    return {};
}

// Moves the finished copy into place; without `force` never over anything.
Result<void> publish(const std::string& from, const std::string& to, bool force) {
    if (force) {
        if (::rename(from.c_str(), to.c_str()) != 0) {
            return fail("Cannot write the backup to " + to + ": " + errnoText(errno) + ".");
        }
        return {};
    }
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return {};
    }
    int error = errno;
    if (error == EINVAL || error == ENOSYS) {
        // A file system without the flag: a hard link refuses an existing name too.
        if (::link(from.c_str(), to.c_str()) == 0) {
            (void)::unlink(from.c_str());
            return {};
        }
        error = errno;
    }
    if (error == EEXIST) {
        return fail("A file already exists at " + to + "; it was left alone (force replaces it).");
    }
    return fail("Cannot write the backup to " + to + ": " + errnoText(error) + ".");
}

} // namespace

Result<void> copyLedger(const std::string& ledgerPath, const std::string& targetPath, bool force) {
    if (auto checked = checkTarget(ledgerPath, targetPath, force); !checked) {
        return checked;
    }
    const auto [folder, name] = splitPath(targetPath);
    std::string pattern = folder + (folder == "/" ? "" : "/") + "." + name + ".partial-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        return fail("Cannot write the backup to " + targetPath + ": " + errnoText(errno) + ".");
    }
    ::close(fd);
    TemporaryFile temporary(pattern);
    if (auto copied = copyInto(ledgerPath, temporary.path()); !copied) {
        return copied;
    }
    if (auto flushed = flush(temporary.path(), O_RDONLY); !flushed) {
        return fail("Cannot write the backup to " + targetPath + ": " + flushed.error().message + ".");
    }
    if (auto published = publish(temporary.path(), targetPath, force); !published) {
        return published;
    }
    temporary.keep();
    // The new name lasts once its folder is on disk too.
    (void)flush(folder, O_RDONLY | O_DIRECTORY);
    return {};
}

} // namespace quorvane::LedgerBackup
