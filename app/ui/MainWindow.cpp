#include "app/ui/MainWindow.h"

#include <QShowEvent>
#include <QTimer>

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
    addTab(records_, AppIcons::icon(AppIcon::records), QStringLiteral("Records"));
    addTab(activity_, AppIcons::icon(AppIcon::activity), QStringLiteral("Activity"));
    addTab(settings_, AppIcons::icon(AppIcon::settings), QStringLiteral("Settings"));
    // The host status belongs to the "Records" tab's tool area.
    setCornerWidget(status_, Qt::TopRightCorner);
    connect(this, &QTabWidget::currentChanged, this,
            [this](int index) { status_->setVisible(widget(index) == records_); });
}

MainWindow::MainWindow(AppModel& model, QWidget* parent)
    : QMainWindow(parent), model_(model), root_(new RootView(model, this)) {
    setCentralWidget(root_);
    root_->setMinimumSize(minimumContentSize);
    resize(defaultSize);
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
