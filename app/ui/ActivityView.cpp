#include "app/ui/ActivityView.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QListView>
#include <QPainter>
#include <QVBoxLayout>

#include "app/AppModel.h"
#include "app/ui/AppStyle.h"
#include "app/ui/Delegates.h"
#include "app/ui/ItemModels.h"

namespace quorvane {

namespace {

void setTextColor(QLabel* label, const QColor& color) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

// The status dot: a filled circle in the colour its owner sets.
class Dot final : public QWidget {
public:
    Dot(int diameter, QWidget* parent) : QWidget(parent) { setFixedSize(diameter, diameter); }
    void setColor(const QColor& color) {
        color_ = color;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(color_);
        painter.drawEllipse(QRectF(rect()));
    }

private:
    QColor color_;
};

} // namespace

// ---- ActivityView ----------------------------------------------------------------------

ActivityView::ActivityView(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), heading_(new QLabel(this)), list_(new QListView(this)),
      logModel_(new ApiLogModel(this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    heading_->setFont(AppStyle::sectionTitleFont());
    heading_->setContentsMargins(16, 12, 16, 0);
    column->addWidget(heading_);
    column->addWidget(list_, 1);

    list_->setFrameShape(QFrame::NoFrame);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setResizeMode(QListView::Adjust);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setMouseTracking(true);
    list_->setAttribute(Qt::WA_Hover);
    list_->viewport()->setAutoFillBackground(false);
    list_->setModel(logModel_);
    list_->setItemDelegate(new ApiLogDelegate(list_));
    list_->setAccessibleName(QStringLiteral("Live API Activity"));

    auto* copy = new QAction(QStringLiteral("Copy Payload"), list_);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, &ActivityView::copyCurrentPayload);
    list_->addAction(copy);
    list_->setContextMenuPolicy(Qt::ActionsContextMenu);

    connect(&model_, &AppModel::apiLogChanged, this, &ActivityView::update);
    update();
}

void ActivityView::update() {
    heading_->setText(
        QStringLiteral("Live API Activity (%1)").arg(static_cast<qulonglong>(model_.apiLog().size())));
    logModel_->setLines(model_.apiLog());
}

void ActivityView::copyCurrentPayload() {
    QModelIndex current = list_->currentIndex();
    if (!current.isValid()) {
        return;
    }
    const std::string& payload = logModel_->lines()[static_cast<std::size_t>(current.row())].payload;
    QApplication::clipboard()->setText(QString::fromStdString(payload));
}

// ---- ConnectionStatusView ---------------------------------------------------------------

ConnectionStatusView::ConnectionStatusView(AppModel& model, QWidget* parent)
    : QWidget(parent), model_(model), dot_(new Dot(9, this)), status_(new QLabel(this)),
      version_(new QLabel(this)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 0, 8, 0);
    row->setSpacing(6);
    row->addWidget(dot_, 0, Qt::AlignVCenter);
    row->addWidget(status_, 0, Qt::AlignVCenter);
    row->addWidget(version_, 0, Qt::AlignVCenter);
    status_->setFont(AppStyle::caption());
    version_->setFont(AppStyle::caption());
    setTextColor(status_, AppStyle::secondaryText(palette()));
    setTextColor(version_, AppStyle::tertiaryText(palette()));

    connect(&model_, &AppModel::isConnectedChanged, this, &ConnectionStatusView::update);
    connect(&model_, &AppModel::hostVersionChanged, this, &ConnectionStatusView::update);
    update();
}

QString ConnectionStatusView::statusText() const {
    return status_->text();
}
QString ConnectionStatusView::versionText() const {
    return version_->text();
}

void ConnectionStatusView::update() {
    connected_ = model_.isConnected();
    static_cast<Dot*>(dot_)->setColor(connected_ ? AppStyle::connectedColor()
                                                 : AppStyle::disconnectedColor(palette()));
    status_->setText(connected_ ? QStringLiteral("Host connected") : QStringLiteral("Host offline"));
    const std::string& version = model_.hostVersion();
    version_->setText(version.empty() ? QString() : QStringLiteral("v") + QString::fromStdString(version));
}

} // namespace quorvane
