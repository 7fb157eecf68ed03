// The operator app by keyboard and with find and order, offscreen: the
// ledger's keys and context menu, the Edit menu, the filters over accounts,
// entries and the API log, the sidebar's orders, what is kept between runs,
// and the small layout rules (elided names, right-to-left names, a Client
// Info box of one height, lists that hold still under a reader).

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollBar>
#include <QSettings>
#include <QSplitter>
#include <QTest>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/AppModel.h"
#include "app/tests/AppModelTestSupport.h"
#include "app/ui/ActivityView.h"
#include "app/ui/AppStyle.h"
#include "app/ui/EntryEditors.h"
#include "app/ui/FindModels.h"
#include "app/ui/ItemModels.h"
#include "app/ui/ListHelpers.h"
#include "app/ui/MainWindow.h"
#include "app/ui/RecordsView.h"
#include "common/Coding.h"

namespace quorvane {
namespace {

using namespace apptest;

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

LedgerEntry entry(std::string id, std::string accountId, TransactionKind kind, std::int64_t amount,
                  std::string memo, int day = 2) {
    return LedgerEntry{std::move(id),
                       std::move(accountId),
                       kind,
                       LedgerFlag::none,
                       amount,
                       std::move(memo),
                       at(day),
                       at(day),
                       7};
}

ApiLogEntry logLine(std::string id, ApiLogEntry::Direction direction, std::optional<std::string> client,
                    std::optional<std::string> method, std::string payload,
                    std::optional<std::string> account = {}) {
    return ApiLogEntry{std::move(id),      "C1",      std::move(account),
                       std::move(client),  direction, std::move(method),
                       std::move(payload), at(1)};
}

Snapshot sample() {
    Snapshot s;
    s.accounts = {account("A", "Alpha", 10), account("B", "Beta", -40), account("C", "Gamma", 300)};
    s.entries = {entry("E3", "B", TransactionKind::debit, 40, "fine", 4),
                 entry("E2", "A", TransactionKind::note, 0, "hello there", 3),
                 entry("E1", "A", TransactionKind::credit, 10, "welcome", 2)};
    s.settings = {true, 50000};
    s.hostVersion = "0.1.11 (12)";
    return s;
}

// A host in this process that reports a chosen snapshot and takes every change.
class NavigationTest : public ::testing::Test {
protected:
    World world;
    std::mutex mutex;
    Snapshot served;
    FakeHost host{world, [this](const std::string& text) -> std::optional<std::string> {
                      auto request = QuorvaneCoding::decode<ControlRequest>(text);
                      if (request && std::holds_alternative<ControlRequest::Snapshot>(request->value)) {
                          std::lock_guard lock(mutex);
                          return snapshotAnswer(served);
                      }
                      return std::string(R"({"ok":{}})");
                  }};
    AppModel model{std::make_unique<ControlClient>(world.connectionOptions(true)), {}};

    void load(const Snapshot& snapshot) {
        {
            std::lock_guard lock(mutex);
            served = snapshot;
        }
        model.applySnapshot(snapshot);
    }

    [[nodiscard]] std::vector<ControlRequest> changes() const {
        std::vector<ControlRequest> result;
        for (const std::string& text : host.requests()) {
            auto request = QuorvaneCoding::decode<ControlRequest>(text);
            // Reads (the snapshot, the ledger list's older pages) change nothing.
            if (request && !std::holds_alternative<ControlRequest::Snapshot>(request->value) &&
                !std::holds_alternative<ControlRequest::AccountHistory>(request->value)) {
                result.push_back(*request);
            }
        }
        return result;
    }
    // Everything the model sent before this call has reached the host (one
    // connection, in order): a marker request sent now arrives after it.
    [[nodiscard]] bool allSent() {
        std::size_t before = host.requestCount();
        model.refresh();
        return waitUntil([&] { return host.requestCount() > before; });
    }
};

// A shown, active main window with the sample ledger, Alpha selected.
struct ShownWindow {
    MainWindow window;
    explicit ShownWindow(AppModel& model) : window(model) {
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
        // The start-up refresh is in: a later load() is not undone by it.
        EXPECT_TRUE(waitUntil([&] { return model.isConnected(); }));
    }
    RecordsView* records() const { return window.root()->records(); }
    LedgerListView* ledger() const { return records()->detail()->loaded()->ledger(); }
    QListView* ledgerList() const { return ledger()->list(); }
    AccountsSidebar* sidebar() const { return records()->sidebar(); }
};

QAction* actionNamed(QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

QMenu* menuNamed(const MainWindow& window, const QString& text) {
    for (QAction* action : window.menuBar()->actions()) {
        if (action->text() == text) {
            return action->menu();
        }
    }
    return nullptr;
}

// ---- The ledger by keyboard ------------------------------------------------------------

TEST_F(NavigationTest, LedgerKeysEditTheCurrentRowAndDeleteItAtOnceAsTheTrashButtonDoes) {
    ShownWindow shown(model);
    load(sample());
    QListView* list = shown.ledgerList();
    list->setFocus();
    list->setCurrentIndex(list->model()->index(1, 0)); // E1, "welcome"

    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_F2, Qt::Key_Space}) {
        SCOPED_TRACE(QKeySequence(key).toString().toStdString());
        QTest::keyClick(list, key);
        auto* sheet = shown.window.findChild<EditEntrySheet*>("editEntrySheet");
        ASSERT_NE(sheet, nullptr);
        EXPECT_EQ(sheet->fields()->memo(), "welcome");
        EXPECT_EQ(sheet->fields()->amountText(), "10");
        sheet->reject();
        ASSERT_TRUE(waitUntil([&] { return shown.window.findChild<EditEntrySheet*>() == nullptr; }));
        list->setFocus();
    }

    QTest::keyClick(list, Qt::Key_Delete);
    ASSERT_TRUE(waitUntil([&] { return changes().size() == 1; }));
    EXPECT_EQ(std::get<ControlRequest::DeleteEntry>(changes()[0].value).id, "E1");
    EXPECT_EQ(shown.window.findChild<QMessageBox*>(), nullptr) << "an entry goes without asking";

    // No current row: the keys do nothing.
    list->setCurrentIndex({});
    QTest::keyClick(list, Qt::Key_Return);
    QTest::keyClick(list, Qt::Key_Delete);
    ASSERT_TRUE(allSent());
    EXPECT_EQ(changes().size(), 1u);
    EXPECT_EQ(shown.window.findChild<EditEntrySheet*>(), nullptr);
}

TEST_F(NavigationTest, ContextMenuByMenuKeyOrRightClickActsOnItsRow) {
    ShownWindow shown(model);
    load(sample());
    QListView* list = shown.ledgerList();
    list->setFocus();
    list->setCurrentIndex(list->model()->index(0, 0)); // E2

    QTest::keyClick(list, Qt::Key_Menu);
    auto* menu = shown.window.findChild<QMenu*>("ledgerContextMenu");
    ASSERT_NE(menu, nullptr);
    QStringList texts;
    for (QAction* action : menu->actions()) {
        if (!action->isSeparator()) {
            texts << action->text();
        }
    }
    EXPECT_EQ(texts, (QStringList{"&Edit\u2026", "&Copy", "&Delete"}));
    menu->close();
    ASSERT_TRUE(waitUntil([&] { return shown.window.findChild<QMenu*>("ledgerContextMenu") == nullptr; }));

    // A right click on the second row makes it current and acts on it.
    QRect second = list->visualRect(list->model()->index(1, 0));
    QContextMenuEvent click(QContextMenuEvent::Mouse, second.center(),
                            list->viewport()->mapToGlobal(second.center()));
    QApplication::sendEvent(list->viewport(), &click);
    EXPECT_EQ(list->currentIndex().row(), 1);
    menu = shown.window.findChild<QMenu*>("ledgerContextMenu");
    ASSERT_NE(menu, nullptr);
    actionNamed(menu, "&Delete")->trigger();
    ASSERT_TRUE(waitUntil([&] { return changes().size() == 1; }));
    EXPECT_EQ(std::get<ControlRequest::DeleteEntry>(changes()[0].value).id, "E1");
}

TEST_F(NavigationTest, EditMenuFindsCopiesAndDeletesWhereTheFocusIs) {
    ShownWindow shown(model);
    load(sample());
    QMenu* edit = menuNamed(shown.window, "&Edit");
    ASSERT_NE(edit, nullptr);
    QAction* find = actionNamed(edit, "&Find");
    QAction* copy = actionNamed(edit, "&Copy");
    QAction* remove = actionNamed(edit, "&Delete");
    ASSERT_TRUE(find && copy && remove);
    EXPECT_TRUE(find->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_F)));
    EXPECT_TRUE(copy->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_C)));
    EXPECT_TRUE(remove->shortcuts().contains(QKeySequence(Qt::Key_Delete)));

    // Find: the filter of the list at hand.
    QListView* sidebar = shown.sidebar()->list();
    sidebar->setFocus();
    QTest::keyClick(sidebar, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(QApplication::focusWidget(), shown.sidebar()->filterField());
    shown.ledgerList()->setFocus();
    QTest::keyClick(shown.ledgerList(), Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(QApplication::focusWidget(), shown.ledger()->filterField());
    shown.window.root()->setCurrentIndex(1);
    find->trigger();
    EXPECT_EQ(QApplication::focusWidget(), shown.window.root()->activity()->agentField());
    shown.window.root()->setCurrentIndex(0);

    // Copy: the row's visible text.
    QListView* ledger = shown.ledgerList();
    ledger->setFocus();
    ledger->setCurrentIndex(ledger->model()->index(1, 0));
    QTest::keyClick(ledger, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(),
              "Credit\twelcome\t" + AppStyle::entryDateText(at(2)) + "\t+10");
    sidebar->setFocus();
    QTest::keyClick(sidebar, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "Alpha\tcredential\t10");

    // Delete on the sidebar asks first, as the header's button does.
    QTest::keyClick(sidebar, Qt::Key_Delete);
    auto* dialog = shown.window.findChild<QMessageBox*>("deleteAccountConfirmation");
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->informativeText().contains(QStringLiteral("\u201CAlpha\u201D (A)")));
    dialog->button(QMessageBox::Cancel)->click();
    ASSERT_TRUE(allSent());
    EXPECT_TRUE(changes().empty());

    // In a text field the keys are the field's own.
    QLineEdit* filter = shown.sidebar()->filterField();
    filter->setFocus();
    QTest::keyClicks(filter, "ab");
    QTest::keyClick(filter, Qt::Key_Home);
    QTest::keyClick(filter, Qt::Key_Delete);
    EXPECT_EQ(filter->text(), "b");
    ASSERT_TRUE(allSent());
    EXPECT_TRUE(changes().empty());
}

// ---- Find and order --------------------------------------------------------------------

std::vector<QString> shownIds(const QAbstractItemModel& model) {
    std::vector<QString> ids;
    for (int row = 0; row < model.rowCount(); ++row) {
        if (model.index(row, 0).data(RowKindRole).toInt() ==
                static_cast<int>(SidebarModel::RowKind::account) ||
            model.index(row, 0).data(RowKindRole).isNull()) {
            ids.push_back(model.index(row, 0).data(IdRole).toString());
        }
    }
    return ids;
}

std::vector<QString> idList(std::initializer_list<const char*> list) {
    std::vector<QString> result;
    for (const char* id : list) {
        result.push_back(QString::fromLatin1(id));
    }
    return result;
}

TEST(FindModels, SidebarFiltersAccountsByNameOrIdAndKeepsTheSectionsInPlace) {
    SidebarModel source;
    SidebarFilterModel proxy;
    proxy.setSourceModel(&source);
    QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::Fatal);
    source.setAccounts({account("A-1", "Alpha"), account("B-2", "beta"), account("C-3", "Gamma")});
    source.setConnections({LiveConnection{"K1", std::nullopt, std::nullopt, false, at(1)}});
    ASSERT_EQ(proxy.rowCount(), 6);

    struct Case {
        const char* text;
        std::vector<QString> ids;
    };
    for (const Case& c :
         {Case{"", idList({"A-1", "B-2", "C-3"})}, Case{"ALP", idList({"A-1"})}, Case{"b-2", idList({"B-2"})},
          Case{"a", idList({"A-1", "B-2", "C-3"})}, Case{"zzz", {}}}) {
        SCOPED_TRACE(c.text);
        proxy.setFilterText(QString::fromUtf8(c.text));
        EXPECT_EQ(shownIds(proxy), c.ids);
        EXPECT_EQ(proxy.index(0, 0).data().toString(), "Accounts");
        int connectionsHeading = static_cast<int>(c.ids.size()) + 1;
        EXPECT_EQ(proxy.index(connectionsHeading, 0).data().toString(), "Live Connections (1)");
        EXPECT_EQ(proxy.index(connectionsHeading + 1, 0).data(IdRole).toString(), "K1");
    }
}

TEST(FindModels, SidebarOrdersByNameBalanceOrLastActivityWithTiesInTheHostsOrder) {
    SidebarModel source;
    SidebarFilterModel proxy;
    proxy.setSourceModel(&source);
    QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::Fatal);
    source.setAccounts({account("1", "delta", 5), account("2", "Bravo", 300), account("3", "charlie", 5),
                        account("4", "alpha", -40)});
    proxy.setLastActivity({{"1", 100}, {"2", 50}, {"3", 400}});

    using Order = SidebarFilterModel::Order;
    struct Case {
        Order order;
        std::vector<QString> ids;
    };
    for (const Case& c :
         {Case{Order::name, idList({"4", "2", "3", "1"})}, Case{Order::balance, idList({"2", "1", "3", "4"})},
          Case{Order::lastActivity, idList({"3", "1", "2", "4"})},
          Case{Order::created, idList({"1", "2", "3", "4"})}}) {
        SCOPED_TRACE(SidebarFilterModel::orderName(c.order).toStdString());
        proxy.setOrder(c.order);
        EXPECT_EQ(shownIds(proxy), c.ids);
        EXPECT_EQ(SidebarFilterModel::orderNamed(SidebarFilterModel::orderName(c.order)), c.order);
    }
    EXPECT_EQ(SidebarFilterModel::orderNamed("sideways"), std::nullopt);

    // A balance that changes moves its row.
    proxy.setOrder(Order::balance);
    source.setAccounts({account("1", "delta", 5), account("2", "Bravo", 300), account("3", "charlie", 5000),
                        account("4", "alpha", -40)});
    EXPECT_EQ(shownIds(proxy), idList({"3", "2", "1", "4"}));
}

TEST(FindModels, LedgerFilterMatchesMemoOrTypeAndRowsCanBeSelected) {
    LedgerModel source;
    LedgerFilterModel proxy;
    proxy.setSourceModel(&source);
    QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::Fatal);
    source.setEntries(sample().entries);
    struct Case {
        const char* text;
        std::vector<QString> ids;
    };
    for (const Case& c : {Case{"", idList({"E3", "E2", "E1"})}, Case{"HELLO", idList({"E2"})},
                          Case{"note", idList({"E2"})}, Case{"debit", idList({"E3"})},
                          Case{"e", idList({"E3", "E2", "E1"})}, Case{"nothing like it", {}}}) {
        SCOPED_TRACE(c.text);
        proxy.setFilterText(QString::fromUtf8(c.text));
        std::vector<QString> ids;
        for (int row = 0; row < proxy.rowCount(); ++row) {
            ids.push_back(proxy.index(row, 0).data(IdRole).toString());
            EXPECT_TRUE(proxy.flags(proxy.index(row, 0)).testFlag(Qt::ItemIsSelectable));
        }
        EXPECT_EQ(ids, c.ids);
    }
}

TEST(FindModels, ErrorRepliesAreRecognisedAndBounded) {
    using Direction = ApiLogEntry::Direction;
    struct Case {
        const char* name;
        Direction direction;
        std::string payload;
        bool error;
    };
    const Case cases[] = {
        {"JSON-RPC error", Direction::response,
         R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"x"}})", true},
        {"tool error", Direction::response,
         R"({"jsonrpc":"2.0","id":1,"result":{"isError":true,"content":[]}})", true},
        {"tool result", Direction::response, R"({"jsonrpc":"2.0","id":1,"result":{"isError":false}})", false},
        {"plain result", Direction::response, R"({"jsonrpc":"2.0","id":1,"result":{}})", false},
        {"isError as text", Direction::response, R"({"result":{"isError":"true"}})", false},
        {"request naming error", Direction::request, R"({"method":"x","error":{}})", false},
        {"not JSON", Direction::response, "error", false},
        {"an array", Direction::response, R"([{"error":{}}])", false},
        {"too long to read", Direction::response,
         R"({"error":{},"pad":")" + std::string(errorScanBytes, 'x') + R"("})", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isErrorReply(logLine("L", c.direction, std::nullopt, std::nullopt, c.payload)), c.error)
            << c.name;
    }
}

TEST(FindModels, ActivityFiltersByAgentAndMethodAndMarksErrorReplies) {
    using Direction = ApiLogEntry::Direction;
    ApiLogModel source;
    ActivityFilterModel proxy;
    proxy.setSourceModel(&source);
    QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::Fatal);
    source.setLines({
        logLine("L4", Direction::response, std::string("Claude"), std::string("tools/call"),
                R"({"id":2,"result":{"isError":true}})"),
        logLine("L3", Direction::request, std::string("Claude"), std::string("tools/call"), R"({"id":2})"),
        logLine("L2", Direction::response, std::string("Cursor"), std::string("ping"),
                R"({"id":1,"result":{}})"),
        logLine("L1", Direction::request, std::nullopt, std::nullopt, "{}"),
    });
    auto shown = [&] {
        std::vector<QString> ids;
        for (int row = 0; row < proxy.rowCount(); ++row) {
            ids.push_back(proxy.index(row, 0).data(IdRole).toString());
        }
        return ids;
    };
    EXPECT_TRUE(proxy.index(0, 0).data(ErrorReplyRole).toBool());
    EXPECT_FALSE(proxy.index(1, 0).data(ErrorReplyRole).toBool());
    EXPECT_TRUE(proxy.index(0, 0).data(Qt::AccessibleTextRole).toString().endsWith(", error"));
    EXPECT_TRUE(
        proxy.index(0, 0).data(Qt::AccessibleTextRole).toString().startsWith("Reply, tools/call, Claude, "));

    struct Case {
        const char* agent;
        const char* method;
        bool errorsOnly;
        std::vector<QString> ids;
    };
    for (const Case& c : {Case{"", "", false, idList({"L4", "L3", "L2", "L1"})},
                          Case{"claude", "", false, idList({"L4", "L3"})},
                          Case{"", "PING", false, idList({"L2"})}, Case{"claude", "ping", false, {}},
                          Case{"", "", true, idList({"L4"})}, Case{"cursor", "", true, {}}}) {
        SCOPED_TRACE(std::string(c.agent) + "/" + c.method);
        proxy.setAgentText(c.agent);
        proxy.setMethodText(c.method);
        proxy.setErrorsOnly(c.errorsOnly);
        EXPECT_EQ(shown(), c.ids);
        EXPECT_EQ(proxy.isFiltering(), *c.agent != 0 || *c.method != 0 || c.errorsOnly);
    }
}

TEST_F(NavigationTest, TypingInTheFiltersNarrowsTheShownListsAndTheirHeadings) {
    ShownWindow shown(model);
    load(sample());
    QLineEdit* accounts = shown.sidebar()->filterField();
    QTest::keyClicks(accounts, "gam");
    EXPECT_EQ(shownIds(*shown.sidebar()->list()->model()), idList({"C"}));
    EXPECT_EQ(model.selectedAccountID(), std::optional<std::string>("A")) << "filtering selects nothing";
    EXPECT_TRUE(shown.records()->detail()->showsAccount());
    accounts->clear();
    EXPECT_EQ(shownIds(*shown.sidebar()->list()->model()), idList({"A", "B", "C"}));
    EXPECT_EQ(shown.sidebar()->list()->currentIndex().data(IdRole).toString(), "A")
        << "the selection shows again";

    LedgerListView* ledger = shown.ledger();
    EXPECT_EQ(ledger->heading()->text(), "Transactions (2)");
    QTest::keyClicks(ledger->filterField(), "hello");
    EXPECT_EQ(ledger->list()->model()->rowCount(), 1);
    EXPECT_EQ(ledger->heading()->text(), "Transactions (1 of 2)");

    ActivityView* activity = shown.window.root()->activity();
    Snapshot withLog = sample();
    withLog.recentApiLog = {
        logLine("L1", ApiLogEntry::Direction::request, std::string("Claude"), std::string("ping"), "{}"),
        logLine("L2", ApiLogEntry::Direction::request, std::string("Cursor"), std::string("tools/call"),
                "{}")};
    load(withLog);
    QTest::keyClicks(activity->methodField(), "tools");
    EXPECT_EQ(activity->list()->model()->rowCount(), 1);
    EXPECT_EQ(activity->heading()->text(), "Live API Activity (1 of 2)");
    activity->errorsOnlyBox()->click();
    EXPECT_EQ(activity->list()->model()->rowCount(), 0);
}

TEST_F(NavigationTest, SortAndSplitterStateComeBackFromTheSettings) {
    const QString file = QString::fromStdString((world.root() / "layout.conf").string());
    QByteArray splitterState;
    {
        ShownWindow shown(model);
        load(sample());
        shown.sidebar()->setOrder(SidebarFilterModel::Order::balance);
        QSplitter* split = shown.records()->splitter();
        split->setSizes({360, split->width() - 360});
        splitterState = split->saveState();
        QSettings settings(file, QSettings::IniFormat);
        shown.window.saveLayout(settings);
    }
    {
        QSettings settings(file, QSettings::IniFormat);
        EXPECT_EQ(settings.value("records/order").toString(), "balance");
        EXPECT_EQ(settings.value("records/splitter").toByteArray(), splitterState);
    }
    MainWindow window(model);
    QSettings settings(file, QSettings::IniFormat);
    window.restoreLayout(settings);
    EXPECT_EQ(window.root()->records()->sidebar()->order(), SidebarFilterModel::Order::balance);
    EXPECT_EQ(window.root()->records()->sidebar()->orderPicker()->currentText(), "Balance");
    EXPECT_EQ(window.root()->records()->splitter()->saveState(), splitterState);

    // Unknown or broken values leave the defaults.
    QSettings bad(QString::fromStdString((world.root() / "bad.conf").string()), QSettings::IniFormat);
    bad.setValue("records/order", "sideways");
    bad.setValue("records/splitter", QByteArray("nonsense"));
    MainWindow fresh(model);
    QByteArray freshState = fresh.root()->records()->splitter()->saveState();
    fresh.restoreLayout(bad);
    EXPECT_EQ(fresh.root()->records()->sidebar()->order(), SidebarFilterModel::Order::created);
    EXPECT_EQ(fresh.root()->records()->splitter()->saveState(), freshState);
}

// ---- Small layout rules ----------------------------------------------------------------

TEST_F(NavigationTest, AClippedHeaderNameEndsInAnEllipsisAndOffersTheWholeName) {
    const std::string longName(120, 'W');
    Snapshot snapshot = sample();
    snapshot.accounts[0].displayName = longName;
    ShownWindow shown(model);
    load(snapshot);
    QLabel* name = shown.records()->detail()->loaded()->header()->nameLabel();
    auto* elided = qobject_cast<ElidedLabel*>(name);
    ASSERT_NE(elided, nullptr);
    EXPECT_EQ(name->text().toStdString(), longName) << "the label keeps the whole name";
    EXPECT_TRUE(elided->isElided());
    EXPECT_EQ(name->toolTip().toStdString(), longName);
    EXPECT_LE(name->width(), shown.records()->detail()->width()) << "the header does not widen the pane";

    model.setSelectedAccountID(std::string("B"));
    EXPECT_FALSE(elided->isElided());
    EXPECT_TRUE(name->toolTip().isEmpty());
}

// The first column from the left with ink of the text colour, or -1.
int firstInkedColumn(const QImage& image, const QColor& ink) {
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            QColor pixel = image.pixelColor(x, y);
            if (std::abs(pixel.red() - ink.red()) + std::abs(pixel.green() - ink.green()) +
                    std::abs(pixel.blue() - ink.blue()) <
                120) {
                return x;
            }
        }
    }
    return -1;
}

TEST_F(NavigationTest, ARightToLeftNameStartsAtTheSameEdgeInHeaderAndSidebar) {
    Snapshot snapshot = sample();
    snapshot.accounts[0].displayName = "\u05E9\u05DC\u05D5\u05DD 12!";
    ShownWindow shown(model);
    load(snapshot);
    QLabel* name = shown.records()->detail()->loaded()->header()->nameLabel();
    QImage header = name->grab().toImage();
    int headerInk = firstInkedColumn(header, name->palette().color(QPalette::WindowText));
    ASSERT_GE(headerInk, 0);
    EXPECT_LT(headerInk, header.width() / 4) << "starts at the leading (left) edge, not the right";

    QListView* list = shown.sidebar()->list();
    QRect row = list->visualRect(list->model()->index(1, 0));
    QImage sidebar = list->viewport()->grab(row).toImage();
    int sidebarInk = firstInkedColumn(sidebar.copy(30, 0, sidebar.width() / 2, sidebar.height() / 2 + 4),
                                      list->palette().color(QPalette::Text));
    ASSERT_GE(sidebarInk, 0);
    EXPECT_LT(sidebarInk, 12) << "the name starts right after the dot";
}

TEST_F(NavigationTest, TheAddFormStaysInPlaceWhateverTheClientInfo) {
    Snapshot snapshot = sample();
    snapshot.accounts[1].clientInfoFields =
        std::vector<ClientInfoField>{{"name", "agent"}, {"version", "1.2"}};
    std::vector<ClientInfoField> many;
    for (int i = 0; i < 9; ++i) {
        many.push_back({"key" + std::to_string(i), std::string(200, 'v')});
    }
    snapshot.accounts[2].clientInfoFields = many;
    ShownWindow shown(model);
    load(snapshot);
    LoadedAccountView* loaded = shown.records()->detail()->loaded();
    std::vector<int> tops;
    for (const char* id : {"A", "B", "C", "A"}) {
        model.setSelectedAccountID(std::string(id));
        QApplication::processEvents();
        loaded->layout()->activate();
        tops.push_back(loaded->addEntry()->mapTo(loaded, QPoint(0, 0)).y());
    }
    EXPECT_EQ(tops, std::vector<int>(4, tops[0]));
}

TEST_F(NavigationTest, ALiveListHoldsStillUnderAReaderWhoScrolledAndFollowsTheNewestAtTheTop) {
    Snapshot snapshot = sample();
    for (int i = 1; i <= 120; ++i) {
        snapshot.recentApiLog.push_back(logLine("L" + std::to_string(i), ApiLogEntry::Direction::request,
                                                std::string("agent"), std::string("ping"), "{}"));
        snapshot.recentApiLog.back().timestamp = at(1, i);
    }
    ShownWindow shown(model);
    load(snapshot);
    shown.window.root()->setCurrentIndex(1);
    QListView* list = shown.window.root()->activity()->list();
    QScrollBar* bar = list->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);

    bar->setValue(bar->maximum() / 2);
    QModelIndex top = list->indexAt(QPoint(1, 1));
    QString topId = top.data(IdRole).toString();
    int topY = list->visualRect(top).top();
    for (int i = 0; i < 3; ++i) {
        model.apply(ControlEvent::apiCall(logLine("P" + std::to_string(i), ApiLogEntry::Direction::request,
                                                  std::string("agent"), std::string("ping"), "{}")));
    }
    QModelIndex after = list->indexAt(QPoint(1, 1));
    EXPECT_EQ(after.data(IdRole).toString(), topId);
    EXPECT_EQ(list->visualRect(after).top(), topY);

    bar->setValue(0);
    model.apply(ControlEvent::apiCall(
        logLine("NEW", ApiLogEntry::Direction::request, std::string("agent"), std::string("ping"), "{}")));
    EXPECT_EQ(list->indexAt(QPoint(1, 1)).data(IdRole).toString(), "NEW") << "at the top, the newest shows";
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
