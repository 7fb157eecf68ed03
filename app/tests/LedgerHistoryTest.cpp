// The ledger list's history beyond the snapshot: canFetchMore/fetchMore with
// pages a test hands over, and through the real host down to an account's
// first entry. Every model runs under QAbstractItemModelTester.

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/AppModel.h"
#include "app/tests/AppModelTestSupport.h"
#include "app/ui/ItemModels.h"
#include "tests/support/LedgerSeed.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using apptest::waitUntil;

LedgerEntry entry(std::int64_t sequence, std::string memo = {}) {
    LedgerEntry e;
    e.id = "E" + std::to_string(sequence);
    e.accountId = "A";
    e.amount = sequence;
    e.memo = std::move(memo);
    e.sequence = sequence;
    return e;
}

// Entries `from` down to `to`, newest first.
std::vector<LedgerEntry> range(std::int64_t from, std::int64_t to) {
    std::vector<LedgerEntry> entries;
    for (std::int64_t s = from; s >= to; --s) {
        entries.push_back(entry(s));
    }
    return entries;
}

std::vector<std::int64_t> sequences(const LedgerModel& model) {
    std::vector<std::int64_t> result;
    for (const LedgerEntry& e : model.entries()) {
        result.push_back(e.sequence);
    }
    return result;
}

std::vector<std::int64_t> descending(std::int64_t from, std::int64_t to) {
    std::vector<std::int64_t> result;
    for (std::int64_t s = from; s >= to; --s) {
        result.push_back(s);
    }
    return result;
}

// Page requests the model made, answered by the test when it chooses. The
// model is asked for more by the test, as a view does, and by the model
// tester on its own: the tests look at what is waiting, not at who asked.
struct PageRequests {
    struct Request {
        std::string accountId;
        std::optional<std::int64_t> before;
        LedgerModel::PageDone done;
    };
    std::deque<Request> waiting;

    LedgerModel::PageFetcher fetcher() {
        return [this](const std::string& accountId, std::optional<std::int64_t> before,
                      LedgerModel::PageDone done) {
            waiting.push_back({accountId, before, std::move(done)});
        };
    }

    void answer(Result<ControlResponse::EntriesPage> page) {
        ASSERT_FALSE(waiting.empty());
        Request request = std::move(waiting.front());
        waiting.pop_front();
        request.done(std::move(page));
    }
};

class LedgerHistory : public ::testing::Test {
protected:
    LedgerHistory() {
        model.setPageFetcher(requests.fetcher());
        model.setAccount("A");
    }

    PageRequests requests;
    LedgerModel model;
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(LedgerHistory, PagesFollowTheSnapshotDownToTheFirstEntry) {
    model.setEntries(range(30, 21));
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);

    model.fetchMore({});
    ASSERT_EQ(requests.waiting.size(), 1u);
    EXPECT_EQ(requests.waiting.front().accountId, "A");
    EXPECT_EQ(requests.waiting.front().before, 21) << "below the last row";
    EXPECT_FALSE(model.canFetchMore({})) << "one page at a time";
    model.fetchMore({});
    EXPECT_EQ(requests.waiting.size(), 1u);

    requests.answer(ControlResponse::EntriesPage{range(20, 11), true});
    EXPECT_EQ(sequences(model), descending(30, 11));
    model.fetchMore({});
    ASSERT_EQ(requests.waiting.size(), 1u);
    EXPECT_EQ(requests.waiting.front().before, 11);
    requests.answer(ControlResponse::EntriesPage{range(10, 1), false});
    EXPECT_EQ(sequences(model), descending(30, 1));
    EXPECT_TRUE(model.reachedFirst());
    EXPECT_FALSE(model.canFetchMore({}));
    EXPECT_TRUE(requests.waiting.empty());

    // New entries push old ones out of the snapshot's window: no gap opens.
    std::vector<LedgerEntry> moved = range(40, 26);
    model.setEntries(moved);
    EXPECT_EQ(sequences(model), descending(40, 1));
    EXPECT_FALSE(model.canFetchMore({}));
    EXPECT_EQ(reset.count(), 0) << "rows are inserted, never reset";
}

TEST_F(LedgerHistory, AnAccountWithNothingInTheSnapshotStartsFromItsNewest) {
    model.setEntries({});
    model.fetchMore({});
    ASSERT_EQ(requests.waiting.size(), 1u);
    EXPECT_EQ(requests.waiting.front().before, std::nullopt);
    requests.answer(ControlResponse::EntriesPage{range(5, 1), false});
    EXPECT_EQ(sequences(model), descending(5, 1));
    EXPECT_FALSE(model.canFetchMore({}));
}

TEST_F(LedgerHistory, ReloadReplacesStaleOlderRowsAcrossPages) {
    model.setEntries(range(30, 21));
    model.fetchMore({});
    requests.answer(ControlResponse::EntriesPage{range(20, 1), false});
    ASSERT_EQ(model.rowCount(), 30);
    ASSERT_TRUE(requests.waiting.empty());

    // Entry 15 was deleted and 12 edited: the reload reads from the newest
    // down to the oldest row shown, in as many pages as the host gives.
    model.reloadOlder();
    EXPECT_FALSE(model.canFetchMore({}));
    ASSERT_EQ(requests.waiting.size(), 1u);
    EXPECT_EQ(requests.waiting.front().before, std::nullopt);
    requests.answer(ControlResponse::EntriesPage{range(30, 16), true});
    ASSERT_EQ(requests.waiting.size(), 1u);
    EXPECT_EQ(requests.waiting.front().before, 16);
    std::vector<LedgerEntry> rest = range(14, 1);
    rest[2] = entry(12, "edited");
    EXPECT_EQ(model.rowCount(), 30) << "rows change once every page is in";
    requests.answer(ControlResponse::EntriesPage{rest, false});

    std::vector<std::int64_t> expected = descending(30, 16);
    for (std::int64_t s = 14; s >= 1; --s) {
        expected.push_back(s);
    }
    EXPECT_EQ(sequences(model), expected);
    EXPECT_EQ(model.entries()[model.entries().size() - 12].memo, "edited");
    EXPECT_TRUE(model.reachedFirst());

    // Changes in a stream: reloads run one after the other, each to its end.
    model.reloadOlder();
    model.reloadOlder();
    model.reloadOlder();
    ASSERT_EQ(requests.waiting.size(), 1u);
    requests.answer(ControlResponse::EntriesPage{range(30, 1), false});
    ASSERT_EQ(requests.waiting.size(), 1u) << "one more for the changes meanwhile";
    EXPECT_EQ(requests.waiting.front().before, std::nullopt);
    EXPECT_EQ(model.rowCount(), 30);
    requests.answer(ControlResponse::EntriesPage{range(30, 2), false});
    EXPECT_TRUE(requests.waiting.empty());
    EXPECT_EQ(sequences(model), descending(30, 2));
}

TEST_F(LedgerHistory, AnswersForAnotherAccountOrAnOlderStateAreDropped) {
    model.setEntries(range(30, 21));
    model.fetchMore({});
    model.setAccount("B");
    model.setEntries({});
    model.fetchMore({});
    ASSERT_EQ(requests.waiting.size(), 2u);
    EXPECT_EQ(requests.waiting.back().accountId, "B");
    requests.answer(ControlResponse::EntriesPage{range(20, 11), true}); // A's
    EXPECT_EQ(model.rowCount(), 0) << "A's page never shows under B";
    requests.answer(ControlResponse::EntriesPage{{}, false}); // B has none
    EXPECT_TRUE(model.reachedFirst());

    // A plain page overtaken by a reload is dropped too.
    model.setAccount("A");
    model.setEntries(range(30, 21));
    model.fetchMore({});
    requests.answer(ControlResponse::EntriesPage{range(20, 11), true});
    model.fetchMore({});
    ASSERT_EQ(requests.waiting.size(), 1u);
    model.reloadOlder();
    ASSERT_EQ(requests.waiting.size(), 2u);
    requests.answer(ControlResponse::EntriesPage{range(10, 1), false}); // the overtaken page
    EXPECT_EQ(sequences(model), descending(30, 11));
    requests.answer(ControlResponse::EntriesPage{range(30, 11), true}); // the reload, at its end
    EXPECT_EQ(sequences(model), descending(30, 11));
    EXPECT_FALSE(model.reachedFirst());
    EXPECT_TRUE(model.canFetchMore({}));
}

TEST_F(LedgerHistory, AFailedPageStopsFetchingUntilTheNextSnapshot) {
    model.setEntries(range(30, 21));
    model.fetchMore({});
    requests.answer(fail("The host could not be reached."));
    EXPECT_EQ(model.rowCount(), 10);
    EXPECT_FALSE(model.canFetchMore({})) << "a view must not ask again in a loop";
    model.fetchMore({});
    EXPECT_TRUE(requests.waiting.empty());
    model.setEntries(range(30, 21));
    EXPECT_TRUE(model.canFetchMore({}));
}

TEST(LedgerHistoryThroughTheHost, ScrollingReachesTheFirstEntryOfAnAccountBeyondTheSnapshot) {
    apptest::World world;
    test::LedgerSeed seed((world.root() / "data" / "Quorvane" / "ledger.sqlite").string());
    seed.addAccount("LONG");
    seed.addAccount("OTHER");
    seed.addEntries(
        2600, [](int i) { return i % 5 == 4 ? std::string("OTHER") : std::string("LONG"); },
        [](int i) { return "memo " + std::to_string(i); });
    const std::vector<std::int64_t> expected = seed.sequencesOf("LONG");
    auto host = apptest::startHost(world);
    ASSERT_NE(host, nullptr);

    AppModel app(std::make_unique<ControlClient>(world.connectionOptions()), {});
    LedgerModel ledger;
    QAbstractItemModelTester tester(&ledger, QAbstractItemModelTester::FailureReportingMode::Fatal);
    ledger.setPageFetcher(
        [&app](const std::string& accountId, std::optional<std::int64_t> before, LedgerModel::PageDone done) {
            app.fetchHistory(accountId, before, std::move(done));
        });
    ledger.setAccount("LONG");
    app.start();
    ASSERT_TRUE(waitUntil([&] { return !app.entries().empty(); }));
    ledger.setEntries(app.entriesFor("LONG"));
    ASSERT_LT(static_cast<std::size_t>(ledger.rowCount()), expected.size())
        << "the snapshot holds only the newest";

    // As a view does when its last row comes into sight (the model tester
    // asks for more on its own as well).
    for (int pages = 0; !ledger.reachedFirst() && pages < 100; ++pages) {
        const int rows = ledger.rowCount();
        ledger.fetchMore({});
        ASSERT_TRUE(waitUntil([&] { return ledger.rowCount() > rows || ledger.reachedFirst(); }));
    }
    ASSERT_TRUE(ledger.reachedFirst());
    const std::vector<std::int64_t> newestFirst(expected.rbegin(), expected.rend());
    EXPECT_EQ(sequences(ledger), newestFirst) << "every entry once, down to the first";

    // An unknown account is refused, not shown as empty history.
    std::optional<Result<ControlResponse::EntriesPage>> refused;
    app.fetchHistory("NOBODY", std::nullopt,
                     [&](Result<ControlResponse::EntriesPage> page) { refused.emplace(std::move(page)); });
    ASSERT_TRUE(waitUntil([&] { return refused.has_value(); }));
    ASSERT_FALSE(*refused);
    EXPECT_EQ(refused->error().message, "No account with this id.");
}

} // namespace
} // namespace quorvane

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
