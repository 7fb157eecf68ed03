// The operator app's views, offscreen: item models under
// QAbstractItemModelTester, and the widgets' behaviour against a model that
// talks to an in-process host which records every request.

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/AppModel.h"
#include "app/tests/AppModelTestSupport.h"
#include "app/ui/ActivityView.h"
#include "app/ui/AppIcons.h"
#include "app/ui/AppStyle.h"
#include "app/ui/Delegates.h"
#include "app/ui/EntryEditors.h"
#include "app/ui/ItemModels.h"
#include "app/ui/MainWindow.h"
#include "app/ui/RecordsView.h"
#include "app/ui/SettingsPaneView.h"
#include "common/Coding.h"

namespace quorvane {
namespace {

using namespace apptest;
using RegistrationController::AutostartMechanism;
using RegistrationController::RegistrationState;
using RegistrationController::RegistrationStatus;

Date at(int day, int second = 0) {
    return makeDate(2024, 5, static_cast<unsigned>(day), 12, 0, second);
}

Account account(std::string id, std::string name, std::int64_t balance = 0) {
    Account a;
    a.id = std::move(id);
    a.displayName = std::move(name);
    a.balance = balance;
    a.createdAt = at(1);
    return a;
}

LedgerEntry entry(std::string id, std::string accountId, TransactionKind kind, LedgerFlag flag,
                  std::int64_t amount, std::string memo = "memo") {
    return LedgerEntry{
        std::move(id), std::move(accountId), kind, flag, amount, std::move(memo), at(2), at(3), 7};
}

LiveConnection connection(std::string id, std::optional<ClientInfo> info, bool authenticated = false) {
    return LiveConnection{std::move(id), std::move(info), std::nullopt, authenticated, at(1)};
}

ApiLogEntry logLine(std::string id, std::optional<std::string> method = std::string("tools/call"),
                    std::string payload = "{}") {
    return ApiLogEntry{std::move(id),
                       "C1",
                       std::nullopt,
                       std::nullopt,
                       ApiLogEntry::Direction::request,
                       std::move(method),
                       std::move(payload),
                       at(1)};
}

Snapshot sample() {
    Snapshot s;
    s.accounts = {account("A", "Alpha", 10), account("B", "Beta", -40)};
    s.entries = {entry("E3", "B", TransactionKind::debit, LedgerFlag::none, 40),
                 entry("E2", "A", TransactionKind::note, LedgerFlag::bonus, 0, ""),
                 entry("E1", "A", TransactionKind::credit, LedgerFlag::penalty, 10)};
    s.connections = {connection("C1", ClientInfo{"agent", std::nullopt, std::nullopt}, true),
                     connection("C2", std::nullopt)};
    s.settings = {true, 50000};
    s.hostVersion = "0.1.11 (12)";
    return s;
}

// ---- The host side: an in-process host that keeps a snapshot, applies the two
// settings requests to it (or refuses every change), and records requests.

struct HostState {
    std::mutex mutex;
    Snapshot snapshot;
    bool refuse = false;
    bool dropChanges = false; // no answer to a change: the client sees the host as gone
    bool dropAll = false;     // no answer to anything
    std::size_t changesSeen = 0;
};

// Every snapshot the fake host answers names, in its version, how many change
// requests the host had seen by then, so a test can tell which refresh the
// model has applied.
constexpr char refreshMark[] = " after ";

std::size_t changesBeforeRefresh(const std::string& version) {
    std::size_t at = version.rfind(refreshMark);
    return at == std::string::npos ? 0 : std::stoul(version.substr(at + sizeof refreshMark - 1));
}

std::optional<std::string> answer(HostState& state, const std::string& text) {
    auto request = QuorvaneCoding::decode<ControlRequest>(text);
    std::lock_guard lock(state.mutex);
    if (state.dropAll) {
        return std::nullopt;
    }
    if (!request) {
        return QuorvaneCoding::encodeToString(ControlResponse::failure("Bad request."));
    }
    if (std::holds_alternative<ControlRequest::Snapshot>(request->value)) {
        Snapshot answered = state.snapshot;
        answered.hostVersion += refreshMark + std::to_string(state.changesSeen);
        return QuorvaneCoding::encodeToString(ControlResponse::snapshot(answered));
    }
    ++state.changesSeen;
    if (state.dropChanges) {
        return std::nullopt;
    }
    if (state.refuse) {
        return QuorvaneCoding::encodeToString(ControlResponse::failure("Refused."));
    }
    if (auto* allow = std::get_if<ControlRequest::SetAllowUnauthenticated>(&request->value)) {
        state.snapshot.settings.allowUnauthenticated = allow->value;
    } else if (auto* points = std::get_if<ControlRequest::SetStartingPoints>(&request->value)) {
        state.snapshot.settings.startingPoints = points->value;
    }
    return QuorvaneCoding::encodeToString(ControlResponse::ok());
}

class ViewsTest : public ::testing::Test {
protected:
    World world;
    std::shared_ptr<HostState> state = std::make_shared<HostState>();
    FakeHost host{world, [s = state](const std::string& request) { return answer(*s, request); }};
    AppModel model{std::make_unique<ControlClient>(world.connectionOptions(true)), {}};

    // What the host will report from now on.
    void serve(const Snapshot& snapshot) {
        std::lock_guard lock(state->mutex);
        state->snapshot = snapshot;
    }
    void refuseChanges(bool refuse) {
        std::lock_guard lock(state->mutex);
        state->refuse = refuse;
    }
    void dropChanges(bool drop) {
        std::lock_guard lock(state->mutex);
        state->dropChanges = drop;
    }
    void dropAll(bool drop) {
        std::lock_guard lock(state->mutex);
        state->dropAll = drop;
    }
    // The host reports `snapshot` and the model has it, without a round trip.
    void load(const Snapshot& snapshot) {
        serve(snapshot);
        model.applySnapshot(snapshot);
    }

    std::vector<ControlRequest> requests(bool includeSnapshots) const {
        std::vector<ControlRequest> result;
        for (const std::string& text : host.requests()) {
            auto request = QuorvaneCoding::decode<ControlRequest>(text);
            // The ledger list's reads of older pages are neither.
            if (request && !std::holds_alternative<ControlRequest::AccountHistory>(request->value) &&
                (includeSnapshots || !std::holds_alternative<ControlRequest::Snapshot>(request->value))) {
                result.push_back(*request);
            }
        }
        return result;
    }
    [[nodiscard]] std::vector<ControlRequest> changes() const { return requests(false); }
    [[nodiscard]] std::size_t snapshotRequests() const { return requests(true).size() - changes().size(); }

    // Waits until the host has seen `n` change requests and the model has
    // applied the refresh that followed the last of them. (Counting snapshot
    // requests is not enough: the start-up refresh is one of them.)
    [[nodiscard]] bool waitForChanges(std::size_t n) {
        return waitUntil(
            [&] { return changes().size() >= n && changesBeforeRefresh(model.hostVersion()) >= n; });
    }
    // Returns once everything the model sent before this call has reached the
    // host: the client keeps one connection and sends in order, so a refresh
    // sent now arrives after all of it. The refresh itself is not a change.
    [[nodiscard]] bool allSent() {
        std::size_t before = host.requestCount();
        model.refresh();
        return waitUntil([&] { return host.requestCount() > before; });
    }
};

template <class T>
const T& requestAs(const ControlRequest& request) {
    return std::get<T>(request.value);
}

// ---- Item models -------------------------------------------------------------------------

std::vector<QString> ids(const QAbstractItemModel& model, int firstRow = 0, int count = -1) {
    std::vector<QString> result;
    int end = count < 0 ? model.rowCount() : firstRow + count;
    for (int row = firstRow; row < end; ++row) {
        result.push_back(model.index(row, 0).data(IdRole).toString());
    }
    return result;
}

std::vector<QString> ids(std::initializer_list<const char*> list) {
    std::vector<QString> result;
    for (const char* id : list) {
        result.push_back(QString::fromLatin1(id));
    }
    return result;
}

TEST(ItemModels, LedgerModelAnnouncesEveryKindOfReplacement) {
    LedgerModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    auto e = [](const char* id, std::int64_t amount = 1) {
        return entry(id, "A", TransactionKind::credit, LedgerFlag::none, amount);
    };
    model.setEntries({e("A"), e("B"), e("C")});
    QPersistentModelIndex b = model.index(1);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    model.setEntries({e("N"), e("A"), e("B"), e("C")}); // newest first: one row added at the front
    EXPECT_EQ(ids(model), ids({"N", "A", "B", "C"}));
    EXPECT_EQ(b.row(), 2) << "rows that stay keep their identity";

    model.setEntries({e("N"), e("A"), e("B", 99), e("C")}); // one value changed
    EXPECT_EQ(b.row(), 2);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(b.data(AmountRole).toLongLong(), 99);

    model.setEntries({e("N"), e("A"), e("C")}); // one removed from the middle
    EXPECT_FALSE(b.isValid());
    model.setEntries({e("C"), e("X"), e("A"), e("N")}); // reordered
    EXPECT_EQ(ids(model), ids({"C", "X", "A", "N"}));
    model.setEntries({});
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(reset.count(), 0) << "the views keep scroll position and selection";
}

TEST(ItemModels, RowsReadToAssistiveTechnologyWhatTheyShow) {
    LedgerModel ledger;
    ledger.setEntries({entry("E1", "A", TransactionKind::debit, LedgerFlag::penalty, 1500, "late"),
                       entry("E2", "A", TransactionKind::note, LedgerFlag::none, 0, "")});
    const QString debit = ledger.index(0).data(Qt::AccessibleTextRole).toString();
    EXPECT_TRUE(debit.startsWith("Penalty, -1,500 points, ")) << debit.toStdString();
    EXPECT_TRUE(debit.contains(AppStyle::entryDateText(at(2))));
    EXPECT_TRUE(debit.endsWith(", late"));
    EXPECT_EQ(ledger.index(1).data(Qt::AccessibleTextRole).toString(),
              "Note, " + AppStyle::entryDateText(at(2)) + ", no memo");

    SidebarModel sidebar;
    Account alpha = account("A", "Alpha", 2500);
    alpha.isConnected = true;
    sidebar.setAccounts({alpha});
    EXPECT_EQ(sidebar.index(1).data(Qt::AccessibleTextRole).toString(),
              "Alpha, balance 2,500 points, connected");
}

TEST(ItemModels, ApiLogModelKeepsRowsWhenAPushCutsTheEnd) {
    ApiLogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    std::vector<ApiLogEntry> lines;
    for (int i = 500; i >= 1; --i) {
        lines.push_back(logLine("L" + std::to_string(i)));
    }
    model.setLines(lines);
    QPersistentModelIndex newest = model.index(0);
    lines.insert(lines.begin(), logLine("L501"));
    lines.pop_back();
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    model.setLines(lines);
    EXPECT_EQ(model.rowCount(), 500);
    EXPECT_EQ(newest.row(), 1);
    EXPECT_EQ(model.index(0).data(IdRole).toString(), "L501");
    EXPECT_EQ(model.index(499).data(IdRole).toString(), "L2");
    EXPECT_EQ(inserted.count(), 1);
    EXPECT_EQ(removed.count(), 1);
}

TEST(ItemModels, ApiLogModelShowsAnEmDashForAMissingMethodAndNothingForAMissingLabel) {
    ApiLogModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setLines({logLine("L1", std::nullopt)});
    EXPECT_EQ(model.index(0).data(MethodRole).toString(), QStringLiteral("\u2014"));
    EXPECT_EQ(model.index(0).data(ClientLabelRole).toString(), QString());
}

TEST(ItemModels, SidebarModelHasTwoSectionsAndOnlyAccountsAreSelectable) {
    SidebarModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    EXPECT_EQ(model.rowCount(), 2) << "with nothing to show, only the headings";
    model.setAccounts({account("A", "Alpha"), account("B", "Beta")});
    model.setConnections({connection("C1", ClientInfo{"name", std::nullopt, std::string("Title")}, true),
                          connection("C2", ClientInfo{"plain-name", std::nullopt, std::nullopt}),
                          connection("C3", ClientInfo{"name", std::nullopt, std::string()}),
                          connection("C4", std::nullopt)});
    ASSERT_EQ(model.rowCount(), 8);
    EXPECT_EQ(model.index(0).data().toString(), "Accounts");
    EXPECT_EQ(model.index(3).data().toString(), "Live Connections (4)");
    EXPECT_EQ(model.index(4).data().toString(), "Title");
    EXPECT_EQ(model.index(5).data().toString(), "plain-name") << "no title: the client's name";
    EXPECT_EQ(model.index(6).data().toString(), "") << "an empty title still counts";
    EXPECT_EQ(model.index(7).data().toString(), QStringLiteral("connecting\u2026"));
    EXPECT_EQ(model.index(4).data(SubtitleRole).toString(), "authenticated");
    EXPECT_EQ(model.index(5).data(SubtitleRole).toString(), "unauthenticated");
    for (int row = 0; row < model.rowCount(); ++row) {
        bool selectable = model.flags(model.index(row)).testFlag(Qt::ItemIsSelectable);
        EXPECT_EQ(selectable, row == 1 || row == 2) << "row " << row;
    }

    // A connection coming and going leaves the account rows alone.
    QPersistentModelIndex beta = model.index(2);
    model.setConnections({connection("C4", ClientInfo{"late", std::nullopt, std::nullopt})});
    EXPECT_EQ(beta.row(), 2);
    EXPECT_EQ(model.index(3).data().toString(), "Live Connections (1)");
    model.setAccounts({account("A", "Alpha"), account("B", "Beta"), account("C", "Gamma")});
    EXPECT_EQ(beta.row(), 2);
    EXPECT_EQ(model.rowOfAccount("C"), 3);
    EXPECT_EQ(model.index(5).data().toString(), "late");
}

TEST(ItemModels, LedgerBadgesAndMemos) {
    LedgerModel model;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    model.setEntries({entry("E1", "A", TransactionKind::credit, LedgerFlag::penalty, 5),
                      entry("E2", "A", TransactionKind::note, LedgerFlag::bonus, 0, ""),
                      entry("E3", "A", TransactionKind::debit, LedgerFlag::bonus, 5)});
    auto badge = [&](int row) {
        std::string_view text = label(static_cast<EntryType>(model.index(row).data(EntryTypeRole).toInt()));
        return std::string(text);
    };
    EXPECT_EQ(badge(0), "Credit");
    EXPECT_EQ(badge(1), "Note");
    EXPECT_EQ(badge(2), "Debit");
    EXPECT_EQ(model.index(0).data().toString(), "memo");
    EXPECT_EQ(model.index(1).data().toString(), QStringLiteral("\u2014"));
    EXPECT_EQ(model.index(0).data(AmountRole).toLongLong(), 5);
    EXPECT_EQ(model.index(2).data(AmountRole).toLongLong(), -5);
    EXPECT_FALSE(model.index(0).data(DateTextRole).toString().isEmpty());
}

// ---- Style and icons --------------------------------------------------------------------

TEST(AppStyle, AmountTextsAndColours) {
    EXPECT_EQ(AppStyle::signedAmountText(5), "+5");
    EXPECT_EQ(AppStyle::signedAmountText(0), "0");
    EXPECT_EQ(AppStyle::signedAmountText(-25), "-25");
    EXPECT_EQ(AppStyle::signedAmountText(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(AppStyle::amountColor(1), AppStyle::creditColor());
    EXPECT_EQ(AppStyle::amountColor(-40), AppStyle::debitColor());
    EXPECT_EQ(AppStyle::amountColor(0), AppStyle::noteColor());
    EXPECT_EQ(AppStyle::localeInteger(50000), "50,000");
    EXPECT_EQ(AppStyle::parseLocaleInteger("1,234"), 1234);
    EXPECT_EQ(AppStyle::parseLocaleInteger("12x"), std::nullopt);
}

TEST(AppStyle, TextColoursFollowTheWindowPalette) {
    QPalette light;
    light.setColor(QPalette::Window, Qt::white);
    light.setColor(QPalette::WindowText, Qt::black);
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    dark.setColor(QPalette::WindowText, QColor(235, 235, 235));
    for (const QPalette& palette : {light, dark}) {
        double window = palette.color(QPalette::Window).lightnessF();
        double text = palette.color(QPalette::WindowText).lightnessF();
        double secondary = AppStyle::secondaryText(palette).lightnessF();
        double tertiary = AppStyle::tertiaryText(palette).lightnessF();
        // Each step lies between the text and the window, the tertiary closer to the window.
        EXPECT_GT(std::abs(secondary - window), 0.2);
        EXPECT_LT(std::abs(secondary - text), std::abs(tertiary - text));
        EXPECT_GT(std::abs(tertiary - window), 0.15);
    }
}

TEST(AppStyle, FontsAreRelativeToTheSystemFont) {
    EXPECT_LE(AppStyle::caption2().pointSizeF(), AppStyle::caption().pointSizeF());
    EXPECT_LT(AppStyle::caption().pointSizeF(), AppStyle::body().pointSizeF());
    EXPECT_LT(AppStyle::body().pointSizeF(), AppStyle::title3().pointSizeF());
    EXPECT_LT(AppStyle::title3().pointSizeF(), AppStyle::title2().pointSizeF());
    EXPECT_EQ(AppStyle::balanceFont().pointSizeF(), 34);
    EXPECT_TRUE(QFontInfo(AppStyle::monospacedSmall()).fixedPitch());
}

TEST(AppIcons, EveryIconIsBundledAndDrawsWithoutATheme) {
    for (AppIcon icon : {AppIcon::records, AppIcon::activity, AppIcon::settings, AppIcon::noSelection,
                         AppIcon::pencil, AppIcon::trash, AppIcon::arrowDownLeft, AppIcon::arrowUpRight,
                         AppIcon::bell, AppIcon::personCheckmark, AppIcon::personQuestionmark}) {
        EXPECT_TRUE(AppIcons::hasBundledGlyph(icon)) << static_cast<int>(icon);
        QImage drawn = AppIcons::pixmap(icon, Qt::red, QSize(24, 24), 1.0).toImage();
        bool inked = false;
        for (int y = 0; y < drawn.height() && !inked; ++y) {
            for (int x = 0; x < drawn.width() && !inked; ++x) {
                QColor pixel = drawn.pixelColor(x, y);
                inked = pixel.alpha() > 128 && pixel.red() > 200 && pixel.green() < 60;
            }
        }
        EXPECT_TRUE(inked) << "icon " << static_cast<int>(icon) << " is drawn in the asked colour";
        EXPECT_FALSE(AppIcons::icon(icon).pixmap(16).isNull());
    }
}

// ---- Add-entry form ----------------------------------------------------------------------

TEST_F(ViewsTest, AddButtonIsEnabledOnlyForASubmittableEntry) {
    AddEntryView form(model);
    form.setAccountID("A");
    struct Case {
        EntryType type;
        QString amount;
        QString memo;
        bool enabled;
    };
    const Case cases[] = {
        {EntryType::credit, "", "", false},    {EntryType::credit, "0", "", false},
        {EntryType::credit, "-5", "", false},  {EntryType::credit, "+", "", false},
        {EntryType::credit, "5.0", "", false}, {EntryType::credit, "1,000", "", false},
        {EntryType::credit, " 5", "", false},  {EntryType::credit, "9223372036854775808", "", false},
        {EntryType::credit, "5", "", true},    {EntryType::credit, "+5", "", true},
        {EntryType::credit, "007", "", true},  {EntryType::note, "", "", false},
        {EntryType::note, "", "a memo", true}, {EntryType::note, "not a number", " ", true},
    };
    for (const Case& c : cases) {
        form.fields()->setType(c.type);
        form.fields()->setAmountText(c.amount);
        form.fields()->setMemo(c.memo);
        EXPECT_EQ(form.addButton()->isEnabled(), c.enabled)
            << rawValue(c.type) << " \"" << c.amount.toStdString() << "\" \"" << c.memo.toStdString() << "\"";
    }
    EXPECT_FALSE(form.fields()->amountField()->isEnabled()) << "the amount is not used for a note";
}

TEST_F(ViewsTest, AddSendsTheEntryAndClearsTheFieldsKeepingTheType) {
    load(sample());
    AddEntryView form(model);
    form.setAccountID("A");
    form.fields()->setType(EntryType::penalty);
    QTest::keyClicks(form.fields()->amountField(), "+25");
    QTest::keyClicks(form.fields()->memoField(), " late ");
    QTest::mouseClick(form.addButton(), Qt::LeftButton);
    EXPECT_FALSE(form.addButton()->isEnabled()) << "one add at a time";
    // Cleared once the host has added it.
    ASSERT_TRUE(waitUntil([&] { return form.fields()->amountText().isEmpty(); }));
    EXPECT_EQ(form.fields()->memo(), "");
    EXPECT_EQ(form.fields()->type(), EntryType::penalty);
    EXPECT_EQ(form.fields()->typePicker()->currentText(), "Penalty");
    EXPECT_FALSE(form.addButton()->isEnabled());
    EXPECT_FALSE(form.errorLabel()->isVisible());

    // Return without modifiers adds as well; a note carries amount 0.
    form.fields()->setType(EntryType::note);
    QTest::keyClicks(form.fields()->memoField(), "hello");
    QTest::keyClick(form.fields()->memoField(), Qt::Key_Return, Qt::ShiftModifier);
    QTest::keyClick(form.fields()->memoField(), Qt::Key_Return);
    ASSERT_TRUE(waitForChanges(2));
    ASSERT_TRUE(allSent());
    auto sent = changes();
    ASSERT_EQ(sent.size(), 2u) << "Shift+Return does not add";
    EXPECT_EQ(requestAs<ControlRequest::CreateEntry>(sent[0]).entry,
              (NewLedgerEntry{"A", TransactionKind::debit, LedgerFlag::penalty, 25, " late "}));
    EXPECT_EQ(requestAs<ControlRequest::CreateEntry>(sent[1]).entry,
              (NewLedgerEntry{"A", TransactionKind::note, LedgerFlag::none, 0, "hello"}));
}

TEST_F(ViewsTest, AFailedAddKeepsWhatWasTypedAndSaysWhy) {
    load(sample());
    AddEntryView form(model);
    form.show();
    form.setAccountID("A");
    struct Case {
        const char* name;
        bool drop;
        QString reason;
    };
    for (const Case& c :
         {Case{"refused", false, "Refused."},
          Case{"host gone", true, QString::fromUtf8(AppModel::hostUnreachableMessage.data())}}) {
        SCOPED_TRACE(c.name);
        refuseChanges(!c.drop);
        dropChanges(c.drop);
        form.fields()->setType(EntryType::credit);
        form.fields()->setAmountText("12");
        form.fields()->setMemo("kept");
        form.add();
        ASSERT_TRUE(waitUntil([&] { return form.errorLabel()->isVisible(); }));
        EXPECT_EQ(form.errorLabel()->text(), "Not added: " + c.reason);
        EXPECT_EQ(form.fields()->amountText(), "12");
        EXPECT_EQ(form.fields()->memo(), "kept");
        EXPECT_TRUE(form.addButton()->isEnabled()) << "the operator can try again";
    }
    // The next add that works clears the fields and the reason.
    refuseChanges(false);
    dropChanges(false);
    form.add();
    ASSERT_TRUE(waitUntil([&] { return form.fields()->amountText().isEmpty(); }));
    EXPECT_FALSE(form.errorLabel()->isVisible());
}

// ---- Sheets -------------------------------------------------------------------------------

TEST_F(ViewsTest, EditSheetSendsKindFlagAndAmountOfTheChosenType) {
    QWidget window;
    window.show();
    const LedgerEntry credit = entry("E1", "A", TransactionKind::credit, LedgerFlag::none, 10, "memo");

    QPointer<EditEntrySheet> sheet = new EditEntrySheet(model, credit, &window);
    sheet->open();
    EXPECT_EQ(sheet->fields()->type(), EntryType::credit);
    EXPECT_EQ(sheet->fields()->amountText(), "10");
    EXPECT_EQ(sheet->fields()->memo(), "memo");
    sheet->fields()->setType(EntryType::penalty);
    QTest::keyClick(sheet->fields()->memoField(), Qt::Key_Return); // Return saves
    ASSERT_TRUE(waitUntil([&] { return !sheet || !sheet->isVisible(); })) << "closed once the host took it";

    QPointer<EditEntrySheet> toNote = new EditEntrySheet(model, credit, &window);
    toNote->open();
    toNote->fields()->setType(EntryType::note);
    QTest::mouseClick(toNote->buttons()->saveButton(), Qt::LeftButton);

    ASSERT_TRUE(waitForChanges(2));
    auto sent = changes();
    LedgerEntry penalty = credit;
    penalty.kind = TransactionKind::debit;
    penalty.flag = LedgerFlag::penalty;
    EXPECT_EQ(requestAs<ControlRequest::UpdateEntry>(sent[0]).entry, penalty);
    const LedgerEntry& note = requestAs<ControlRequest::UpdateEntry>(sent[1]).entry;
    EXPECT_EQ(note.kind, TransactionKind::note);
    EXPECT_EQ(note.amount, 0);
    EXPECT_EQ(note.sequence, credit.sequence);
    EXPECT_EQ(note.createdAt, credit.createdAt);
}

TEST_F(ViewsTest, EditSheetCannotSaveAnAmountTheAddFormWouldRefuse) {
    QWidget window;
    window.show();
    const LedgerEntry credit = entry("E1", "A", TransactionKind::credit, LedgerFlag::none, 10, "memo");
    auto* sheet = new EditEntrySheet(model, credit, &window);
    sheet->open();
    EXPECT_TRUE(sheet->buttons()->saveButton()->isEnabled());
    for (const char* amount : {"1,000", "1 000", "-50", "", "0", "12.5", "x"}) {
        SCOPED_TRACE(amount);
        sheet->fields()->setAmountText(QString::fromUtf8(amount));
        EXPECT_FALSE(sheet->buttons()->saveButton()->isEnabled());
        QTest::keyClick(sheet->fields()->amountField(), Qt::Key_Return);
        EXPECT_TRUE(sheet->isVisible()) << "Return does not save either";
    }
    sheet->fields()->setAmountText("1000");
    EXPECT_TRUE(sheet->buttons()->saveButton()->isEnabled());
    ASSERT_TRUE(allSent());
    EXPECT_TRUE(changes().empty()) << "no amount was destroyed";
    sheet->reject();
}

TEST_F(ViewsTest, SheetsStayOpenWithTheReasonWhenTheHostDoesNotTakeTheChange) {
    QWidget window;
    window.show();
    refuseChanges(true);
    auto* edit =
        new EditEntrySheet(model, entry("E1", "A", TransactionKind::credit, LedgerFlag::none, 10), &window);
    edit->open();
    edit->fields()->setAmountText("99");
    edit->save();
    ASSERT_TRUE(waitUntil([&] { return edit->errorLabel()->isVisible(); }));
    EXPECT_TRUE(edit->isVisible());
    EXPECT_EQ(edit->errorLabel()->text(), "Not saved: Refused.");
    EXPECT_EQ(edit->fields()->amountText(), "99");
    edit->reject();

    auto* rename = new RenameSheet(model, account("A", "Alpha"), &window);
    rename->open();
    EXPECT_EQ(rename->nameField()->accessibleName(), "Display name");
    rename->nameField()->setText("Gamma");
    rename->save();
    ASSERT_TRUE(waitUntil([&] { return rename->errorLabel()->isVisible(); }));
    EXPECT_TRUE(rename->isVisible());
    EXPECT_EQ(rename->errorLabel()->text(), "Not renamed: Refused.");
    EXPECT_EQ(rename->nameField()->text(), "Gamma");
    rename->reject();
}

TEST_F(ViewsTest, EscapeClosesEitherSheetWithoutARequest) {
    QWidget window;
    window.show();
    auto* edit =
        new EditEntrySheet(model, entry("E1", "A", TransactionKind::credit, LedgerFlag::none, 10), &window);
    edit->open();
    edit->fields()->setAmountText("99");
    QTest::keyClick(edit->fields()->amountField(), Qt::Key_Escape);
    EXPECT_FALSE(edit->isVisible());

    auto* rename = new RenameSheet(model, account("A", "Alpha"), &window);
    rename->open();
    EXPECT_EQ(rename->nameField()->text(), "Alpha");
    EXPECT_EQ(rename->nameField()->placeholderText(), "Display name");
    QTest::keyClick(rename->nameField(), Qt::Key_Escape);
    EXPECT_FALSE(rename->isVisible());
    ASSERT_TRUE(allSent());
    EXPECT_TRUE(changes().empty());
}

TEST_F(ViewsTest, RenameSendsTheNameAsTypedEvenWhenEmpty) {
    QWidget window;
    window.show();
    auto* rename = new RenameSheet(model, account("A", "Alpha"), &window);
    rename->open();
    rename->nameField()->clear();
    QTest::keyClick(rename->nameField(), Qt::Key_Return);
    ASSERT_TRUE(waitForChanges(1));
    EXPECT_EQ(requestAs<ControlRequest::RenameAccount>(changes()[0]),
              (ControlRequest::RenameAccount{"A", ""}));
}

// ---- Records tab ---------------------------------------------------------------------------

TEST_F(ViewsTest, ToolbarShowsTheHostStateBeforeAndAfterTheFirstSnapshot) {
    MainWindow window(model);
    ConnectionStatusView* status = window.root()->connectionStatus();
    EXPECT_EQ(status->statusText(), "Host offline");
    EXPECT_EQ(status->versionText(), "");
    EXPECT_FALSE(status->dotShowsConnected());
    model.applySnapshot(sample());
    EXPECT_EQ(status->statusText(), "Host connected");
    EXPECT_EQ(status->versionText(), "v0.1.11 (12)");
    EXPECT_TRUE(status->dotShowsConnected());
}

TEST_F(ViewsTest, MainWindowHasItsSizesTabsAndStartsTheModelOnceWhenShown) {
    serve(sample());
    MainWindow window(model);
    EXPECT_EQ(window.size(), QSize(1150, 760));
    EXPECT_GE(window.minimumSizeHint().width(), 900);
    EXPECT_GE(window.minimumSizeHint().height(), 600);
    RootView* root = window.root();
    ASSERT_EQ(root->count(), 3);
    EXPECT_EQ(root->tabText(0), "&Records");
    EXPECT_EQ(root->tabText(1), "&Activity");
    EXPECT_EQ(root->tabText(2), "&Settings");
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(root->tabIcon(i).isNull());
    }
    EXPECT_TRUE(host.requests().empty()) << "nothing is sent before the window is shown";

    window.show();
    ASSERT_TRUE(waitUntil([&] { return model.isConnected(); }));
    MainWindow second(model);
    second.show();
    ASSERT_TRUE(allSent());
    EXPECT_EQ(snapshotRequests(), 2u) << "start() runs once per model (the other request is allSent's)";
    EXPECT_EQ(root->records()->detail()->loaded()->header()->nameLabel()->text(), "Alpha")
        << "the first snapshot selects the first account";

    root->setCurrentIndex(1);
    EXPECT_FALSE(root->connectionStatus()->isVisible()) << "the host status belongs to the Records tab";
    root->setCurrentIndex(0);
    EXPECT_TRUE(root->connectionStatus()->isVisible());
}

TEST_F(ViewsTest, OfflineBannerShowsAcrossTabsAndGoesWhenTheHostAnswersAgain) {
    model.setReconnectDelays(20ms, 50ms);
    serve(sample());
    MainWindow window(model);
    window.show();
    ASSERT_TRUE(waitUntil([&] { return model.isConnected(); }));
    EXPECT_FALSE(window.offlineBanner()->isVisible());
    EXPECT_EQ(model.connections().size(), 2u);

    dropAll(true);
    window.refreshAction()->trigger();
    ASSERT_TRUE(waitUntil([&] { return window.offlineBanner()->isVisible(); }));
    EXPECT_TRUE(window.offlineBanner()->message()->text().startsWith("Host offline"));
    EXPECT_TRUE(model.connections().empty()) << "connections nobody can vouch for are not shown";
    for (int tab = 0; tab < window.root()->count(); ++tab) {
        window.root()->setCurrentIndex(tab);
        EXPECT_TRUE(window.offlineBanner()->isVisible()) << "tab " << tab;
    }
    // It keeps trying by itself.
    std::size_t tried = host.requestCount();
    ASSERT_TRUE(waitUntil([&] { return host.requestCount() >= tried + 2; }));

    dropAll(false);
    ASSERT_TRUE(waitUntil([&] { return !window.offlineBanner()->isVisible(); }));
    EXPECT_TRUE(model.isConnected());
    EXPECT_EQ(model.connections().size(), 2u);
}

TEST_F(ViewsTest, MenusOfferQuitAndRefreshWithTheirShortcuts) {
    serve(sample());
    MainWindow window(model);
    window.show();
    ASSERT_TRUE(waitUntil([&] { return model.isConnected(); }));
    QList<QKeySequence> keys = window.refreshAction()->shortcuts();
    EXPECT_TRUE(keys.contains(QKeySequence(Qt::Key_F5)));
    EXPECT_TRUE(keys.contains(QKeySequence(Qt::CTRL | Qt::Key_R)));
    std::size_t before = snapshotRequests();
    window.refreshAction()->trigger();
    ASSERT_TRUE(waitUntil([&] { return snapshotRequests() == before + 1; }));

    QStringList menus;
    for (QAction* menu : window.menuBar()->actions()) {
        menus << menu->text();
    }
    EXPECT_EQ(menus, (QStringList{"&File", "&Edit", "&View"}));
    QAction* quit = window.menuBar()->actions()[0]->menu()->actions().value(0);
    ASSERT_NE(quit, nullptr);
    EXPECT_TRUE(quit->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_Q)));
}

TEST_F(ViewsTest, WindowLayoutComesBackFromTheSettings) {
    const QString file = QString::fromStdString((world.root() / "layout.conf").string());
    {
        MainWindow window(model);
        window.resize(1000, 700);
        window.show();
        window.root()->setCurrentIndex(2);
        QSettings settings(file, QSettings::IniFormat);
        window.saveLayout(settings);
    }
    MainWindow window(model);
    QSettings settings(file, QSettings::IniFormat);
    window.restoreLayout(settings);
    window.show();
    EXPECT_EQ(window.size(), QSize(1000, 700));
    EXPECT_EQ(window.root()->currentIndex(), 2);

    // Nothing stored, or nonsense: the defaults stay.
    QSettings bad(QString::fromStdString((world.root() / "bad.conf").string()), QSettings::IniFormat);
    bad.setValue("window/tab", 99);
    bad.setValue("window/geometry", QByteArray("x"));
    MainWindow fresh(model);
    fresh.restoreLayout(bad);
    EXPECT_EQ(fresh.size(), MainWindow::defaultSize);
    EXPECT_EQ(fresh.root()->currentIndex(), 0);
}

TEST_F(ViewsTest, SidebarSelectsAccountsButNotConnections) {
    RecordsView view(model);
    view.resize(1150, 760);
    view.show();
    EXPECT_FALSE(view.detail()->showsAccount()) << "no accounts: the placeholder";
    EXPECT_EQ(view.detail()->noSelection()->titleLabel()->text(), "No accounts yet");
    load(sample());
    ASSERT_EQ(model.selectedAccountID(), std::optional<std::string>("A"));
    EXPECT_TRUE(view.detail()->showsAccount());

    QListView* list = view.sidebar()->list();
    auto clickRow = [&](int row) {
        QRect rect = list->visualRect(list->model()->index(row, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    };
    clickRow(2); // Beta
    EXPECT_EQ(model.selectedAccountID(), std::optional<std::string>("B"));
    LoadedAccountView* loaded = view.detail()->loaded();
    EXPECT_EQ(loaded->header()->nameLabel()->text(), "Beta");
    EXPECT_EQ(loaded->header()->balanceView()->balanceLabel()->text(), "-40");
    EXPECT_EQ(loaded->header()->balanceView()->balanceLabel()->palette().color(QPalette::WindowText),
              AppStyle::debitColor());
    EXPECT_EQ(loaded->ledger()->heading()->text(), "Transactions (1)");

    clickRow(5); // a connection row
    clickRow(4);
    clickRow(3); // the connections heading
    clickRow(0); // the accounts heading
    EXPECT_EQ(model.selectedAccountID(), std::optional<std::string>("B"));
    EXPECT_TRUE(host.requests().empty()) << "selecting is local";

    // The selection is the model's: set there, it shows here.
    model.setSelectedAccountID(std::string("A"));
    EXPECT_EQ(list->currentIndex().row(), 1);
    EXPECT_EQ(loaded->ledger()->heading()->text(), "Transactions (2)");
    model.setSelectedAccountID(std::string("GONE"));
    EXPECT_FALSE(view.detail()->showsAccount());
    EXPECT_EQ(view.detail()->noSelection()->titleLabel()->text(), "Select an account");
    EXPECT_FALSE(list->selectionModel()->hasSelection());
}

TEST_F(ViewsTest, ClientInfoShowsFieldsOrSaysNoneWereProvided) {
    ClientInfoView view;
    view.show();
    auto emptyLine = [&] {
        for (QLabel* label : view.findChildren<QLabel*>()) {
            if (label->text() == "Not provided by this client.") {
                return label;
            }
        }
        return static_cast<QLabel*>(nullptr);
    };
    ASSERT_NE(emptyLine(), nullptr);
    EXPECT_EQ(view.box()->title(), "Client Info");
    EXPECT_TRUE(emptyLine()->isVisible()) << "absent";
    view.setFields(std::vector<ClientInfoField>{});
    EXPECT_TRUE(emptyLine()->isVisible()) << "empty";
    view.setFields(std::vector<ClientInfoField>{{"name", "agent"}, {"version", "1.2"}});
    EXPECT_FALSE(emptyLine()->isVisible());
    QStringList texts;
    for (QLabel* label : view.findChildren<QLabel*>()) {
        texts << label->text();
    }
    EXPECT_TRUE(texts.contains("name") && texts.contains("agent") && texts.contains("version") &&
                texts.contains("1.2"));
}

TEST_F(ViewsTest, DeletingAnAccountAsksFirstAndAnEntryDoesNot) {
    MainWindow window(model);
    window.show();
    load(sample());
    LoadedAccountView* loaded = window.root()->records()->detail()->loaded();

    // Cancel: nothing is sent.
    loaded->header()->deleteButton()->click();
    auto* dialog = window.findChild<QMessageBox*>("deleteAccountConfirmation");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->text(), "Delete this account and all its entries?");
    EXPECT_TRUE(dialog->informativeText().contains(QStringLiteral("\u201CAlpha\u201D (A)")))
        << dialog->informativeText().toStdString();
    EXPECT_TRUE(dialog->informativeText().contains("10 points")) << "the balance that goes with it";
    dialog->button(QMessageBox::Cancel)->click();
    ASSERT_TRUE(allSent());
    EXPECT_TRUE(changes().empty());

    loaded->header()->deleteButton()->click();
    dialog = window.findChild<QMessageBox*>("deleteAccountConfirmation");
    ASSERT_NE(dialog, nullptr);
    QAbstractButton* confirm = nullptr;
    for (QAbstractButton* button : dialog->buttons()) {
        if (button->text() == "Delete Account") {
            confirm = button;
        }
    }
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(dialog->buttonRole(confirm), QMessageBox::DestructiveRole);
    confirm->click();
    ASSERT_TRUE(waitForChanges(1));
    EXPECT_EQ(requestAs<ControlRequest::DeleteAccount>(changes()[0]).id, "A");

    // An entry's trash button deletes at once.
    model.setSelectedAccountID(std::string("A"));
    QListView* ledger = loaded->ledger()->list();
    QModelIndex first = ledger->model()->index(0, 0);
    QRect trash = loaded->ledger()->delegate()->deleteButtonRect(ledger->visualRect(first));
    QTest::mouseClick(ledger->viewport(), Qt::LeftButton, {}, trash.center());
    ASSERT_TRUE(waitForChanges(2));
    EXPECT_EQ(requestAs<ControlRequest::DeleteEntry>(changes()[1]).id, "E2");

    // The pencil opens the edit sheet for that entry.
    QRect pencil = loaded->ledger()->delegate()->editButtonRect(ledger->visualRect(first));
    QTest::mouseClick(ledger->viewport(), Qt::LeftButton, {}, pencil.center());
    auto* sheet = window.findChild<EditEntrySheet*>("editEntrySheet");
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->fields()->type(), EntryType::note);
    sheet->reject();
}

// ---- Activity tab ----------------------------------------------------------------------------

TEST_F(ViewsTest, ActivityListsTheLogNewestFirstWithThreePayloadLines) {
    ActivityView view(model);
    EXPECT_EQ(view.heading()->text(), "Live API Activity (0)");
    Snapshot snapshot = sample();
    snapshot.recentApiLog = {logLine("L1"), logLine("L2")};
    snapshot.recentApiLog[1].timestamp = at(2); // newer
    load(snapshot);
    EXPECT_EQ(view.heading()->text(), "Live API Activity (2)");
    EXPECT_EQ(ids(*view.logModel()), ids({"L2", "L1"}));

    model.apply(ControlEvent::apiCall(logLine("L3")));
    EXPECT_EQ(view.heading()->text(), "Live API Activity (3)");
    EXPECT_EQ(ids(*view.logModel()), ids({"L3", "L2", "L1"}));

    ApiLogDelegate delegate;
    QString tenLines = "line 1\nline 2\nline 3\nline 4\nline 5\nline 6\nline 7\nline 8\nline 9\nline 10";
    QStringList shown = delegate.payloadLines(tenLines, 400);
    ASSERT_EQ(shown.size(), 3);
    EXPECT_EQ(shown[0], "line 1");
    EXPECT_EQ(shown[1], "line 2");
    EXPECT_TRUE(shown[2].startsWith("line ")) << shown[2].toStdString();
    EXPECT_TRUE(shown[2].endsWith(QStringLiteral("\u2026"))) << "more text follows";
    EXPECT_EQ(delegate.payloadLines("{}", 400), QStringList{"{}"});
    EXPECT_EQ(delegate.payloadLines(QString(5000, 'x'), 200).size(), 3) << "long lines wrap, at most three";
}

// ---- Settings tab ----------------------------------------------------------------------------

SettingsPaneView::Registration idleRegistration() {
    RegistrationStatus enabled;
    enabled.state = RegistrationState::enabled;
    return {[] {}, [enabled] { return enabled; }, [] { return false; }};
}

TEST_F(ViewsTest, SettingsFollowTheModelWithoutSendingAndARefusedChangeSpringsBack) {
    SettingsPaneView view(model, idleRegistration());
    view.show();
    EXPECT_EQ(view.statusLabel()->text(), "Offline");
    EXPECT_EQ(view.versionLabel()->text(), QStringLiteral("\u2014"));

    load(sample());
    EXPECT_TRUE(view.allowUnauthenticatedSwitch()->isChecked());
    EXPECT_EQ(view.startingPointsField()->text(), "50,000");
    EXPECT_EQ(view.statusLabel()->text(), "Connected");
    EXPECT_EQ(view.versionLabel()->text(), "0.1.11 (12)");

    // The model changes the values: the controls follow and send nothing.
    Snapshot changed = sample();
    changed.settings = {false, 1234567};
    load(changed);
    EXPECT_FALSE(view.allowUnauthenticatedSwitch()->isChecked());
    EXPECT_EQ(view.startingPointsField()->text(), "1,234,567");
    ASSERT_TRUE(allSent());
    EXPECT_TRUE(changes().empty());

    // The host refuses: the switch shows the host's value again.
    refuseChanges(true);
    view.allowUnauthenticatedSwitch()->click();
    ASSERT_TRUE(waitForChanges(1)); // and the refresh after it is applied
    EXPECT_EQ(requestAs<ControlRequest::SetAllowUnauthenticated>(changes()[0]).value, true);
    EXPECT_FALSE(view.allowUnauthenticatedSwitch()->isChecked());

    // Accepted: the switch follows the snapshot after the change.
    refuseChanges(false);
    view.allowUnauthenticatedSwitch()->click();
    ASSERT_TRUE(waitUntil([&] { return view.allowUnauthenticatedSwitch()->isChecked(); }));
    EXPECT_EQ(changes().size(), 2u);
}

TEST_F(ViewsTest, StartingPointsCommitsParsedValuesAndSendsZeroForNegatives) {
    SettingsPaneView view(model, idleRegistration());
    view.show();
    view.activateWindow();
    load(sample());
    QLineEdit* field = view.startingPointsField();

    auto commit = [&](const QString& text) {
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, text);
        QTest::keyClick(field, Qt::Key_Return);
    };
    commit("abc");
    ASSERT_TRUE(allSent());
    EXPECT_TRUE(changes().empty()) << "text that is no integer sends nothing";
    EXPECT_EQ(field->text(), "50,000");

    commit("-100");
    ASSERT_TRUE(waitUntil([&] { return field->text() == "0"; }));
    ASSERT_EQ(changes().size(), 1u);
    EXPECT_EQ(requestAs<ControlRequest::SetStartingPoints>(changes()[0]).value, 0);

    commit("2,500");
    ASSERT_TRUE(waitUntil([&] { return field->text() == "2,500"; }));
    EXPECT_EQ(requestAs<ControlRequest::SetStartingPoints>(changes().back()).value, 2500);
}

TEST_F(ViewsTest, LoginItemRepairShowsHowToApproveThenRefreshes) {
    std::atomic<int> registered{0};
    int opened = 0;
    RegistrationStatus masked{RegistrationState::needsApproval, AutostartMechanism::systemdUserService,
                              "The host's service is masked.",
                              "systemctl --user unmask com.zentrafell.quorvane.host.service"};
    SettingsPaneView view(model, {[&] { ++registered; }, [&] { return masked; },
                                  [&] {
                                      ++opened;
                                      return true;
                                  }});
    view.show();
    QSignalSpy finished(&view, &SettingsPaneView::registrationFinished);
    view.registerButton()->click();
    EXPECT_FALSE(view.registerButton()->isEnabled()) << "one repair at a time";
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_EQ(registered.load(), 1);
    EXPECT_EQ(opened, 0) << "a masked service needs a command, not the autostart settings";
    auto* dialog = view.findChild<QMessageBox*>("approvalDialog");
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(
        dialog->informativeText().contains("systemctl --user unmask com.zentrafell.quorvane.host.service"));
    dialog->close();
    // Then a fresh connection is tried.
    ASSERT_TRUE(waitUntil([&] { return model.isConnected(); }));
    EXPECT_EQ(snapshotRequests(), 1u);
    EXPECT_TRUE(view.registerButton()->isEnabled());
}

TEST_F(ViewsTest, LoginItemRepairOpensTheDesktopsAutostartSettingsWhereItCan) {
    RegistrationStatus off{RegistrationState::needsApproval, AutostartMechanism::xdgAutostartEntry,
                           "The autostart entry is switched off.", "/home/u/.config/autostart/x.desktop"};
    bool canOpen = true;
    int opened = 0;
    SettingsPaneView view(model, {[] {}, [&] { return off; },
                                  [&] {
                                      ++opened;
                                      return canOpen;
                                  }});
    QSignalSpy finished(&view, &SettingsPaneView::registrationFinished);
    view.registerButton()->click();
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(view.findChild<QMessageBox*>("approvalDialog"), nullptr);

    canOpen = false; // no settings program: the dialog names the file
    view.registerButton()->click();
    ASSERT_TRUE(finished.wait(10000));
    auto* dialog = view.findChild<QMessageBox*>("approvalDialog");
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->informativeText().contains("/home/u/.config/autostart/x.desktop"));
    dialog->close();
}

} // namespace
} // namespace quorvane

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
