#include "app/ui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include "app/AppModel.h"
#include "app/ui/ActivityView.h"
#include "app/ui/AppIcons.h"
#include "app/ui/RecordsView.h"
#include "app/ui/SettingsPaneView.h"

namespace quorvane {

RootView::RootView(AppModel& model, QWidget* parent)
    : QTabWidget(parent), records_(new RecordsView(model, this)), activity_(new ActivityView(model, this)),
      settings_(new SettingsPaneView(model, this)), status_(new ConnectionStatusView(model, this)) {
    setDocumentMode(true);
    addTab(records_, AppIcons::icon(AppIcon::records), QStringLiteral("&Records"));
    addTab(activity_, AppIcons::icon(AppIcon::activity), QStringLiteral("&Activity"));
    addTab(settings_, AppIcons::icon(AppIcon::settings), QStringLiteral("&Settings"));
    // The host status belongs to the "Records" tab's tool area.
    setCornerWidget(status_, Qt::TopRightCorner);
    connect(this, &QTabWidget::currentChanged, this,
            [this](int index) { status_->setVisible(widget(index) == records_); });
}

OfflineBanner::OfflineBanner(AppModel& model, QWidget* parent)
    : QFrame(parent), model_(model), message_(new QLabel(this)),
      retry_(new QPushButton(QStringLiteral("Retry"), this)) {
    setObjectName(QStringLiteral("offlineBanner"));
    setAutoFillBackground(true);
    QPalette colors = palette();
    colors.setColor(QPalette::Window, QColor(0xfd, 0xec, 0xc8));
    colors.setColor(QPalette::WindowText, QColor(0x5a, 0x3b, 0x00));
    setPalette(colors);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 8, 12, 8);
    message_->setWordWrap(true);
    message_->setTextFormat(Qt::PlainText);
    message_->setText(QStringLiteral("Host offline: the Quorvane host is not running or does not answer. "
                                     "Trying again by itself; what is shown may be out of date."));
    retry_->setAccessibleDescription(QStringLiteral("Try to reach the Quorvane host now"));
    row->addWidget(message_, 1);
    row->addWidget(retry_, 0);
    setAccessibleName(QStringLiteral("Host offline"));
    connect(retry_, &QPushButton::clicked, &model_, &AppModel::retryNow);
    connect(&model_, &AppModel::isOfflineChanged, this, &OfflineBanner::follow);
    follow();
}

void OfflineBanner::follow() {
    setVisible(model_.isOffline());
}

MainWindow::MainWindow(AppModel& model, QWidget* parent)
    : QMainWindow(parent), model_(model), banner_(new OfflineBanner(model, this)),
      root_(new RootView(model, this)) {
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(banner_);
    column->addWidget(root_, 1);
    setCentralWidget(central);
    root_->setMinimumSize(minimumContentSize);
    buildMenus();
    resize(defaultSize);
}

namespace {

// The platform's keys for a standard action, and the usual one where the
// platform (or a bare test platform) names none.
QList<QKeySequence> keysFor(QKeySequence::StandardKey standard, std::initializer_list<QKeySequence> usual) {
    QList<QKeySequence> keys = QKeySequence::keyBindings(standard);
    for (const QKeySequence& key : usual) {
        if (!keys.contains(key)) {
            keys.append(key);
        }
    }
    return keys;
}

} // namespace

void MainWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction* quit = file->addAction(QStringLiteral("&Quit"));
    quit->setShortcuts(keysFor(QKeySequence::Quit, {QKeySequence(Qt::CTRL | Qt::Key_Q)}));
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, this, [] { QApplication::closeAllWindows(); });

    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    QAction* find = edit->addAction(QStringLiteral("&Find"));
    find->setShortcuts(keysFor(QKeySequence::Find, {QKeySequence(Qt::CTRL | Qt::Key_F)}));
    connect(find, &QAction::triggered, this, &MainWindow::findInCurrentTab);
    edit->addSeparator();
    QAction* copy = edit->addAction(QStringLiteral("&Copy"));
    copy->setShortcuts(keysFor(QKeySequence::Copy, {QKeySequence(Qt::CTRL | Qt::Key_C)}));
    connect(copy, &QAction::triggered, this, &MainWindow::copySelection);
    QAction* remove = edit->addAction(QStringLiteral("&Delete"));
    remove->setShortcuts(keysFor(QKeySequence::Delete, {QKeySequence(Qt::Key_Delete)}));
    connect(remove, &QAction::triggered, this, &MainWindow::deleteSelection);

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    refresh_ = view->addAction(QStringLiteral("&Refresh"));
    refresh_->setShortcuts(
        keysFor(QKeySequence::Refresh, {QKeySequence(Qt::Key_F5), QKeySequence(Qt::CTRL | Qt::Key_R)}));
    refresh_->setShortcutContext(Qt::WindowShortcut);
    connect(refresh_, &QAction::triggered, &model_, &AppModel::retryNow);
    for (int index = 0; index < root_->count(); ++index) {
        QAction* show = view->addAction(root_->tabText(index));
        show->setShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_1 + index)));
        connect(show, &QAction::triggered, this, [this, index] { root_->setCurrentIndex(index); });
    }
}

namespace {

bool within(const QWidget* widget, const QWidget* ancestor) {
    return widget != nullptr && (widget == ancestor || ancestor->isAncestorOf(widget));
}

void focusField(QLineEdit* field) {
    field->setFocus(Qt::ShortcutFocusReason);
    field->selectAll();
}

} // namespace

void MainWindow::findInCurrentTab() {
    QWidget* tab = root_->currentWidget();
    if (tab == root_->records()) {
        RecordsView* records = root_->records();
        bool inDetail =
            within(QApplication::focusWidget(), records->detail()) && records->detail()->showsAccount();
        focusField(inDetail ? records->detail()->loaded()->ledger()->filterField()
                            : records->sidebar()->filterField());
    } else if (tab == root_->activity()) {
        focusField(root_->activity()->agentField());
    }
}

void MainWindow::copySelection() {
    QWidget* focus = QApplication::focusWidget();
    RecordsView* records = root_->records();
    LedgerListView* ledger = records->detail()->loaded()->ledger();
    if (auto* field = qobject_cast<QLineEdit*>(focus)) {
        field->copy();
    } else if (focus == records->sidebar()->list()) {
        records->sidebar()->copyCurrent();
    } else if (focus == ledger->list()) {
        ledger->copyCurrent();
    } else if (focus == root_->activity()->list()) {
        root_->activity()->copyCurrentPayload();
    }
}

void MainWindow::deleteSelection() {
    QWidget* focus = QApplication::focusWidget();
    RecordsView* records = root_->records();
    if (!records->detail()->showsAccount()) {
        return;
    }
    LoadedAccountView* loaded = records->detail()->loaded();
    if (focus == loaded->ledger()->list()) {
        loaded->ledger()->deleteCurrent();
    } else if (focus == records->sidebar()->list()) {
        loaded->header()->presentDeleteConfirmation();
    }
}

namespace {

const QString geometryKey = QStringLiteral("window/geometry");
const QString tabKey = QStringLiteral("window/tab");

} // namespace

void MainWindow::saveLayout(QSettings& settings) const {
    settings.setValue(geometryKey, saveGeometry());
    settings.setValue(tabKey, root_->currentIndex());
    root_->records()->saveLayout(settings);
}

void MainWindow::restoreLayout(const QSettings& settings) {
    if (QByteArray geometry = settings.value(geometryKey).toByteArray(); !geometry.isEmpty()) {
        restoreGeometry(geometry);
    }
    bool ok = false;
    int tab = settings.value(tabKey).toInt(&ok);
    if (ok && tab >= 0 && tab < root_->count()) {
        root_->setCurrentIndex(tab);
    }
    root_->records()->restoreLayout(settings);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shown_) {
        shown_ = true;
        // Once shown, on the event loop; start() itself works once per model,
        // so further windows start nothing new.
        QTimer::singleShot(0, &model_, [model = &model_] { model->start(); });
    }
}

} // namespace quorvane
