// The ledger's files before the store opens them: the private data folder, the
// one-host-per-ledger lock, and the check that leaves a foreign file as it was.

#include "host/core/LedgerFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/core/LedgerStore.h"
#include "host/core/SQLite.h"
#include "tests/support/TempDir.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::string sha256(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr), 1);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

// Writes a database with plain sqlite3, outside the store.
void makeDatabase(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// ---- Data folder ----

TEST(DataFolder, IsMadePrivateOrRefused) {
    struct Case {
        const char* name;
        std::function<void(const std::string& folder)> arrange;
        bool refused;
        bool noted;
    };
    const Case cases[] = {
        {"missing: created", [](const std::string&) {}, false, false},
        {"already private", [](const std::string& f) { fs::create_directory(f), ::chmod(f.c_str(), 0700); },
         false, false},
        {"open to the group and others: tightened",
         [](const std::string& f) { fs::create_directory(f), ::chmod(f.c_str(), 0755); }, false, true},
        {"writable by others: tightened",
         [](const std::string& f) { fs::create_directory(f), ::chmod(f.c_str(), 0777); }, false, true},
        {"a plain file", [](const std::string& f) { std::ofstream(f) << "x"; }, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        const std::string folder = temp.file("Quorvane");
        c.arrange(folder);
        const auto report = prepareDataFolder(folder);
        ASSERT_EQ(report.ok(), !c.refused) << (report ? "" : report.error().message);
        if (c.refused) {
            EXPECT_NE(report.error().message.find(folder), std::string::npos) << report.error().message;
            continue;
        }
        EXPECT_EQ(modeOf(folder), 0700u);
        EXPECT_EQ(report->note.has_value(), c.noted);
        if (report->note) {
            EXPECT_EQ(report->note->find('\n'), std::string::npos);
            EXPECT_NE(report->note->find(folder), std::string::npos) << *report->note;
        }
        // Once private, a second look changes nothing and says nothing.
        const auto again = prepareDataFolder(folder);
        ASSERT_TRUE(again.ok());
        EXPECT_FALSE(again->note);
    }
}

TEST(DataFolder, AnotherUsersFolderIsRefusedUnchanged) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a folder to another user";
    }
    TempDir temp;
    const std::string folder = temp.file("Quorvane");
    fs::create_directory(folder);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);

    const auto report = prepareDataFolder(folder);
    ASSERT_FALSE(report.ok());
    EXPECT_EQ(report.error().message,
              "the data folder " + folder + " belongs to uid 65534, not to uid 0; refusing to use it");
    EXPECT_EQ(modeOf(folder), 0755u);
}

// ---- The files' modes ----

TEST(LedgerFiles, AreCreatedPrivateAndTheUmaskIsRestored) {
    TempDir temp;
    const std::string path = temp.file("ledger.sqlite");
    const mode_t mask = ::umask(022);
    {
        LedgerStore store(path);
        EXPECT_TRUE(store.setStartingPoints(70)); // a write, so that the log files exist
        for (const char* suffix : {"", "-wal", "-shm"}) {
            EXPECT_EQ(modeOf(path + suffix), 0600u) << suffix;
        }
    }
    EXPECT_EQ(::umask(mask), 022u);
}

// ---- One host per ledger ----

TEST(LedgerLockTest, IsExclusiveUntilReleasedAndItsFileIsPrivate) {
    TempDir temp;
    auto first = LedgerLock::acquire(temp.path());
    ASSERT_EQ(first.status, LedgerLock::Status::acquired) << first.error;
    ASSERT_NE(first.lock, nullptr);
    EXPECT_EQ(modeOf(temp.file(LedgerLock::fileName)), 0600u);

    // flock belongs to the open file, so a second open in this process
    // competes like another host would.
    auto second = LedgerLock::acquire(temp.path());
    EXPECT_EQ(second.status, LedgerLock::Status::heldByAnother);
    EXPECT_EQ(second.lock, nullptr);

    first.lock.reset();
    auto third = LedgerLock::acquire(temp.path());
    EXPECT_EQ(third.status, LedgerLock::Status::acquired) << third.error;
}

TEST(LedgerLockTest, FolderThatCannotHoldTheLockFails) {
    TempDir temp;
    auto outcome = LedgerLock::acquire(temp.file("missing"));
    EXPECT_EQ(outcome.status, LedgerLock::Status::failed);
    EXPECT_NE(outcome.error.find(temp.file("missing")), std::string::npos) << outcome.error;
}

// ---- The ledger file itself ----

TEST(LedgerFileCheck, ForeignFilesAreRefusedAndLeftByteForByte) {
    struct Case {
        const char* name;
        const char* sql;
        const char* expected;
    };
    const Case cases[] = {
        {"an unrelated table",
         "CREATE TABLE notes (id INTEGER PRIMARY KEY, body TEXT); "
         "INSERT INTO notes (body) VALUES ('keep me');",
         "the file is not a Quorvane ledger: it holds the table \"notes\"; it was left unchanged"},
        {"our tables and one more",
         "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL); CREATE TABLE extra (x);",
         "the file is not a Quorvane ledger: it holds the table \"extra\"; it was left unchanged"},
        {"a view", "CREATE VIEW v AS SELECT 1;",
         "the file is not a Quorvane ledger: it holds the table \"v\"; it was left unchanged"},
        {"our table without one of its columns",
         "CREATE TABLE account (id TEXT PRIMARY KEY, display_name TEXT);",
         "the file is not a Quorvane ledger: its table \"account\" has no column \"client_info_json\"; it "
         "was "
         "left unchanged"},
        {"a name across lines", "CREATE TABLE \"two\nlines\" (x);",
         "the file is not a Quorvane ledger: it holds the table \"two?lines\"; it was left unchanged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        const std::string path = temp.file("ledger.sqlite");
        makeDatabase(path, c.sql);
        const std::string before = sha256(path);

        try {
            LedgerStore store(path);
            ADD_FAILURE() << "the store opened a foreign file";
        } catch (const SQLiteError& error) {
            EXPECT_EQ(error.code, SQLITE_NOTADB);
            EXPECT_EQ(error.message, c.expected);
        }
        EXPECT_EQ(sha256(path), before);
        EXPECT_FALSE(fs::exists(path + "-wal"));
    }
}

TEST(LedgerFileCheck, UnreadableFilesKeepSQLitesReason) {
    TempDir temp;
    const std::string path = temp.file("ledger.sqlite");
    std::ofstream(path) << std::string(4096, 'Q');
    const std::string before = sha256(path);
    try {
        checkLedgerFile(path);
        ADD_FAILURE() << "a file of text passed";
    } catch (const SQLiteError& error) {
        EXPECT_EQ(error.description(), "SQLiteError(26): file is not a database");
    }
    EXPECT_EQ(sha256(path), before);
}

TEST(LedgerFileCheck, NewEmptyAndOwnLedgersPass) {
    TempDir temp;
    const std::string path = temp.file("ledger.sqlite");
    EXPECT_NO_THROW(checkLedgerFile(path)); // missing
    {
        LedgerStore store(path);
        EXPECT_TRUE(store.setStartingPoints(70));
    }
    {
        LedgerStore store(path); // our own
        EXPECT_EQ(store.startingPoints(), 70);
    }
    // A column a later version might add is no reason to refuse.
    makeDatabase(path, "ALTER TABLE account ADD COLUMN note TEXT;");
    EXPECT_NO_THROW(checkLedgerFile(path));

    const std::string empty = temp.file("empty.sqlite");
    std::ofstream{empty};
    EXPECT_NO_THROW(LedgerStore{empty});
}

} // namespace
} // namespace quorvane
