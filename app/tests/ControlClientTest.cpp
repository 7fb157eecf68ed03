// The operator app's control client against the real host and against an
// in-process host whose answers the test chooses.

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "app/ControlClient.h"
#include "app/tests/AppModelTestSupport.h"
#include "common/Coding.h"

namespace quorvane {
namespace {

using namespace apptest;

// Everything the client handed to the main thread, in order.
struct Recorder {
    struct Completion {
        std::optional<ControlResponse> response;
    };
    struct Reachability {
        bool reachable;
    };
    struct Event {
        ControlEvent event;
    };
    struct Marker {};
    using Item = std::variant<Completion, Reachability, Event, Marker>;

    std::vector<Item> items;
    bool offMainThread = false;

    void attach(ControlClient& client) {
        client.setOnEvent([this](const ControlEvent& event) {
            check();
            items.push_back(Event{event});
        });
        client.setOnConnectionChange([this](bool reachable) {
            check();
            items.push_back(Reachability{reachable});
        });
    }

    ControlClient::Completion completion() {
        return [this](std::optional<ControlResponse> response) {
            check();
            items.push_back(Completion{std::move(response)});
        };
    }

    void check() {
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
            offMainThread = true;
        }
    }

    template <class T>
    [[nodiscard]] std::vector<T> all() const {
        std::vector<T> found;
        for (const auto& item : items) {
            if (const auto* value = std::get_if<T>(&item)) {
                found.push_back(*value);
            }
        }
        return found;
    }

    [[nodiscard]] std::size_t completions() const { return all<Completion>().size(); }
    [[nodiscard]] std::size_t events() const { return all<Event>().size(); }

    // What the client had handed over before a marker request sent now comes
    // back: completions and reports arrive in order, and pushed events come
    // on the connection before the marker's answer. Returns those items (the
    // marker's own completion is a Marker, not a Completion); nullopt when
    // the marker did not come back.
    [[nodiscard]] std::optional<std::vector<Item>> before(ControlClient& client) {
        client.send(ControlRequest::snapshot(),
                    [this](std::optional<ControlResponse>) { items.push_back(Marker{}); });
        auto marker = [&] {
            return std::find_if(items.begin(), items.end(),
                                [](const Item& item) { return std::holds_alternative<Marker>(item); });
        };
        if (!waitUntil([&] { return marker() != items.end(); })) {
            return std::nullopt;
        }
        return std::vector<Item>(items.begin(), marker());
    }
};

bool isSnapshot(const std::optional<ControlResponse>& response) {
    return response && std::holds_alternative<ControlResponse::Snapshot>(response->value);
}

TEST(ControlClient, NoHostGivesAnEmptyCompletionThenUnreachableAndTheNextSendConnectsAfresh) {
    World world;
    Recorder recorder;
    ControlClient client(world.connectionOptions());
    recorder.attach(client);

    client.send(ControlRequest::snapshot(), recorder.completion());
    auto first = recorder.before(client);
    ASSERT_TRUE(first.has_value());
    ASSERT_EQ(first->size(), 2u);
    ASSERT_TRUE(std::holds_alternative<Recorder::Completion>((*first)[0]));
    EXPECT_FALSE(std::get<Recorder::Completion>((*first)[0]).response.has_value());
    ASSERT_TRUE(std::holds_alternative<Recorder::Reachability>((*first)[1]));
    EXPECT_FALSE(std::get<Recorder::Reachability>((*first)[1]).reachable);

    // The host comes up; the very next request reaches it with a new connection.
    auto host = startHost(world);
    recorder.items.clear();
    client.send(ControlRequest::snapshot(), recorder.completion());
    ASSERT_TRUE(waitUntil([&] { return recorder.completions() == 1; }));
    auto completions = recorder.all<Recorder::Completion>();
    ASSERT_TRUE(isSnapshot(completions[0].response));
    const auto& snapshot = std::get<ControlResponse::Snapshot>(completions[0].response->value).snapshot;
    EXPECT_EQ(snapshot.hostVersion, QuorvaneVersion::displayString);
    EXPECT_EQ(snapshot.settings, (Settings{true, 50000}));
    ASSERT_TRUE(waitUntil([&] { return recorder.all<Recorder::Reachability>().size() == 1; }));
    EXPECT_TRUE(recorder.all<Recorder::Reachability>()[0].reachable);
    EXPECT_FALSE(recorder.offMainThread);
}

TEST(ControlClient, EveryAnswerKindReachesItsCompletionInOrder) {
    World world;
    auto host = startHost(world);
    Recorder recorder;
    ControlClient client(world.connectionOptions());
    recorder.attach(client);

    // Sent back to back: results come back in the order sent.
    client.send(ControlRequest::setStartingPoints(7), recorder.completion());
    client.send(ControlRequest::createEntry(
                    NewLedgerEntry{"NO-SUCH-ACCOUNT", TransactionKind::credit, LedgerFlag::none, 1, "x"}),
                recorder.completion());
    client.send(ControlRequest::snapshot(), recorder.completion());
    ASSERT_TRUE(waitUntil([&] { return recorder.completions() == 3; }));
    auto completions = recorder.all<Recorder::Completion>();
    ASSERT_TRUE(completions[0].response.has_value());
    EXPECT_TRUE(std::holds_alternative<ControlResponse::Ok>(completions[0].response->value));
    ASSERT_TRUE(completions[1].response.has_value());
    EXPECT_EQ(*completions[1].response,
              ControlResponse::failure("Could not create entry \u2014 account not found."));
    ASSERT_TRUE(isSnapshot(completions[2].response));
    EXPECT_EQ(
        std::get<ControlResponse::Snapshot>(completions[2].response->value).snapshot.settings.startingPoints,
        7);
    EXPECT_FALSE(recorder.offMainThread);
}

TEST(ControlClient, HostDyingMidRequestCompletesItOnceThenReportsUnreachable) {
    World world;
    auto host = startHost(world);
    Recorder recorder;
    ControlClient client(world.connectionOptions());
    recorder.attach(client);

    client.send(ControlRequest::snapshot(), recorder.completion());
    ASSERT_TRUE(waitUntil([&] { return recorder.completions() == 1; }));
    recorder.items.clear();

    const auto unreadBefore = unreadAtHostControl(world);
    if (!unreadBefore) {
        GTEST_SKIP() << "the kernel's socket table (sock_diag for Unix sockets) cannot be read here";
    }
    EXPECT_EQ(*unreadBefore, 0u) << "the host read the first request whole";

    // The host can no longer answer; the request waits on the live connection
    // until the host is gone.
    host->pause();
    client.send(ControlRequest::snapshot(), recorder.completion());
    ASSERT_TRUE(waitUntil([&] { return unreadAtHostControl(world).value_or(0) > 0; }))
        << "the request never reached the stopped host";
    EXPECT_EQ(recorder.completions(), 0u);
    host->signal(SIGKILL);
    ASSERT_TRUE(host->waitForExit().has_value());

    ASSERT_TRUE(waitUntil([&] { return recorder.completions() == 1; }));
    EXPECT_FALSE(recorder.all<Recorder::Completion>()[0].response.has_value());
    auto reports = recorder.all<Recorder::Reachability>();
    ASSERT_FALSE(reports.empty());
    for (const auto& report : reports) {
        EXPECT_FALSE(report.reachable);
    }
    // The completion comes before the report of the failure it belongs to.
    EXPECT_TRUE(std::holds_alternative<Recorder::Completion>(recorder.items[0]));

    // A new host: the next request gets through on a fresh connection, and
    // the one that failed has completed once only.
    host = startHost(world);
    client.send(ControlRequest::snapshot(), recorder.completion());
    ASSERT_TRUE(waitUntil([&] { return recorder.completions() == 2; }));
    EXPECT_TRUE(isSnapshot(recorder.all<Recorder::Completion>()[1].response));
    auto settled = recorder.before(client);
    ASSERT_TRUE(settled.has_value());
    EXPECT_EQ(recorder.completions(), 2u);
}

TEST(ControlClient, UndecodableAnswerIsAnEmptyCompletionButTheHostCountsAsReachable) {
    World world;
    for (std::string answer :
         {"not json", R"({"ok":{},"failure":{"_0":"x"}})", R"({"snapshot":{"_0":{}}})", ""}) {
        SCOPED_TRACE(answer);
        FakeHost fake(world, [answer](const std::string&) { return answer; });
        Recorder recorder;
        ControlClient client(world.connectionOptions(true));
        recorder.attach(client);

        client.send(ControlRequest::snapshot(), recorder.completion());
        auto items = recorder.before(client);
        ASSERT_TRUE(items.has_value());
        ASSERT_EQ(items->size(), 2u);
        ASSERT_TRUE(std::holds_alternative<Recorder::Completion>((*items)[0]));
        EXPECT_FALSE(std::get<Recorder::Completion>((*items)[0]).response.has_value());
        ASSERT_TRUE(std::holds_alternative<Recorder::Reachability>((*items)[1]));
        EXPECT_TRUE(std::get<Recorder::Reachability>((*items)[1]).reachable);
    }
}

TEST(ControlClient, UnansweredCallFailsOnceAndTheConnectionIsMadeAgain) {
    World world;
    FakeHost fake(world, [](const std::string&) { return std::nullopt; });
    Recorder recorder;
    ControlClient client(world.connectionOptions(true));
    recorder.attach(client);

    client.send(ControlRequest::snapshot(), recorder.completion());
    ASSERT_TRUE(waitUntil([&] { return recorder.completions() == 1; }));
    EXPECT_FALSE(recorder.all<Recorder::Completion>()[0].response.has_value());
    ASSERT_TRUE(waitUntil([&] { return !recorder.all<Recorder::Reachability>().empty(); }));
    EXPECT_FALSE(recorder.all<Recorder::Reachability>()[0].reachable);

    fake.setAnswer([](const std::string&) { return emptySnapshotAnswer(); });
    recorder.items.clear();
    client.send(ControlRequest::snapshot(), recorder.completion());
    ASSERT_TRUE(waitUntil([&] { return recorder.completions() == 1; }));
    EXPECT_TRUE(isSnapshot(recorder.all<Recorder::Completion>()[0].response));
    EXPECT_EQ(fake.requestCount(), 2u);
}

TEST(ControlClient, RequestThatCannotBeWrittenCompletesEmptyWithoutReachabilityReport) {
    World world;
    FakeHost fake(world, [](const std::string&) { return emptySnapshotAnswer(); });
    Recorder recorder;
    ControlClient client(world.connectionOptions(true));
    recorder.attach(client);

    // Not valid UTF-8: there is no JSON text for it.
    client.send(ControlRequest::renameAccount("A", "bad \xff name"), recorder.completion());
    auto items = recorder.before(client);
    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), 1u) << "no report about the host";
    ASSERT_TRUE(std::holds_alternative<Recorder::Completion>((*items)[0]));
    EXPECT_FALSE(std::get<Recorder::Completion>((*items)[0]).response.has_value());
    EXPECT_EQ(fake.requestCount(), 1u) << "only the marker reached the host";
}

TEST(ControlClient, PushedEventsAreDecodedAndUndecodableOnesDropped) {
    World world;
    FakeHost fake(world, [](const std::string&) { return emptySnapshotAnswer(); });
    Recorder recorder;
    ControlClient client(world.connectionOptions(true));
    recorder.attach(client);

    // Events need a live connection.
    client.send(ControlRequest::snapshot(), recorder.completion());
    ASSERT_TRUE(waitUntil([&] { return recorder.completions() == 1; }));
    recorder.items.clear();

    ApiLogEntry line{"L1",
                     "C1",
                     std::nullopt,
                     std::string("agent"),
                     ApiLogEntry::Direction::request,
                     "ping",
                     "{}",
                     makeDate(2024, 5, 1, 12, 0, 0)};
    for (const char* bad : {"", "[]", "{}", R"({"dataChanged":null})", R"({"apiCall":{"_0":{}}})",
                            R"({"dataChanged":{},"connectionsChanged":{}})", "{\"dataChanged\":{}"}) {
        ASSERT_TRUE(fake.pushEvent(bad));
    }
    ASSERT_TRUE(fake.pushAgentNotification(R"({"jsonrpc":"2.0","method":"notifications/message"})"));
    ASSERT_TRUE(fake.pushEvent(*QuorvaneCoding::encodeToString(ControlEvent::apiCall(line))));
    ASSERT_TRUE(fake.pushEvent(R"({"connectionsChanged":{},"unknown":1})"));

    auto items = recorder.before(client);
    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), 2u);
    auto events = recorder.all<Recorder::Event>();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].event, ControlEvent::apiCall(line));
    EXPECT_EQ(events[1].event, ControlEvent::connectionsChanged());
    EXPECT_FALSE(recorder.offMainThread);

    // The same holds when the transport calls the client object directly.
    recorder.items.clear();
    client.controlEvent("{\"apiCall\":{}}");
    client.deliverAgentNotification("{}");
    items = recorder.before(client);
    ASSERT_TRUE(items.has_value());
    EXPECT_TRUE(items->empty());
}

TEST(ControlClient, DestroyedWithARequestOutstandingDeliversNothingAfterwards) {
    World world;
    auto host = startHost(world);
    Recorder recorder;
    {
        ControlClient client(world.connectionOptions());
        recorder.attach(client);
        client.send(ControlRequest::snapshot(), recorder.completion());
        ASSERT_TRUE(waitUntil([&] { return recorder.completions() == 1; }));
        host->pause();
        client.send(ControlRequest::snapshot(), recorder.completion());
        client.send(ControlRequest::snapshot(), recorder.completion());
    }
    host->signal(SIGCONT);
    // The client's threads are stopped: run whatever they had posted.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(recorder.completions(), 1u);
}

} // namespace
} // namespace quorvane

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
