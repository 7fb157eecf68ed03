#include "app/ui/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
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

const QString geometryKey = QStringLiteral("window/geometry");
const QString tabKey = QStringLiteral("window/tab");

} // namespace

void MainWindow::saveLayout(QSettings& settings) const {
    settings.setValue(geometryKey, saveGeometry());
    settings.setValue(tabKey, root_->currentIndex());
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
