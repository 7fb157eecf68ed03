#include "app/ui/ListHelpers.h"

#include <QListView>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QTextLayout>

namespace quorvane {

// ---- ScrollAnchor ----------------------------------------------------------------

ScrollAnchor::ScrollAnchor(QListView* view) : QObject(view), view_(view) {
    QAbstractItemModel* model = view->model();
    if (model == nullptr) {
        return;
    }
    connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this, &ScrollAnchor::remember);
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, &ScrollAnchor::remember);
    connect(model, &QAbstractItemModel::layoutAboutToBeChanged, this, &ScrollAnchor::remember);
    connect(model, &QAbstractItemModel::rowsInserted, this, &ScrollAnchor::restore);
    connect(model, &QAbstractItemModel::rowsRemoved, this, &ScrollAnchor::restore);
    connect(model, &QAbstractItemModel::layoutChanged, this, &ScrollAnchor::restore);
}

void ScrollAnchor::remember() {
    anchor_ = QPersistentModelIndex();
    if (view_->verticalScrollBar()->value() <= 0) {
        return; // at the top: follow the newest rows
    }
    QModelIndex top = view_->indexAt(QPoint(1, 1));
    if (!top.isValid()) {
        return;
    }
    anchor_ = top;
    anchorTop_ = view_->visualRect(top).top();
}

void ScrollAnchor::restore() {
    if (!anchor_.isValid()) {
        return;
    }
    // visualRect lays the rows out afresh first.
    int moved = view_->visualRect(anchor_).top() - anchorTop_;
    anchor_ = QPersistentModelIndex();
    if (moved != 0) {
        QScrollBar* bar = view_->verticalScrollBar();
        bar->setValue(bar->value() + moved);
    }
}

// ---- ElidedLabel -----------------------------------------------------------------

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

namespace {

// The text as one line of at most `width` pixels, in its own direction.
QString elided(const QFontMetrics& metrics, const QString& text, int width) {
    return metrics.elidedText(text, Qt::ElideRight, width);
}

} // namespace

bool ElidedLabel::isElided() const {
    return elided(fontMetrics(), text(), contentsRect().width()) != text();
}

void ElidedLabel::setFullText(const QString& text) {
    setText(text);
    updateToolTip();
}

QSize ElidedLabel::minimumSizeHint() const {
    QSize hint = QLabel::minimumSizeHint();
    hint.setWidth(fontMetrics().horizontalAdvance(QStringLiteral("\u2026")) * 3);
    return hint;
}

void ElidedLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QRect area = contentsRect();
    QString shown = elided(fontMetrics(), text(), area.width());
    // Laid out in the text's reading direction, placed at the leading edge.
    painter.setLayoutDirection(text().isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight);
    Qt::Alignment leading = layoutDirection() == Qt::RightToLeft ? Qt::AlignRight : Qt::AlignLeft;
    Qt::Alignment vertical = alignment() & Qt::AlignVertical_Mask;
    painter.setPen(palette().color(foregroundRole()));
    painter.setFont(font());
    painter.drawText(area, static_cast<int>(leading | Qt::AlignAbsolute | vertical | Qt::TextSingleLine),
                     shown);
    updateToolTip();
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    updateToolTip();
}

void ElidedLabel::updateToolTip() {
    QString tip = isElided() ? text() : QString();
    if (toolTip() != tip) {
        setToolTip(tip);
    }
}

} // namespace quorvane
