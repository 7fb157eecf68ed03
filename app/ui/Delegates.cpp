#include "app/ui/Delegates.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

#include <algorithm>
#include <cmath>

#include "app/ui/AppIcons.h"
#include "app/ui/AppStyle.h"
#include "app/ui/EntryType.h"
#include "app/ui/FindModels.h"
#include "app/ui/ItemModels.h"

namespace quorvane {

namespace {

constexpr int horizontalInset = 10; // inset-style lists: rows sit inside a margin
constexpr int iconButtonSize = 18;
constexpr int iconButtonGap = 4;

// Rows that take no clicks (headings, connections) are drawn like the others.
QPalette activePalette(const QStyleOptionViewItem& option) {
    QPalette palette = option.palette;
    palette.setCurrentColorGroup(QPalette::Active);
    return palette;
}

// A soft rounded highlight for the selected row, keeping the row's own colours
// legible (green and red amounts stay readable on it).
void paintRowBackground(QPainter* painter, const QStyleOptionViewItem& option, bool selectable) {
    bool selected = selectable && option.state.testFlag(QStyle::State_Selected);
    bool hovered = option.state.testFlag(QStyle::State_MouseOver);
    if (!selected && !hovered) {
        return;
    }
    QColor fill = option.palette.color(QPalette::Highlight);
    fill.setAlphaF(selected ? 0.22 : 0.07);
    QRectF rect = QRectF(option.rect).adjusted(4, 1, -4, -1);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(fill);
    painter->drawRoundedRect(rect, 6, 6);
    painter->restore();
}

// The width a text needs, rounded up, so that a rectangle of this width never
// elides it.
int textWidth(const QFont& font, const QString& text) {
    return static_cast<int>(std::ceil(QFontMetricsF(font).horizontalAdvance(text))) + 1;
}

// One line, elided to the rectangle. The text is laid out in its own reading
// direction, and left stays left: a right-to-left name starts at the same
// edge as the header's label puts it.
void drawText(QPainter* painter, const QRect& rect, const QFont& font, const QColor& color,
              const QString& text, int flags = Qt::AlignLeft | Qt::AlignVCenter) {
    painter->setFont(font);
    painter->setPen(color);
    QString shown = text;
    if (textWidth(font, text) > rect.width()) {
        shown = QFontMetricsF(font).elidedText(text, Qt::ElideRight, rect.width());
    }
    Qt::LayoutDirection before = painter->layoutDirection();
    painter->setLayoutDirection(text.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight);
    painter->drawText(rect, flags | Qt::AlignAbsolute | Qt::TextSingleLine, shown);
    painter->setLayoutDirection(before);
}

int lineHeight(const QFont& font) {
    return QFontMetrics(font).height();
}

int viewportWidth(const QStyleOptionViewItem& option) {
    if (auto* view = qobject_cast<const QAbstractItemView*>(option.widget)) {
        return view->viewport()->width();
    }
    return option.rect.width();
}

} // namespace

// ---- SidebarDelegate ----------------------------------------------------------------

SidebarDelegate::SidebarDelegate(QObject* parent)
    : QStyledItemDelegate(parent), heading_(AppStyle::caption()), body_(AppStyle::body()),
      callout_(AppStyle::callout()), caption2_(AppStyle::caption2()), amount_(AppStyle::amountFont()) {
    heading_.setWeight(QFont::Bold);
}

QSize SidebarDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    auto kind = static_cast<SidebarModel::RowKind>(index.data(RowKindRole).toInt());
    int width = option.rect.width();
    switch (kind) {
    case SidebarModel::RowKind::accountsHeading:
    case SidebarModel::RowKind::connectionsHeading:
        return {width, lineHeight(heading_) + 14};
    case SidebarModel::RowKind::account:
        return {width, lineHeight(body_) + 1 + lineHeight(caption2_) + 2 * 2 + 8};
    case SidebarModel::RowKind::connection:
        return {width, lineHeight(callout_) + 1 + lineHeight(caption2_) + 2 * 1 + 8};
    }
    return {width, lineHeight(body_)};
}

void SidebarDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    auto kind = static_cast<SidebarModel::RowKind>(index.data(RowKindRole).toInt());
    const QPalette palette = activePalette(option);
    QRect content = option.rect.adjusted(horizontalInset + 4, 0, -horizontalInset - 4, 0);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    switch (kind) {
    case SidebarModel::RowKind::accountsHeading:
    case SidebarModel::RowKind::connectionsHeading: {
        QRect text = content.adjusted(-4, 10, 0, -4);
        drawText(painter, text, heading_, AppStyle::secondaryText(palette),
                 index.data(Qt::DisplayRole).toString(), Qt::AlignLeft | Qt::AlignBottom);
        break;
    }
    case SidebarModel::RowKind::account: {
        paintRowBackground(painter, option, true);
        bool connected = index.data(ConnectedRole).toBool();
        QRect dot(content.left(), content.center().y() - 3, 8, 8);
        painter->setPen(Qt::NoPen);
        painter->setBrush(connected ? AppStyle::connectedColor() : AppStyle::disconnectedColor(palette));
        painter->drawEllipse(dot);

        auto balance = static_cast<std::int64_t>(index.data(AmountRole).toLongLong());
        QString balanceText = AppStyle::plainInteger(balance);
        int balanceWidth = textWidth(amount_, balanceText);
        QRect balanceRect(content.right() - balanceWidth, content.top(), balanceWidth, content.height());
        drawText(painter, balanceRect, amount_, AppStyle::amountColor(balance, palette), balanceText,
                 Qt::AlignRight | Qt::AlignVCenter);

        int textLeft = dot.right() + 1 + 8;
        int textRight = balanceRect.left() - 8;
        int blockHeight = lineHeight(body_) + 1 + lineHeight(caption2_);
        int top = content.center().y() - blockHeight / 2;
        drawText(painter, QRect(textLeft, top, textRight - textLeft, lineHeight(body_)), body_,
                 palette.color(QPalette::Text), index.data(Qt::DisplayRole).toString());
        drawText(painter,
                 QRect(textLeft, top + lineHeight(body_) + 1, textRight - textLeft, lineHeight(caption2_)),
                 caption2_, AppStyle::tertiaryText(palette), index.data(SubtitleRole).toString());
        break;
    }
    case SidebarModel::RowKind::connection: {
        bool authenticated = index.data(ConnectedRole).toBool();
        int iconSize = lineHeight(callout_) + 2;
        QRect iconRect(content.left(), content.center().y() - iconSize / 2, iconSize, iconSize);
        QPixmap icon =
            AppIcons::pixmap(authenticated ? AppIcon::personCheckmark : AppIcon::personQuestionmark,
                             authenticated ? AppStyle::connectedColor() : AppStyle::secondaryText(palette),
                             iconRect.size(), painter->device()->devicePixelRatioF());
        painter->drawPixmap(iconRect, icon);
        int textLeft = iconRect.right() + 1 + 8;
        int blockHeight = lineHeight(callout_) + 1 + lineHeight(caption2_);
        int top = content.center().y() - blockHeight / 2;
        drawText(painter, QRect(textLeft, top, content.right() - textLeft, lineHeight(callout_)), callout_,
                 palette.color(QPalette::Text), index.data(Qt::DisplayRole).toString());
        drawText(painter,
                 QRect(textLeft, top + lineHeight(callout_) + 1, content.right() - textLeft,
                       lineHeight(caption2_)),
                 caption2_, AppStyle::tertiaryText(palette), index.data(SubtitleRole).toString());
        break;
    }
    }
    painter->restore();
}

// ---- TransactionDelegate ---------------------------------------------------------------

TransactionDelegate::TransactionDelegate(QObject* parent)
    : QStyledItemDelegate(parent), badge_(AppStyle::caption2()), body_(AppStyle::body()),
      caption2_(AppStyle::caption2()), amount_(AppStyle::amountFont()) {
    badge_.setWeight(QFont::Bold);
}

QSize TransactionDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    int text = lineHeight(body_) + 2 + lineHeight(caption2_);
    int badge = lineHeight(badge_) + 2 * 3;
    return {option.rect.width(), std::max(text, badge) + 2 * 3 + 8};
}

QRect TransactionDelegate::deleteButtonRect(const QRect& rowRect) const {
    int right = rowRect.right() - horizontalInset - 4;
    return {right - iconButtonSize + 1, rowRect.center().y() - iconButtonSize / 2, iconButtonSize,
            iconButtonSize};
}

QRect TransactionDelegate::editButtonRect(const QRect& rowRect) const {
    QRect del = deleteButtonRect(rowRect);
    return del.translated(-(iconButtonSize + iconButtonGap), 0);
}

void TransactionDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
    const QPalette palette = activePalette(option);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    paintRowBackground(painter, option, true); // the keyboard's current row
    QRect content = option.rect.adjusted(horizontalInset + 4, 0, -horizontalInset - 4, 0);

    // Badge: the type's label on a capsule of its colour at 18 % opacity.
    auto type = static_cast<EntryType>(index.data(EntryTypeRole).toInt());
    QColor typeColor = AppStyle::color(type, palette);
    int badgeHeight = lineHeight(badge_) + 2 * 3;
    QRect badge(content.left(), content.center().y() - badgeHeight / 2, badgeWidth, badgeHeight);
    QColor fill = typeColor;
    fill.setAlphaF(0.18);
    painter->setPen(Qt::NoPen);
    painter->setBrush(fill);
    painter->drawRoundedRect(QRectF(badge), badgeHeight / 2.0, badgeHeight / 2.0);
    drawText(painter, badge.adjusted(8, 0, -8, 0), badge_, typeColor,
             QString::fromUtf8(label(type).data(), static_cast<qsizetype>(label(type).size())),
             Qt::AlignCenter);

    // Buttons at the trailing edge.
    QRect edit = editButtonRect(option.rect);
    QRect del = deleteButtonRect(option.rect);
    qreal dpr = painter->device()->devicePixelRatioF();
    QColor buttonColor = AppStyle::secondaryText(palette);
    QSize glyph(iconButtonSize - 2, iconButtonSize - 2);
    painter->drawPixmap(edit.adjusted(1, 1, -1, -1),
                        AppIcons::pixmap(AppIcon::pencil, buttonColor, glyph, dpr));
    painter->drawPixmap(del.adjusted(1, 1, -1, -1),
                        AppIcons::pixmap(AppIcon::trash, buttonColor, glyph, dpr));

    // Amount before the buttons.
    auto amount = static_cast<std::int64_t>(index.data(AmountRole).toLongLong());
    QString amountText = AppStyle::signedAmountText(amount);
    QColor amountColor =
        type == EntryType::note ? AppStyle::noteColor(palette) : AppStyle::amountColor(amount, palette);
    int amountWidth = textWidth(amount_, amountText);
    QRect amountRect(edit.left() - 12 - amountWidth, content.top(), amountWidth, content.height());
    drawText(painter, amountRect, amount_, amountColor, amountText, Qt::AlignRight | Qt::AlignVCenter);

    // Memo (or an em dash) over the creation date.
    int textLeft = badge.right() + 1 + 12;
    int memoWidth = amountRect.left() - 12 - textLeft;
    int blockHeight = lineHeight(body_) + 2 + lineHeight(caption2_);
    int top = content.center().y() - blockHeight / 2;
    drawText(painter, QRect(textLeft, top, memoWidth, lineHeight(body_)), body_,
             palette.color(QPalette::Text), index.data(Qt::DisplayRole).toString());
    drawText(painter, QRect(textLeft, top + lineHeight(body_) + 2, memoWidth, lineHeight(caption2_)),
             caption2_, AppStyle::tertiaryText(palette), index.data(DateTextRole).toString());
    painter->restore();
}

bool TransactionDelegate::editorEvent(QEvent* event, QAbstractItemModel*, const QStyleOptionViewItem& option,
                                      const QModelIndex& index) {
    if (event->type() != QEvent::MouseButtonRelease) {
        return false;
    }
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton) {
        return false;
    }
    QPoint at = mouse->position().toPoint();
    if (editButtonRect(option.rect).contains(at)) {
        emit editRequested(index);
        return true;
    }
    if (deleteButtonRect(option.rect).contains(at)) {
        emit deleteRequested(index);
        return true;
    }
    return false;
}

bool TransactionDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                    const QStyleOptionViewItem& option, const QModelIndex& index) {
    if (event->type() == QEvent::ToolTip) {
        if (editButtonRect(option.rect).contains(event->pos())) {
            QToolTip::showText(event->globalPos(), QStringLiteral("Edit"), view);
            return true;
        }
        if (deleteButtonRect(option.rect).contains(event->pos())) {
            QToolTip::showText(event->globalPos(), QStringLiteral("Delete"), view);
            return true;
        }
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

// ---- ApiLogDelegate --------------------------------------------------------------------

namespace {
constexpr int apiBadgeWidth = 20;
constexpr int apiBadgeGap = 10;
} // namespace

ApiLogDelegate::ApiLogDelegate(QObject* parent)
    : QStyledItemDelegate(parent), method_(AppStyle::callout()), caption_(AppStyle::caption()),
      caption2_(AppStyle::caption2()), mono_(AppStyle::monospacedSmall()) {
    method_.setWeight(QFont::Bold);
}

QStringList ApiLogDelegate::payloadLines(const QString& payload, int width) const {
    QFontMetrics metrics(mono_);
    int charWidth = std::max(1, metrics.horizontalAdvance(QLatin1Char('0')));
    int perLine = std::max(1, width / charWidth);
    QStringList lines;
    qsizetype at = 0;
    bool more = false;
    while (at <= payload.size()) {
        qsizetype lineEnd = payload.indexOf(QLatin1Char('\n'), at);
        if (lineEnd < 0) {
            lineEnd = payload.size();
        }
        // Wrap this hard line into pieces of perLine characters.
        qsizetype piece = at;
        do {
            if (lines.size() == maxPayloadLines) {
                more = true;
                break;
            }
            qsizetype length = std::min<qsizetype>(perLine, lineEnd - piece);
            if (length > 0 && piece + length < lineEnd && payload.at(piece + length - 1).isHighSurrogate()) {
                --length; // keep surrogate pairs whole
            }
            lines.append(payload.mid(piece, length));
            piece += length;
        } while (piece < lineEnd);
        if (more) {
            break;
        }
        at = lineEnd + 1;
    }
    if (more && !lines.isEmpty()) {
        QString& last = lines.last();
        last = last.left(std::max<qsizetype>(0, last.size() - 1)) + QStringLiteral("\u2026");
    }
    for (QString& line : lines) {
        line = metrics.elidedText(line, Qt::ElideRight, width); // wide characters
    }
    return lines;
}

QSize ApiLogDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    int payloadWidth = viewportWidth(option) - 2 * (horizontalInset + 4) - apiBadgeWidth - apiBadgeGap;
    auto lines =
        static_cast<int>(payloadLines(index.data(PayloadRole).toString(), std::max(1, payloadWidth)).size());
    int header = std::max(lineHeight(method_), lineHeight(caption_));
    return {option.rect.width(),
            header + 2 + std::max(1, lines) * QFontMetrics(mono_).lineSpacing() + 2 * 2 + 8};
}

void ApiLogDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                           const QModelIndex& index) const {
    const QPalette palette = activePalette(option);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    paintRowBackground(painter, option, true);
    QRect content = option.rect.adjusted(horizontalInset + 4, 4 + 2, -horizontalInset - 4, -4 - 2);

    auto direction = static_cast<ApiLogEntry::Direction>(index.data(DirectionRole).toInt());
    AppIcon icon = AppIcon::arrowDownLeft;
    QColor color = AppStyle::systemBlue();
    if (direction == ApiLogEntry::Direction::response) {
        icon = AppIcon::arrowUpRight;
        color = AppStyle::systemGreen();
    } else if (direction == ApiLogEntry::Direction::notification) {
        icon = AppIcon::bell;
        color = AppStyle::systemPurple();
    }
    // An error reply: its arrow in red and "error" after the method.
    bool error = index.data(ErrorReplyRole).toBool();
    if (error) {
        color = AppStyle::systemRed();
    }
    int header = std::max(lineHeight(method_), lineHeight(caption_));
    int glyph = lineHeight(caption_);
    QRect badge(content.left() + (apiBadgeWidth - glyph) / 2, content.top() + 2 + (header - glyph) / 2, glyph,
                glyph);
    painter->drawPixmap(badge,
                        AppIcons::pixmap(icon, color, badge.size(), painter->device()->devicePixelRatioF()));

    int left = content.left() + apiBadgeWidth + apiBadgeGap;
    int width = content.right() - left;
    QRect headerRect(left, content.top(), width, header);

    QString time = index.data(DateTextRole).toString();
    int timeWidth = textWidth(caption2_, time);
    drawText(painter, QRect(headerRect.right() - timeWidth, headerRect.top(), timeWidth, header), caption2_,
             AppStyle::tertiaryText(palette), time, Qt::AlignRight | Qt::AlignVCenter);
    int available = width - timeWidth - 8;

    QString method = index.data(MethodRole).toString();
    int methodWidth = std::min(available, textWidth(method_, method));
    drawText(painter, QRect(left, headerRect.top(), methodWidth, header), method_,
             palette.color(QPalette::Text), method);
    if (error) {
        const QString mark = QStringLiteral("error");
        int markWidth = std::min(std::max(0, available - methodWidth - 8), textWidth(method_, mark));
        drawText(painter, QRect(left + methodWidth + 8, headerRect.top(), markWidth, header), method_,
                 AppStyle::systemRed(), mark);
        methodWidth += 8 + markWidth;
    }
    QString client = index.data(ClientLabelRole).toString();
    if (!client.isEmpty()) {
        int clientLeft = left + methodWidth + 8;
        drawText(painter,
                 QRect(clientLeft, headerRect.top(), std::max(0, left + available - clientLeft), header),
                 caption_, AppStyle::secondaryText(palette), client);
    }

    painter->setFont(mono_);
    painter->setPen(AppStyle::secondaryText(palette));
    QFontMetrics mono(mono_);
    int y = headerRect.bottom() + 1 + 2;
    for (const QString& line : payloadLines(index.data(PayloadRole).toString(), width)) {
        painter->drawText(QRect(left, y, width, mono.height()),
                          Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, line);
        y += mono.lineSpacing();
    }
    painter->restore();
}

} // namespace quorvane
