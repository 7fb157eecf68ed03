// The ledger's files before the store opens them: the private data folder, the
// private files and the one-host-per-ledger lock.

#include "host/core/LedgerFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>

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

} // namespace
} // namespace quorvane
