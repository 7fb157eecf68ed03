// The online backup's file handling: what it refuses, what a failure leaves
// behind (nothing), and what a good copy looks like.

#include "host/core/LedgerBackup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "tests/support/LedgerSeed.h"
#include "tests/support/TempDir.h"

namespace quorvane {
namespace {

namespace fs = std::filesystem;

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) {
        names.insert(item.path().filename().string());
    }
    return names;
}

std::string contentsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class LedgerBackupTest : public ::testing::Test {
protected:
    LedgerBackupTest() {
        fs::create_directories(copies());
        seed.addAccount("A");
        seed.addEntries(
            500, [](int) { return std::string("A"); }, [](int i) { return "memo " + std::to_string(i); });
    }

    [[nodiscard]] std::string copies() const { return folder.path() + "/copies"; }

    test::TempDir folder;
    test::LedgerSeed seed{folder.path() + "/data/ledger.sqlite"};
};

TEST_F(LedgerBackupTest, AGoodCopyIsCheckedPrivateAndOneFile) {
    const std::string target = copies() + "/copy.sqlite";
    ASSERT_TRUE(LedgerBackup::copyLedger(seed.file(), target, false));
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(test::queryColumn(target, "PRAGMA integrity_check;"), std::vector<std::string>{"ok"});
    EXPECT_EQ(test::queryColumn(target, "PRAGMA journal_mode;"), std::vector<std::string>{"delete"});
    EXPECT_EQ(test::queryColumn(target, "SELECT COUNT(*) FROM ledger;"), std::vector<std::string>{"500"});
    EXPECT_EQ(namesIn(copies()), std::set<std::string>{"copy.sqlite"});
}

TEST_F(LedgerBackupTest, FailuresLeaveNothingBehindAndTouchNothing) {
    const std::string notALedger = folder.path() + "/notes.txt";
    std::ofstream(notALedger) << std::string(8192, 'x');
    const std::string existing = copies() + "/existing.sqlite";
    std::ofstream(existing) << "keep me";

    struct Case {
        std::string source;
        std::string target;
        bool force;
        std::string messageStart;
    };
    const Case cases[] = {
        // Failures once the copy has begun: the partial file goes.
        {notALedger, copies() + "/a.sqlite", false, "The copy failed: "},
        {folder.path() + "/missing.sqlite", copies() + "/b.sqlite", false, "Cannot read the ledger: "},
        // Refusals before anything is written.
        {seed.file(), existing, false, "A file already exists at " + existing},
        {seed.file(), "copy.sqlite", false, "The backup path must be absolute."},
        {seed.file(), copies() + "/", false, "The backup path names a folder, not a file."},
        {seed.file(), copies() + "/x" + std::string(1, '\0') + "y", false,
         "The backup path holds a NUL character."},
        {seed.file(), "/" + std::string(LedgerBackup::maxPathBytes, 'p'), false,
         "The backup path is too long."},
        {seed.file(), seed.file(), true, "The backup path is the live ledger's own file."},
        {seed.file(), seed.file() + "-shm", true, "The backup path is the live ledger's own file."},
        {seed.file(), copies(), true,
         "Cannot write the backup to " + copies() + ": something other than a file"},
        {seed.file(), copies() + "/none/c.sqlite", false, "Cannot write the backup to "},
    };
    for (const Case& c : cases) {
        const Result<void> result = LedgerBackup::copyLedger(c.source, c.target, c.force);
        ASSERT_FALSE(result) << c.target;
        EXPECT_EQ(result.error().message.rfind(c.messageStart, 0), 0u) << result.error().message;
        EXPECT_EQ(namesIn(copies()), std::set<std::string>{"existing.sqlite"}) << c.messageStart;
    }
    EXPECT_EQ(contentsOf(existing), "keep me");
    EXPECT_EQ(test::queryColumn(seed.file(), "SELECT COUNT(*) FROM ledger;"),
              std::vector<std::string>{"500"});

    // With force, a file is replaced by a whole, checked copy.
    ASSERT_TRUE(LedgerBackup::copyLedger(seed.file(), existing, true));
    EXPECT_EQ(test::queryColumn(existing, "SELECT COUNT(*) FROM ledger;"), std::vector<std::string>{"500"});
    EXPECT_EQ(namesIn(copies()), std::set<std::string>{"existing.sqlite"});
}

} // namespace
} // namespace quorvane
