// The operator's paged reads and the online backup, through the real host and
// the Qt-free operator client.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/Coding.h"
#include "control/OperatorClient.h"
#include "tests/integration/Messages.h"
#include "tests/integration/Support.h"
#include "tests/support/LedgerSeed.h"

namespace quorvane::e2e {
namespace {

namespace fs = std::filesystem;

using test::LedgerSeed;

std::vector<std::string> column(const fs::path& file, const std::string& sql) {
    return test::queryColumn(file.string(), sql);
}

std::string firstValue(const fs::path& file, const std::string& sql) {
    const std::vector<std::string> values = column(file, sql);
    return values.empty() ? std::string() : values.front();
}

class OperatorRequests : public ::testing::Test {
protected:
    [[nodiscard]] fs::path ledgerFile() const { return sandbox_.dataFolder() / "Quorvane" / "ledger.sqlite"; }

    // Starts the host on the ledger as seeded so far.
    void startHost() {
        host_ = sandbox_.startHost();
        ASSERT_NE(host_, nullptr);
    }

    [[nodiscard]] ConnectionOptions options() const {
        return ConnectionOptions{sandbox_.runtimeEnvironment(), {}};
    }

    Sandbox sandbox_;
    std::unique_ptr<Child> host_;
};

TEST_F(OperatorRequests, HistoryPagesReachTheFirstEntryOfALongAccount) {
    LedgerSeed seed(ledgerFile().string());
    seed.addAccount("LONG");
    seed.addAccount("OTHER");
    // 2,150 entries of one account, interleaved with another's: far more than
    // a snapshot carries.
    seed.addEntries(
        2400, [](int i) { return i % 8 == 7 ? std::string("OTHER") : std::string("LONG"); },
        [](int i) { return "memo " + std::to_string(i); });
    const std::vector<std::int64_t> expected = seed.sequencesOf("LONG");
    ASSERT_GT(expected.size(), 2000u);
    startHost();
    OperatorClient client(options());

    Result<Snapshot> snapshot = client.snapshot();
    ASSERT_TRUE(snapshot) << snapshot.error().message;
    for (const LedgerEntry& entry : snapshot->entries) {
        ASSERT_NE(entry.sequence, expected.front()) << "the first entry must lie beyond the snapshot";
    }

    for (const std::optional<std::int64_t> limit :
         {std::optional<std::int64_t>(), std::optional<std::int64_t>(333)}) {
        std::vector<std::int64_t> seen;
        std::optional<std::int64_t> before;
        int pages = 0;
        for (;;) {
            auto page = client.accountHistory("LONG", before, limit);
            ASSERT_TRUE(page) << page.error().message;
            ++pages;
            ASSERT_LE(page->entries.size(), static_cast<std::size_t>(limit.value_or(maxPageEntries)));
            for (const LedgerEntry& entry : page->entries) {
                EXPECT_EQ(entry.accountId, "LONG");
                seen.push_back(entry.sequence);
            }
            if (!page->more) {
                break;
            }
            ASSERT_FALSE(page->entries.empty()) << "a page with more holds entries";
            before = page->entries.back().sequence;
        }
        const std::vector<std::int64_t> newestFirst(expected.rbegin(), expected.rend());
        EXPECT_EQ(seen, newestFirst) << "every entry once, newest first, down to the first";
        EXPECT_EQ(pages, static_cast<int>((expected.size() + limit.value_or(maxPageEntries) - 1) /
                                          limit.value_or(maxPageEntries)));
    }

    // The walking helper reaches the same first entry.
    std::int64_t last = 0;
    std::size_t count = 0;
    ASSERT_TRUE(client.forEachHistoryEntry("LONG", [&](const LedgerEntry& entry) {
        last = entry.sequence;
        ++count;
        return true;
    }));
    EXPECT_EQ(count, expected.size());
    EXPECT_EQ(last, expected.front());

    // Below the first entry there is nothing more; errors are refusals, never empty pages.
    auto end = client.accountHistory("LONG", expected.front());
    ASSERT_TRUE(end);
    EXPECT_TRUE(end->entries.empty());
    EXPECT_FALSE(end->more);
    struct Refusal {
        ControlRequest request;
        std::string message;
    };
    const Refusal refusals[] = {
        {ControlRequest::accountHistory("NOBODY"), "No account with this id."},
        {ControlRequest::accountHistory(std::string("LONG\0x", 6)), "No account with this id."},
        {ControlRequest::accountHistory("LONG", std::nullopt, 0), "The page limit must be at least 1."},
        {ControlRequest::exportEntries(std::nullopt, -3), "The page limit must be at least 1."},
    };
    for (const Refusal& refusal : refusals) {
        auto answer = client.request(refusal.request);
        ASSERT_TRUE(answer) << answer.error().message;
        EXPECT_EQ(*answer, ControlResponse::failure(refusal.message)) << refusal.message;
    }
}

TEST_F(OperatorRequests, ExportDeliversEveryEntryExactlyOnceWhileTheOperatorWrites) {
    LedgerSeed seed(ledgerFile().string());
    for (const char* id : {"A", "B", "C"}) {
        seed.addAccount(id);
    }
    seed.addEntries(
        2500, [](int i) { return std::string(1, static_cast<char>('A' + i % 3)); },
        [](int i) {
            return i % 5 == 0 ? std::string("comma, \"quote\"\nline \u00e9\u4e2d") : std::string();
        });
    startHost();
    OperatorClient client(options());
    OperatorClient writer(options());

    std::vector<std::string> ids;
    std::optional<std::int64_t> after;
    int pages = 0;
    for (;;) {
        auto page = client.exportEntries(after, 97);
        ASSERT_TRUE(page) << page.error().message;
        for (const LedgerEntry& entry : page->entries) {
            ASSERT_TRUE(!after || entry.sequence > *after) << "oldest first, never back";
            after = entry.sequence;
            ids.push_back(entry.id);
        }
        // Entries added while the export runs come once at most.
        if (++pages % 5 == 0) {
            ASSERT_TRUE(writer.change(ControlRequest::createEntry(
                {"B", TransactionKind::debit, LedgerFlag::penalty, 1, "added during the export"})));
        }
        if (!page->more) {
            break;
        }
    }
    const std::set<std::string> unique(ids.begin(), ids.end());
    EXPECT_EQ(unique.size(), ids.size()) << "no entry twice";
    const std::vector<std::string> stored = column(ledgerFile(), "SELECT id FROM ledger;");
    EXPECT_EQ(unique, std::set<std::string>(stored.begin(), stored.end()))
        << "every entry, including those added before the last page";

    std::vector<std::string> accounts;
    ASSERT_TRUE(client.forEachExportedAccount([&](const Account& account) {
        accounts.push_back(account.id);
        return true;
    }));
    EXPECT_EQ(accounts, (std::vector<std::string>{"A", "B", "C"}));
    auto firstPage = client.exportAccounts(std::nullopt, 2);
    ASSERT_TRUE(firstPage);
    EXPECT_EQ(firstPage->accounts.size(), 2u);
    EXPECT_TRUE(firstPage->more);
    const Result<Snapshot> snapshot = client.snapshot();
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(firstPage->accounts[0].balance, snapshot->accounts[0].balance)
        << "balances as the snapshot has them";
}

TEST_F(OperatorRequests, PagesStayWithinTheirByteBoundWhateverTheMemosHold) {
    LedgerSeed seed(ledgerFile().string());
    seed.addAccount("BIG");
    // 1 MiB of '/' per memo: 2 MiB each in JSON, where it is escaped.
    seed.addEntries(
        20, [](int) { return std::string("BIG"); },
        [](int) { return std::string(std::size_t{1} << 20, '/'); });
    startHost();
    OperatorClient client(options());

    std::size_t delivered = 0;
    std::optional<std::int64_t> before;
    for (;;) {
        auto page = client.accountHistory("BIG", before);
        ASSERT_TRUE(page) << page.error().message;
        std::size_t bytes = 0;
        for (const LedgerEntry& entry : page->entries) {
            bytes += QuorvaneCoding::encodeToString(entry)->size();
        }
        EXPECT_LE(bytes, maxPageBytes);
        EXPECT_GT(page->entries.size(), 1u) << "a page holds as many as fit";
        delivered += page->entries.size();
        if (!page->more) {
            break;
        }
        before = page->entries.back().sequence;
    }
    EXPECT_EQ(delivered, 20u);
}

TEST_F(OperatorRequests, ARecordTooLargeForAnyPageIsNamedNotSkipped) {
    LedgerSeed seed(ledgerFile().string());
    seed.addAccount("HUGE");
    // Control characters take six bytes each in JSON: 18 MiB for this memo.
    seed.addEntries(
        1, [](int) { return std::string("HUGE"); },
        [](int) { return std::string(std::size_t{3} << 20, '\x01'); });
    startHost();
    OperatorClient client(options());

    auto history = client.accountHistory("HUGE");
    ASSERT_FALSE(history);
    EXPECT_NE(history.error().message.find("Entry E-1 (sequence 1) is too large to send"), std::string::npos)
        << history.error().message;
    auto exported = client.exportEntries();
    ASSERT_FALSE(exported);
    EXPECT_NE(exported.error().message.find("Entry E-1"), std::string::npos) << exported.error().message;
}

std::vector<std::string> leftovers(const fs::path& folder, const std::set<std::string>& expected) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) {
        if (!expected.contains(item.path().filename().string())) {
            names.push_back(item.path().filename().string());
        }
    }
    return names;
}

TEST_F(OperatorRequests, DamagedTextInTheFileIsRepairedNotRefused) {
    LedgerSeed seed(ledgerFile().string());
    seed.addAccount("D");
    // Not UTF-8: written by some other program, not through the host.
    seed.addEntries(
        3, [](int) { return std::string("D"); },
        [](int i) { return "bad \xff\xfe byte " + std::to_string(i); });
    startHost();
    OperatorClient client(options());

    auto history = client.accountHistory("D");
    ASSERT_TRUE(history) << history.error().message;
    ASSERT_EQ(history->entries.size(), 3u);
    auto exported = client.exportEntries();
    ASSERT_TRUE(exported) << exported.error().message;
    ASSERT_EQ(exported->entries.size(), 3u);
    for (const auto* entries : {&history->entries, &exported->entries}) {
        for (const LedgerEntry& entry : *entries) {
            EXPECT_EQ(entry.memo.rfind("bad ", 0), 0u);
            EXPECT_TRUE(QuorvaneCoding::encodeToString(entry)) << "valid text";
        }
    }
}

TEST_F(OperatorRequests, BackupUnderConcurrentWritesHoldsEveryAcknowledgedEntry) {
    LedgerSeed seed(ledgerFile().string());
    seed.addAccount("W");
    seed.addEntries(
        3000, [](int) { return std::string("W"); }, [](int i) { return "seed " + std::to_string(i); });
    startHost();
    OperatorClient client(options());
    ASSERT_TRUE(client.snapshot());

    // An operator adds entries and an agent reads (and marks seen) without pause.
    std::mutex lock;
    std::vector<std::string> acknowledged;
    std::atomic<bool> stop{false};
    std::thread operatorWrites([&] {
        OperatorClient writer(options());
        for (int i = 0; !stop; ++i) {
            const std::string memo = "live " + std::to_string(i);
            if (writer.change(ControlRequest::createEntry(
                    {"W", TransactionKind::credit, LedgerFlag::bonus, 1, memo}))) {
                std::lock_guard guard(lock);
                acknowledged.push_back(memo);
            }
        }
    });
    auto agent = sandbox_.startBridge();
    ASSERT_TRUE(agent->writeLine(initializeLine(1, "backup-agent")));
    ASSERT_TRUE(agent->readLine());
    ASSERT_TRUE(agent->writeLine(initializedNotification));
    std::thread agentReads([&] {
        for (int id = 2; !stop; ++id) {
            if (!agent->writeLine(toolCallLine(id, "getTransactions")) || !agent->readLine()) {
                return;
            }
        }
    });
    // Wait until writes are under way, then take what was acknowledged so far.
    ASSERT_TRUE(test::eventually([&] {
        std::lock_guard guard(lock);
        return acknowledged.size() >= 20;
    }));
    std::vector<std::string> before;
    {
        std::lock_guard guard(lock);
        before = acknowledged;
    }
    const fs::path target = sandbox_.root() / "copies" / "ledger-copy.sqlite";
    fs::create_directories(target.parent_path());
    const Result<void> backedUp = client.backup(target.string(), false);
    stop = true;
    operatorWrites.join();
    agentReads.join();
    ASSERT_TRUE(backedUp) << backedUp.error().message;

    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(firstValue(target, "PRAGMA integrity_check;"), "ok");
    EXPECT_EQ(firstValue(target, "PRAGMA journal_mode;"), "delete") << "one self-contained file";
    const std::vector<std::string> memos =
        column(target, "SELECT memo FROM ledger WHERE memo LIKE 'live %';");
    const std::set<std::string> copied(memos.begin(), memos.end());
    for (const std::string& memo : before) {
        EXPECT_TRUE(copied.contains(memo)) << memo << " was acknowledged before the backup began";
    }
    EXPECT_EQ(firstValue(target, "SELECT COUNT(*) FROM ledger WHERE memo LIKE 'seed %';"), "3000");
    EXPECT_EQ(leftovers(target.parent_path(), {"ledger-copy.sqlite"}), std::vector<std::string>{});
}

TEST_F(OperatorRequests, BackupRefusesWhatItMustNotWriteAndLeavesNothingBehind) {
    LedgerSeed seed(ledgerFile().string());
    seed.addAccount("R");
    seed.addEntries(
        10, [](int) { return std::string("R"); }, [](int) { return std::string("x"); });
    startHost();
    OperatorClient client(options());
    const fs::path folder = sandbox_.root() / "copies";
    fs::create_directories(folder);
    const fs::path existing = folder / "existing.sqlite";
    { std::ofstream(existing) << "keep me"; }

    struct Case {
        std::string path;
        bool force;
        std::string messageStart; // empty: succeeds
    };
    const Case cases[] = {
        {existing.string(), false, "A file already exists at " + existing.string()},
        // Made absolute by the client against its working folder.
        {"relative/copy.sqlite", false,
         "Cannot write the backup to " + (fs::current_path() / "relative/copy.sqlite").string()},
        {(folder / "missing" / "copy.sqlite").string(), false, "Cannot write the backup to "},
        {ledgerFile().string(), true, "The backup path is the live ledger's own file."},
        {ledgerFile().string() + "-wal", true, "The backup path is the live ledger's own file."},
        {folder.string() + "/", true, "The backup path names a folder, not a file."},
        {folder.string(), true, "Cannot write the backup to "},
    };
    for (const Case& c : cases) {
        const Result<void> result = client.backup(c.path, c.force);
        if (c.messageStart.empty()) {
            EXPECT_TRUE(result) << c.path << ": " << result.error().message;
        } else {
            ASSERT_FALSE(result) << c.path;
            EXPECT_EQ(result.error().message.rfind(c.messageStart, 0), 0u)
                << c.path << ": " << result.error().message;
        }
    }
    // The raw request must name an absolute path.
    auto raw = client.request(ControlRequest::backup("relative.sqlite", false));
    ASSERT_TRUE(raw);
    EXPECT_EQ(*raw, ControlResponse::failure("The backup path must be absolute."));

    std::ifstream kept(existing);
    std::string contents((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_EQ(contents, "keep me") << "refused without force: untouched";
    EXPECT_EQ(leftovers(folder, {"existing.sqlite"}), std::vector<std::string>{});
    EXPECT_EQ(firstValue(ledgerFile(), "SELECT COUNT(*) FROM ledger;"), "10") << "the live ledger is intact";

    // With force an existing file is replaced by a checked copy.
    ASSERT_TRUE(client.backup(existing.string(), true));
    EXPECT_EQ(firstValue(existing, "PRAGMA integrity_check;"), "ok");
    EXPECT_EQ(firstValue(existing, "SELECT COUNT(*) FROM ledger;"), "10");
    EXPECT_EQ(leftovers(folder, {"existing.sqlite"}), std::vector<std::string>{});
}

} // namespace
} // namespace quorvane::e2e
