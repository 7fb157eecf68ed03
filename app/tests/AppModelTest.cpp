// The operator app's model: applying what the host reports, the follow-up of
// every operation (against an in-process host that answers as told), and the
// whole road against the real host and bridge programs.

#include <QCoreApplication>
#include <QSignalSpy>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/AppModel.h"
#include "app/tests/AppModelTestSupport.h"
#include "common/Coding.h"
#include "tests/support/Waiting.h"

namespace quorvane {
namespace {

using namespace apptest;

Date at(int second) {
    return makeDate(2024, 5, 1, 12, 0, second);
}

Account account(const std::string& id, const std::string& name, std::int64_t balance = 0) {
    Account value;
    value.id = id;
    value.displayName = name;
    value.balance = balance;
    value.createdAt = at(0);
    return value;
}

LedgerEntry entry(const std::string& id, const std::string& accountId, std::int64_t amount) {
    return LedgerEntry{id,    accountId, TransactionKind::credit, LedgerFlag::none, amount, "memo", at(1),
                       at(1), 1};
}

ApiLogEntry logLine(const std::string& id, int second) {
    return ApiLogEntry{id,     "C1", std::nullopt, std::string("agent"), ApiLogEntry::Direction::request,
                       "ping", "{}", at(second)};
}

Snapshot sampleSnapshot() {
    Snapshot snapshot;
    snapshot.accounts = {account("A", "Alpha", 10), account("B", "Beta", 20)};
    snapshot.entries = {entry("E2", "B", 20), entry("E1", "A", 10)};
    snapshot.connections = {LiveConnection{"C1", ClientInfo{"agent", "1", std::nullopt}, "A", true, at(2)}};
    snapshot.settings = Settings{false, 10};
    snapshot.recentApiLog = {logLine("L1", 1)};
    snapshot.hostVersion = "9.9 (9)";
    return snapshot;
}

// A model whose client points at a world without a host.
struct Offline {
    World world;
    AppModel model{std::make_unique<ControlClient>(world.connectionOptions()), {}};
};

// Counts every change signal of a model.
class Signals {
public:
    explicit Signals(AppModel& model) {
        add(model, "accounts", &AppModel::accountsChanged);
        add(model, "entries", &AppModel::entriesChanged);
        add(model, "connections", &AppModel::connectionsChanged);
        add(model, "settings", &AppModel::settingsChanged);
        add(model, "apiLog", &AppModel::apiLogChanged);
        add(model, "hostVersion", &AppModel::hostVersionChanged);
        add(model, "isConnected", &AppModel::isConnectedChanged);
        add(model, "selectedAccountID", &AppModel::selectedAccountIDChanged);
    }

    // name -> count, only for signals that fired.
    [[nodiscard]] std::map<std::string, int> fired() const {
        std::map<std::string, int> result;
        for (const auto& [name, spy] : spies_) {
            if (spy->count() > 0) {
                result[name] = static_cast<int>(spy->count());
            }
        }
        return result;
    }

    void clear() {
        for (auto& [name, spy] : spies_) {
            spy->clear();
        }
    }

private:
    template <class Signal>
    void add(AppModel& model, const std::string& name, Signal signal) {
        spies_[name] = std::make_unique<QSignalSpy>(&model, signal);
    }

    std::map<std::string, std::unique_ptr<QSignalSpy>> spies_;
};

// ---- Applying reports -----------------------------------------------------------------

TEST(AppModelApply, InitialValues) {
    Offline offline;
    const AppModel& model = offline.model;
    EXPECT_TRUE(model.accounts().empty());
    EXPECT_TRUE(model.entries().empty());
    EXPECT_TRUE(model.connections().empty());
    EXPECT_EQ(model.settings(), (Settings{true, 50000}));
    EXPECT_TRUE(model.apiLog().empty());
    EXPECT_EQ(model.hostVersion(), "");
    EXPECT_FALSE(model.isConnected());
    EXPECT_FALSE(model.selectedAccountID().has_value());
    EXPECT_FALSE(model.selectedAccount().has_value());
}

TEST(AppModelApply, PropertiesSignalOnlyWhenTheirValueChanges) {
    Offline offline;
    AppModel& model = offline.model;
    Signals spies(model);

    model.applySnapshot(sampleSnapshot());
    EXPECT_EQ(spies.fired(), (std::map<std::string, int>{{"accounts", 1},
                                                         {"entries", 1},
                                                         {"connections", 1},
                                                         {"settings", 1},
                                                         {"apiLog", 1},
                                                         {"hostVersion", 1},
                                                         {"isConnected", 1},
                                                         {"selectedAccountID", 1}}));

    spies.clear();
    model.applySnapshot(sampleSnapshot());
    model.setSelectedAccountID("A");
    EXPECT_TRUE(spies.fired().empty());

    struct Change {
        std::string property;
        std::function<void(Snapshot&)> edit;
    };
    const std::vector<Change> changes{
        {"accounts", [](Snapshot& s) { s.accounts[1].balance += 1; }},
        {"accounts", [](Snapshot& s) { s.accounts[0].isConnected = true; }},
        {"accounts", [](Snapshot& s) { s.accounts[0].clientInfoFields = std::vector<ClientInfoField>{}; }},
        {"entries", [](Snapshot& s) { s.entries[0].memo = "other"; }},
        {"entries", [](Snapshot& s) { s.entries.pop_back(); }},
        {"connections", [](Snapshot& s) { s.connections[0].authenticated = false; }},
        {"settings", [](Snapshot& s) { s.settings.allowUnauthenticated = true; }},
        {"settings", [](Snapshot& s) { s.settings.startingPoints = 11; }},
        {"apiLog", [](Snapshot& s) { s.recentApiLog[0].payload = "[]"; }},
        {"hostVersion", [](Snapshot& s) { s.hostVersion = "9.9 (10)"; }},
    };
    for (const auto& change : changes) {
        SCOPED_TRACE(change.property);
        Snapshot changed = sampleSnapshot();
        change.edit(changed);
        spies.clear();
        model.applySnapshot(changed);
        EXPECT_EQ(spies.fired(), (std::map<std::string, int>{{change.property, 1}}));
        model.applySnapshot(sampleSnapshot());
    }
}

TEST(AppModelApply, SnapshotApiLogIsSortedNewestFirstWithTheLaterOfTiedLinesFirst) {
    // The host lists its log oldest first, with times in whole seconds: of two
    // lines with the same time the one listed later is the newer one.
    Offline offline;
    Snapshot snapshot;
    snapshot.recentApiLog = {logLine("a", 1), logLine("b", 3), logLine("c", 2), logLine("d", 3),
                             logLine("e", 1)};
    offline.model.applySnapshot(snapshot);
    std::vector<std::string> ids;
    for (const auto& line : offline.model.apiLog()) {
        ids.push_back(line.id);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"d", "b", "c", "e", "a"}));
}

TEST(AppModelApply, PushedCallsGoToTheFrontAndTheLogKeepsTheNewest500) {
    Offline offline;
    AppModel& model = offline.model;
    QSignalSpy changed(&model, &AppModel::apiLogChanged);

    // A snapshot's log is taken whole (the host sends at most 300 lines, oldest first).
    Snapshot snapshot;
    for (int i = 0; i < 300; ++i) {
        snapshot.recentApiLog.push_back(logLine("S" + std::to_string(i), 0));
    }
    model.applySnapshot(snapshot);
    ASSERT_EQ(model.apiLog().size(), 300u);

    for (int i = 0; i < 201; ++i) {
        model.apply(ControlEvent::apiCall(logLine("P" + std::to_string(i), 5)));
    }
    ASSERT_EQ(model.apiLog().size(), 500u);
    EXPECT_EQ(model.apiLog().front().id, "P200");
    EXPECT_EQ(model.apiLog()[200].id, "P0");
    EXPECT_EQ(model.apiLog().back().id, "S1"); // S0 was the oldest
    EXPECT_EQ(changed.count(), 1 + 201);

    // Pushes cut the log; a snapshot is never cut.
    Snapshot big;
    for (int i = 0; i < 600; ++i) {
        big.recentApiLog.push_back(logLine("B" + std::to_string(i), 0));
    }
    model.applySnapshot(big);
    EXPECT_EQ(model.apiLog().size(), 600u);
    model.apply(ControlEvent::apiCall(logLine("N", 9)));
    ASSERT_EQ(model.apiLog().size(), 500u);
    EXPECT_EQ(model.apiLog().front().id, "N");
    EXPECT_EQ(model.apiLog().back().id, "B101");
}

TEST(AppModelApply, SelectionFollowsTheFirstAccountOnlyWhenNothingIsSelected) {
    Offline offline;
    AppModel& model = offline.model;

    model.applySnapshot(Snapshot{});
    EXPECT_FALSE(model.selectedAccountID().has_value());

    model.applySnapshot(sampleSnapshot());
    EXPECT_EQ(model.selectedAccountID(), "A");
    ASSERT_TRUE(model.selectedAccount().has_value());
    EXPECT_EQ(model.selectedAccount()->displayName, "Alpha");

    model.setSelectedAccountID("B");
    model.applySnapshot(sampleSnapshot());
    EXPECT_EQ(model.selectedAccountID(), "B");

    // A selection of an account that has gone stays, but selects nothing.
    model.setSelectedAccountID("GONE");
    model.applySnapshot(sampleSnapshot());
    EXPECT_EQ(model.selectedAccountID(), "GONE");
    EXPECT_FALSE(model.selectedAccount().has_value());

    EXPECT_EQ(model.entriesFor("A"), (std::vector<LedgerEntry>{entry("E1", "A", 10)}));
    EXPECT_TRUE(model.entriesFor("GONE").empty());
}

// ---- Follow-ups, against a host that answers as told ---------------------------------------

struct Operation {
    std::string name;
    std::function<void(AppModel&)> call;
    ControlRequest expected;
};

std::vector<Operation> operations() {
    const LedgerEntry changed = entry("E1", "A", 99);
    const NewLedgerEntry added{"A", TransactionKind::debit, LedgerFlag::penalty, 3, "late"};
    return {
        {"createEntry", [added](AppModel& m) { m.createEntry(added); }, ControlRequest::createEntry(added)},
        {"updateEntry", [changed](AppModel& m) { m.updateEntry(changed); },
         ControlRequest::updateEntry(changed)},
        {"deleteEntry", [](AppModel& m) { m.deleteEntry("E1"); }, ControlRequest::deleteEntry("E1")},
        {"renameAccount", [](AppModel& m) { m.renameAccount("A", "Ann"); },
         ControlRequest::renameAccount("A", "Ann")},
        {"deleteAccount", [](AppModel& m) { m.deleteAccount("B"); }, ControlRequest::deleteAccount("B")},
        {"setAllowUnauthenticated", [](AppModel& m) { m.setAllowUnauthenticated(false); },
         ControlRequest::setAllowUnauthenticated(false)},
        {"setStartingPoints", [](AppModel& m) { m.setStartingPoints(250); },
         ControlRequest::setStartingPoints(250)},
        {"setStartingPointsNegative", [](AppModel& m) { m.setStartingPoints(-5); },
         ControlRequest::setStartingPoints(0)},
        {"setStartingPointsLowest",
         [](AppModel& m) { m.setStartingPoints(std::numeric_limits<std::int64_t>::min()); },
         ControlRequest::setStartingPoints(0)},
    };
}

// Answers snapshot requests with `snapshot`, everything else with `other`.
FakeHost::Answer answering(const Snapshot& snapshot, std::optional<std::string> other) {
    const std::string snapshotText = snapshotAnswer(snapshot);
    return [snapshotText, other](const std::string& request) -> std::optional<std::string> {
        if (request == R"({"snapshot":{}})") {
            return snapshotText;
        }
        return other;
    };
}

std::vector<ControlRequest> decoded(const std::vector<std::string>& texts) {
    std::vector<ControlRequest> requests;
    for (const auto& text : texts) {
        auto request = QuorvaneCoding::decode<ControlRequest>(text);
        EXPECT_TRUE(request.has_value()) << text;
        if (request) {
            requests.push_back(*request);
        }
    }
    return requests;
}

// What the model had sent before this call. A marker change sent now reaches
// the host after all of it (the client sends one request at a time, in
// order); returns once the marker has arrived.
std::vector<ControlRequest> sentBeforeMarker(const FakeHost& fake, AppModel& model) {
    const ControlRequest marker = ControlRequest::renameAccount("MARKER", "marker");
    auto markers = [&marker](const std::vector<ControlRequest>& requests) {
        return std::count(requests.begin(), requests.end(), marker);
    };
    const auto earlier = markers(decoded(fake.requests()));
    model.renameAccount("MARKER", "marker");
    std::vector<ControlRequest> all;
    EXPECT_TRUE(waitUntil([&] {
        all = decoded(fake.requests());
        return markers(all) > earlier;
    }));
    all.erase(std::find_end(all.begin(), all.end(), &marker, &marker + 1), all.end());
    return all;
}

TEST(AppModelFollowUps, EveryOperationSendsItsRequestThenRefreshesWhateverTheAnswer) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> answers{
        {"ok", R"({"ok":{}})"},
        {"failure", R"({"failure":{"_0":"Account not found"}})"},
        {"undecodable", "?"},
        {"no answer", std::nullopt},
    };
    Snapshot after = sampleSnapshot();
    after.hostVersion = "after";
    for (const auto& operation : operations()) {
        for (const auto& [answerName, answer] : answers) {
            SCOPED_TRACE(operation.name + " answered with " + answerName);
            World world;
            FakeHost fake(world, answering(after, answer));
            AppModel model(std::make_unique<ControlClient>(world.connectionOptions(true)), {});
            operation.call(model);
            ASSERT_TRUE(waitUntil([&] { return model.hostVersion() == "after"; }));
            EXPECT_EQ(sentBeforeMarker(fake, model),
                      (std::vector<ControlRequest>{operation.expected, ControlRequest::snapshot()}));
            EXPECT_TRUE(model.isConnected());
        }
    }
}

TEST(AppModelFollowUps, RefreshChangesNothingUnlessTheAnswerIsASnapshot) {
    World world;
    FakeHost fake(world, [](const std::string&) { return std::string(R"({"ok":{}})"); });
    AppModel model(std::make_unique<ControlClient>(world.connectionOptions(true)), {});
    model.applySnapshot(sampleSnapshot());
    model.setSelectedAccountID("B");
    Signals spies(model);

    for (const char* answer : {R"({"ok":{}})", R"({"failure":{"_0":"x"}})", "nonsense"}) {
        fake.setAnswer([answer](const std::string&) { return std::string(answer); });
        const auto before = fake.requestCount();
        model.refresh();
        ASSERT_TRUE(waitUntil([&] { return fake.requestCount() == before + 1; }));
    }
    // Answers come back in order: once a last refresh with a snapshot that
    // differs only in its version is applied, the three before it were too.
    Snapshot marker = sampleSnapshot();
    marker.hostVersion = "marker";
    fake.setAnswer(answering(marker, std::nullopt));
    model.refresh();
    ASSERT_TRUE(waitUntil([&] { return model.hostVersion() == "marker"; }));
    EXPECT_EQ(spies.fired(), (std::map<std::string, int>{{"hostVersion", 1}}));
    EXPECT_EQ(model.accounts(), sampleSnapshot().accounts);
}

TEST(AppModelFollowUps, DeletingTheSelectedAccountSelectsTheFirstOfTheNextSnapshotEvenWhenRefused) {
    World world;
    Snapshot after = sampleSnapshot();
    after.accounts = {account("B", "Beta"), account("C", "Gamma")};
    FakeHost fake(world, answering(after, R"({"failure":{"_0":"Account not found"}})"));
    AppModel model(std::make_unique<ControlClient>(world.connectionOptions(true)), {});
    model.applySnapshot(sampleSnapshot());
    model.setSelectedAccountID("C");

    // Another account: the selection stays.
    model.deleteAccount("A");
    ASSERT_TRUE(waitUntil([&] { return model.accounts() == after.accounts; }));
    EXPECT_EQ(model.selectedAccountID(), "C");

    // The selected one: cleared, then the first account of the next snapshot.
    model.deleteAccount("C");
    ASSERT_TRUE(waitUntil([&] { return fake.requestCount() == 4; }));
    ASSERT_TRUE(waitUntil([&] { return model.selectedAccountID() == std::optional<std::string>("B"); }));
}

TEST(AppModelFollowUps, StartRegistersOnceOffTheMainThreadThenAsksForOneSnapshot) {
    World world;
    FakeHost fake(world, answering(sampleSnapshot(), R"({"ok":{}})"));
    std::atomic<int> registrations{0};
    std::atomic<bool> registeredOnMainThread{false};
    std::atomic<std::size_t> requestsWhenRegistering{99};
    QThread* mainThread = QThread::currentThread();
    AppModel model(std::make_unique<ControlClient>(world.connectionOptions(true)), [&] {
        ++registrations;
        registeredOnMainThread = QThread::currentThread() == mainThread;
        requestsWhenRegistering = fake.requestCount();
    });

    model.start();
    model.start();
    ASSERT_TRUE(waitUntil([&] { return model.isConnected(); }));
    model.start();
    EXPECT_EQ(sentBeforeMarker(fake, model), (std::vector<ControlRequest>{ControlRequest::snapshot()}));
    EXPECT_EQ(registrations, 1);
    EXPECT_FALSE(registeredOnMainThread);
    EXPECT_EQ(requestsWhenRegistering, 0u);
    EXPECT_EQ(model.selectedAccountID(), "A");

    // The callbacks are in place: events reach the model. (The marker and
    // its refresh are requests 2 and 3.)
    ASSERT_TRUE(waitUntil([&] { return fake.requestCount() == 3; }));
    ASSERT_TRUE(fake.pushEvent(R"({"dataChanged":{}})"));
    ASSERT_TRUE(waitUntil([&] { return fake.requestCount() == 4; }));
    ASSERT_TRUE(fake.pushEvent(R"({"connectionsChanged":{}})"));
    ASSERT_TRUE(waitUntil([&] { return fake.requestCount() == 5; }));
    ASSERT_TRUE(fake.pushEvent(*QuorvaneCoding::encodeToString(ControlEvent::apiCall(logLine("P", 9)))));
    ASSERT_TRUE(waitUntil([&] { return !model.apiLog().empty() && model.apiLog().front().id == "P"; }));
    EXPECT_EQ(sentBeforeMarker(fake, model).size(), 5u) << "a pushed call asks for nothing";
}

TEST(AppModelFollowUps, AModelDestroyedBeforeTheAnswerIgnoresIt) {
    World world;
    FakeHost fake(world, answering(sampleSnapshot(), R"({"ok":{}})"));
    int reported = 0;
    {
        AppModel model(std::make_unique<ControlClient>(world.connectionOptions(true)), [] {});
        model.start();
        model.createEntry(NewLedgerEntry{"A", TransactionKind::credit, LedgerFlag::none, 1, ""},
                          [&reported](const Result<void>&) { ++reported; });
        // The host has the request (and answers it) while the main thread runs
        // no event loop: the answer and the start-up refresh wait for it, and
        // the model goes first.
        ASSERT_TRUE(test::eventually([&] { return fake.requestCount() == 1; }));
    }
    // Destroying the model stopped its client's threads, so nothing can be
    // posted any more: run what was.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(reported, 0) << "an outcome for a model that is gone";
}

// ---- The real host ------------------------------------------------------------------------

class AppModelWithHost : public ::testing::Test {
protected:
    void SetUp() override {
        host = startHost(world);
        ASSERT_TRUE(host && host->running());
        model = makeModel();
        model->start();
        ASSERT_TRUE(waitUntil([&] { return model->isConnected(); }));
    }

    std::unique_ptr<AppModel> makeModel() {
        return std::make_unique<AppModel>(std::make_unique<ControlClient>(world.connectionOptions()),
                                          [this] { ++registrations; });
    }

    // Starts an agent whose initialize creates (or finds) its account.
    Agent& addAgent(const std::string& name) {
        agents.push_back(std::make_unique<Agent>(world, name));
        EXPECT_TRUE(agents.back()->initialize());
        return *agents.back();
    }

    // Returns once a change to no account has been answered: everything the
    // host sent this model before that answer (answers and events, on the
    // one connection, in order) has been handled.
    [[nodiscard]] bool roundTrip() {
        std::optional<Result<void>> outcome;
        model->renameAccount("NO-SUCH-ACCOUNT", "x",
                             [&outcome](const Result<void>& result) { outcome = result; });
        return waitUntil([&] { return outcome.has_value(); });
    }

    [[nodiscard]] std::optional<Account> accountNamed(const std::string& name) const {
        for (const auto& candidate : model->accounts()) {
            if (candidate.displayName == name) {
                return candidate;
            }
        }
        return std::nullopt;
    }

    World world;
    std::unique_ptr<Child> host;
    std::atomic<int> registrations{0};
    std::unique_ptr<AppModel> model;
    std::vector<std::unique_ptr<Agent>> agents;
};

TEST_F(AppModelWithHost, StartShowsTheHostsState) {
    EXPECT_EQ(registrations, 1);
    EXPECT_EQ(model->hostVersion(), QuorvaneVersion::displayString);
    EXPECT_EQ(model->settings(), (Settings{true, 50000}));
    EXPECT_TRUE(model->accounts().empty());
    EXPECT_TRUE(model->entries().empty());
    EXPECT_FALSE(model->selectedAccountID().has_value());
}

TEST_F(AppModelWithHost, SelectionRulesWithRealAccounts) {
    // The first account appears through the connection event and is selected.
    addAgent("alpha");
    ASSERT_TRUE(waitUntil([&] { return model->accounts().size() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return model->selectedAccountID().has_value(); }));
    const std::string alpha = model->accounts()[0].id;
    EXPECT_EQ(model->selectedAccountID(), alpha);
    EXPECT_EQ(model->selectedAccount()->displayName, "alpha");

    addAgent("beta");
    addAgent("gamma");
    ASSERT_TRUE(waitUntil([&] { return model->accounts().size() == 3; }));
    EXPECT_EQ(model->selectedAccountID(), alpha);
    const std::string beta = accountNamed("beta")->id;
    const std::string gamma = accountNamed("gamma")->id;

    model->setSelectedAccountID(beta);
    model->deleteAccount(gamma);
    ASSERT_TRUE(waitUntil([&] { return model->accounts().size() == 2; }));
    ASSERT_TRUE(roundTrip());
    EXPECT_EQ(model->selectedAccountID(), beta);

    model->deleteAccount(beta);
    ASSERT_TRUE(waitUntil([&] { return model->accounts().size() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return model->selectedAccountID() == std::optional<std::string>(alpha); }));

    model->deleteAccount(alpha);
    ASSERT_TRUE(waitUntil([&] { return model->accounts().empty(); }));
    ASSERT_TRUE(roundTrip());
    EXPECT_FALSE(model->selectedAccountID().has_value());
}

TEST_F(AppModelWithHost, OperationsChangeTheLedgerAndOtherAppsFollowThroughEvents) {
    // A second app only learns of the first one's changes through events.
    auto watcher = makeModel();
    watcher->start();
    ASSERT_TRUE(waitUntil([&] { return watcher->isConnected(); }));

    addAgent("alpha");
    ASSERT_TRUE(waitUntil([&] { return model->accounts().size() == 1; }));
    const Account alpha = model->accounts()[0];
    EXPECT_EQ(alpha.balance, 50000); // the starting points
    ASSERT_TRUE(waitUntil([&] { return watcher->accounts().size() == 1; }));

    model->createEntry(NewLedgerEntry{alpha.id, TransactionKind::debit, LedgerFlag::penalty, 700, "late"});
    ASSERT_TRUE(waitUntil([&] { return model->entries().size() == 2; }));
    const LedgerEntry added = model->entries().front();
    EXPECT_EQ(added.memo, "late");
    EXPECT_EQ(added.kind, TransactionKind::debit);
    EXPECT_EQ(added.flag, LedgerFlag::penalty);
    EXPECT_EQ(model->accounts()[0].balance, 49300);
    ASSERT_TRUE(waitUntil([&] { return watcher->entries() == model->entries(); }));
    EXPECT_EQ(watcher->accounts(), model->accounts());

    LedgerEntry changed = added;
    changed.kind = TransactionKind::credit;
    changed.flag = LedgerFlag::bonus;
    changed.amount = 5;
    changed.memo = "early after all";
    model->updateEntry(changed);
    ASSERT_TRUE(waitUntil([&] { return model->entries().front().memo == "early after all"; }));
    EXPECT_EQ(model->entries().front().amount, 5);
    EXPECT_EQ(model->entries().front().flag, LedgerFlag::bonus);
    EXPECT_EQ(model->accounts()[0].balance, 50005);

    model->deleteEntry(added.id);
    ASSERT_TRUE(waitUntil([&] { return model->entries().size() == 1; }));
    EXPECT_EQ(model->accounts()[0].balance, 50000);
    EXPECT_EQ(model->entriesFor(alpha.id), model->entries());

    model->renameAccount(alpha.id, "Alpha Prime");
    ASSERT_TRUE(waitUntil([&] { return model->accounts()[0].displayName == "Alpha Prime"; }));
    ASSERT_TRUE(waitUntil([&] { return watcher->accounts()[0].displayName == "Alpha Prime"; }));

    model->setAllowUnauthenticated(false);
    ASSERT_TRUE(waitUntil([&] { return !model->settings().allowUnauthenticated; }));
    model->setStartingPoints(-5);
    ASSERT_TRUE(waitUntil([&] { return model->settings().startingPoints == 0; }));
    model->setStartingPoints(1234);
    ASSERT_TRUE(waitUntil([&] { return model->settings() == (Settings{false, 1234}); }));
    ASSERT_TRUE(waitUntil([&] { return watcher->settings() == (Settings{false, 1234}); }));

    // A request the host refuses still refreshes; nothing changes.
    const auto entriesBefore = model->entries();
    model->deleteEntry("NO-SUCH-ENTRY");
    ASSERT_TRUE(roundTrip());
    EXPECT_EQ(model->entries(), entriesBefore);
    EXPECT_TRUE(model->isConnected());
}

TEST_F(AppModelWithHost, AgentTrafficArrivesAsApiCallsNewestFirst) {
    Agent& agent = addAgent("alpha");
    const std::string ping = R"({"jsonrpc":"2.0","id":7,"method":"ping"})";
    auto reply = agent.call(ping);
    ASSERT_TRUE(reply.has_value());

    ASSERT_TRUE(waitUntil([&] {
        return model->apiLog().size() >= 2 && model->apiLog()[0].payload == *reply &&
               model->apiLog()[1].payload == ping;
    }));
    const auto& response = model->apiLog()[0];
    const auto& request = model->apiLog()[1];
    EXPECT_EQ(request.direction, ApiLogEntry::Direction::request);
    EXPECT_EQ(request.method, "ping");
    EXPECT_EQ(response.direction, ApiLogEntry::Direction::response);
    EXPECT_EQ(request.connectionId, response.connectionId);
    EXPECT_TRUE(request.accountId.has_value()); // bound by its client information
}

TEST_F(AppModelWithHost, ApiLogKeepsTheNewest500PushedLines) {
    Agent& agent = addAgent("alpha");
    // The refresh that the new connection causes is done (a later snapshot
    // would replace the pushed lines).
    ASSERT_TRUE(waitUntil([&] { return model->accounts().size() == 1; }));
    std::string lastReply;
    for (int i = 0; i < 260; ++i) {
        auto reply =
            agent.call(R"({"jsonrpc":"2.0","id":)" + std::to_string(1000 + i) + R"(,"method":"ping"})");
        ASSERT_TRUE(reply.has_value());
        lastReply = *reply;
    }
    // 2 lines for initialize, 520 for the pings: the first 22 pushed are gone.
    ASSERT_TRUE(
        waitUntil([&] { return !model->apiLog().empty() && model->apiLog().front().payload == lastReply; }));
    EXPECT_EQ(model->apiLog().size(), 500u);
    EXPECT_EQ(model->apiLog().back().payload, R"({"jsonrpc":"2.0","id":1010,"method":"ping"})");

    // A snapshot replaces it with the host's 300 recent lines, in the same
    // newest-first order the pushes built.
    const std::vector<ApiLogEntry> pushed = model->apiLog();
    model->refresh();
    ASSERT_TRUE(waitUntil([&] { return model->apiLog().size() < 500; }));
    ASSERT_EQ(model->apiLog().size(), 300u);
    EXPECT_EQ(model->apiLog().front().payload, lastReply);
    EXPECT_TRUE(std::equal(model->apiLog().begin(), model->apiLog().end(), pushed.begin()));
}

TEST_F(AppModelWithHost, OfflineWhenTheHostStopsKeepingTheDataAndOnlineAfterTheNextAnswer) {
    addAgent("alpha");
    ASSERT_TRUE(waitUntil([&] { return model->accounts().size() == 1; }));
    const auto accounts = model->accounts();
    agents.clear();
    ASSERT_TRUE(waitUntil([&] { return !model->accounts()[0].isConnected; }));

    QSignalSpy connectedChanges(model.get(), &AppModel::isConnectedChanged);
    host->signal(SIGTERM);
    ASSERT_EQ(host->waitForExit(), 0);
    ASSERT_TRUE(waitUntil([&] { return !model->isConnected(); }));
    EXPECT_EQ(connectedChanges.count(), 1);
    EXPECT_EQ(model->accounts().size(), 1u);

    // Nothing answers: still offline, nothing cleared. (The outcome of a
    // later change comes after the refresh's.)
    model->refresh();
    std::optional<Result<void>> outcome;
    model->createEntry(NewLedgerEntry{accounts[0].id, TransactionKind::note, LedgerFlag::none, 0, "lost"},
                       [&outcome](const Result<void>& result) { outcome = result; });
    ASSERT_TRUE(waitUntil([&] { return outcome.has_value(); }));
    EXPECT_EQ(outcome->error().message, AppModel::hostUnreachableMessage);
    EXPECT_FALSE(model->isConnected());
    EXPECT_EQ(model->accounts().size(), 1u);
    EXPECT_EQ(connectedChanges.count(), 1);

    host = startHost(world);
    model->refresh();
    ASSERT_TRUE(waitUntil([&] { return model->isConnected(); }));
    EXPECT_EQ(connectedChanges.count(), 2);
    EXPECT_EQ(model->accounts()[0].id, accounts[0].id);

    // Events flow again on the new connection.
    model->createEntry(NewLedgerEntry{accounts[0].id, TransactionKind::note, LedgerFlag::none, 0, "back"});
    ASSERT_TRUE(waitUntil([&] { return model->entries().size() == 2; }));
}

TEST_F(AppModelWithHost, ReconnectsByItselfWhenTheHostComesBack) {
    model->setReconnectDelays(20ms, 100ms);
    addAgent("alpha");
    ASSERT_TRUE(waitUntil([&] { return model->connections().size() == 1 && model->accounts().size() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return model->accounts()[0].isConnected; }));
    const std::string alpha = model->accounts()[0].id;

    host->signal(SIGTERM);
    ASSERT_EQ(host->waitForExit(), 0);
    ASSERT_TRUE(waitUntil([&] { return model->isOffline(); }));
    EXPECT_FALSE(model->isConnected());
    EXPECT_TRUE(model->connections().empty()) << "the agent's connection went with the host";
    EXPECT_FALSE(model->accounts()[0].isConnected);
    EXPECT_EQ(model->accounts()[0].id, alpha) << "the ledger stays as last reported";

    // No operator action: the model finds the new host and its pushes.
    host = startHost(world);
    ASSERT_TRUE(waitUntil([&] { return model->isConnected() && !model->isOffline(); }));
    addAgent("beta");
    ASSERT_TRUE(waitUntil([&] { return model->accounts().size() == 2; }))
        << "events flow on the new connection";
}

TEST_F(AppModelWithHost, HostDyingDuringARefreshLeavesTheModelOfflineWithItsData) {
    addAgent("alpha");
    ASSERT_TRUE(waitUntil([&] { return model->accounts().size() == 1; }));
    agents.clear();
    ASSERT_TRUE(waitUntil([&] { return !model->accounts()[0].isConnected; }));
    const auto accounts = model->accounts();

    if (!unreadAtHostControl(world)) {
        GTEST_SKIP() << "the kernel's socket table (sock_diag for Unix sockets) cannot be read here";
    }
    host->pause();
    model->refresh();
    ASSERT_TRUE(waitUntil([&] { return unreadAtHostControl(world).value_or(0) > 0; }))
        << "the refresh never reached the stopped host";
    host->signal(SIGKILL);
    ASSERT_TRUE(host->waitForExit().has_value());
    ASSERT_TRUE(waitUntil([&] { return !model->isConnected(); }));
    EXPECT_EQ(model->accounts().size(), 1u);
    EXPECT_EQ(model->accounts()[0].id, accounts[0].id);
}

} // namespace
} // namespace quorvane

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
