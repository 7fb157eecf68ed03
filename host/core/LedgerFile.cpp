#include "host/core/LedgerFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/core/SQLite.h"

namespace quorvane {

namespace {

std::string errnoText(int error) {
    return std::strerror(error);
}

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Closes a descriptor when it goes out of scope.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

// A name from a foreign file, quoted and kept on one line.
std::string quoted(std::string name) {
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return "\"" + name + "\"";
}

// Table and view names (SQLite's own left out) with their column names.
using Tables = std::map<std::string, std::set<std::string>>;

SQLiteError lastError(sqlite3* db) {
    return makeSQLiteError(sqlite3_errcode(db), sqlite3_errmsg(db), "cannot read the ledger file");
}

// Runs a query whose rows have one text column; the texts, in order.
std::vector<std::string> textColumn(sqlite3* db, const char* sql, const std::string* parameter = nullptr) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        throw lastError(db);
    }
    SQLiteStatement statement(raw, db);
    if (parameter != nullptr) {
        statement.bindText(1, *parameter);
    }
    std::vector<std::string> texts;
    while (statement.step()) {
        texts.push_back(statement.columnText(0));
    }
    return texts;
}

Tables readTables(sqlite3* db) {
    Tables tables;
    for (auto& name : textColumn(db, "SELECT name FROM sqlite_schema WHERE type IN ('table', 'view') "
                                     "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name;")) {
        const auto columns = textColumn(db, "SELECT name FROM pragma_table_info(?1);", &name);
        tables.emplace(std::move(name), std::set<std::string>(columns.begin(), columns.end()));
    }
    return tables;
}

// What the ledger schema makes, read back from a private in-memory database.
const Tables& ledgerTables() {
    static const Tables tables = [] {
        SQLiteDatabase memory(":memory:");
        memory.execute(ledgerSchemaScript);
        return readTables(memory.handle());
    }();
    return tables;
}

SQLiteError notALedger(const std::string& why) {
    return SQLiteError("the file is not a Quorvane ledger: " + why + "; it was left unchanged",
                       SQLITE_NOTADB);
}

} // namespace

Result<DataFolderReport> prepareDataFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail("cannot create the data folder " + folder + ": " + errnoText(errno));
    }
    const FdGuard fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) {
        return fail("cannot use the data folder " + folder + ": " + errnoText(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return fail("cannot use the data folder " + folder + ": " + errnoText(errno));
    }
    const uid_t ours = ::geteuid();
    if (st.st_uid != ours) {
        return fail("the data folder " + folder + " belongs to uid " + std::to_string(st.st_uid) +
                    ", not to uid " + std::to_string(ours) + "; refusing to use it");
    }
    DataFolderReport report;
    if ((st.st_mode & 077) != 0) {
        if (::fchmod(fd.get(), 0700) != 0) {
            return fail("cannot make the data folder " + folder + " private: " + errnoText(errno));
        }
        report.note = "the data folder " + folder + " was open to other users (mode " +
                      octalMode(st.st_mode) + "); it is now 0700";
    }
    return report;
}

LedgerLock::Outcome LedgerLock::acquire(const std::string& folder) {
    const std::string path = folder + "/" + fileName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
    if (fd < 0) {
        return {Status::failed, nullptr, "cannot open " + path + ": " + errnoText(errno)};
    }
    int result = 0;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            return {Status::heldByAnother, nullptr, {}};
        }
        return {Status::failed, nullptr, "cannot lock " + path + ": " + errnoText(error)};
    }
    return {Status::acquired, std::unique_ptr<LedgerLock>(new LedgerLock(fd)), {}};
}

LedgerLock::~LedgerLock() {
    ::close(fd_); // releases the lock
}

void checkLedgerFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 ? errno == ENOENT : (S_ISREG(st.st_mode) && st.st_size == 0)) {
        return; // a new ledger
    }
    // Read-write without create (a read-only connection may fail on a file in
    // WAL mode), read-only by pragma, and no checkpoint when it closes: the
    // file's bytes stay as they are.
    sqlite3* raw = nullptr;
    const int opened =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    if (opened != SQLITE_OK || !db) {
        throw makeSQLiteError(opened, db ? sqlite3_errmsg(db.get()) : nullptr, "open failed");
    }
    sqlite3_db_config(db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_busy_timeout(db.get(), 3000);
    if (sqlite3_exec(db.get(), "PRAGMA query_only = ON;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        throw lastError(db.get());
    }

    const Tables& ours = ledgerTables();
    for (const auto& [name, columns] : readTables(db.get())) {
        const auto expected = ours.find(name);
        if (expected == ours.end()) {
            throw notALedger("it holds the table " + quoted(name));
        }
        for (const auto& column : expected->second) {
            if (columns.count(column) == 0) {
                throw notALedger("its table " + quoted(name) + " has no column " + quoted(column));
            }
        }
    }
}

std::unique_ptr<SQLiteDatabase> openLedgerDatabase(const std::string& path) {
    checkLedgerFile(path);
    // SQLite gives the -wal and -shm files the ledger file's mode.
    struct UmaskScope {
        mode_t previous = ::umask(077);
        ~UmaskScope() { ::umask(previous); }
    } privateFiles;
    return std::make_unique<SQLiteDatabase>(path);
}

} // namespace quorvane
