#include "app/ui/ActivityView.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QVBoxLayout>

#include "app/AppModel.h"
#include "app/ui/AppStyle.h"
#include "app/ui/Delegates.h"
#include "app/ui/FindModels.h"
#include "app/ui/ItemModels.h"
#include "app/ui/ListHelpers.h"

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
    : QWidget(parent), model_(model), heading_(new QLabel(this)), agent_(new QLineEdit(this)),
      method_(new QLineEdit(this)), errorsOnly_(new QCheckBox(QStringLiteral("&Errors only"), this)),
      list_(new QListView(this)), logModel_(new ApiLogModel(this)),
      filterModel_(new ActivityFilterModel(this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    heading_->setFont(AppStyle::sectionTitleFont());
    auto* headingRow = new QHBoxLayout;
    headingRow->setContentsMargins(16, 12, 16, 0);
    headingRow->setSpacing(8);
    headingRow->addWidget(heading_, 1);
    agent_->setPlaceholderText(QStringLiteral("Filter by agent"));
    method_->setPlaceholderText(QStringLiteral("Filter by method"));
    for (QLineEdit* field : {agent_, method_}) {
        field->setAccessibleName(field->placeholderText());
        field->setClearButtonEnabled(true);
        field->setMaximumWidth(200);
        headingRow->addWidget(field);
    }
    errorsOnly_->setAccessibleDescription(QStringLiteral("Show only replies that report an error"));
    headingRow->addWidget(errorsOnly_);
    column->addLayout(headingRow);
    column->addWidget(list_, 1);

    list_->setFrameShape(QFrame::NoFrame);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setResizeMode(QListView::Adjust);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setMouseTracking(true);
    list_->setAttribute(Qt::WA_Hover);
    list_->viewport()->setAutoFillBackground(false);
    filterModel_->setSourceModel(logModel_);
    list_->setModel(filterModel_);
    list_->setItemDelegate(new ApiLogDelegate(list_));
    list_->setAccessibleName(QStringLiteral("Live API Activity"));
    new ScrollAnchor(list_);

    // Ctrl+C is the window's Edit > Copy (or the event filter below when the
    // view stands alone); a second shortcut on the same keys would make both
    // ambiguous.
    auto* copy = new QAction(QStringLiteral("Copy Payload"), list_);
    connect(copy, &QAction::triggered, this, &ActivityView::copyCurrentPayload);
    list_->addAction(copy);
    list_->setContextMenuPolicy(Qt::ActionsContextMenu);
    list_->installEventFilter(this);

    connect(&model_, &AppModel::apiLogChanged, this, &ActivityView::update);
    connect(agent_, &QLineEdit::textChanged, this, [this](const QString& text) {
        filterModel_->setAgentText(text);
        update();
    });
    connect(method_, &QLineEdit::textChanged, this, [this](const QString& text) {
        filterModel_->setMethodText(text);
        update();
    });
    connect(errorsOnly_, &QCheckBox::toggled, this, [this](bool on) {
        filterModel_->setErrorsOnly(on);
        update();
    });
    update();
}

void ActivityView::update() {
    logModel_->setLines(model_.apiLog());
    auto all = static_cast<qulonglong>(model_.apiLog().size());
    if (filterModel_->isFiltering()) {
        heading_->setText(
            QStringLiteral("Live API Activity (%1 of %2)").arg(filterModel_->rowCount()).arg(all));
    } else {
        heading_->setText(QStringLiteral("Live API Activity (%1)").arg(all));
    }
}

void ActivityView::copyCurrentPayload() {
    QModelIndex current = filterModel_->mapToSource(list_->currentIndex());
    if (!current.isValid()) {
        return;
    }
    const std::string& payload = logModel_->lines()[static_cast<std::size_t>(current.row())].payload;
    QApplication::clipboard()->setText(QString::fromStdString(payload));
}

bool ActivityView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        copyCurrentPayload();
        return true;
    }
    return QWidget::eventFilter(watched, event);
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
