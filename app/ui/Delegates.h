#pragma once

// Item delegates that paint the rows of the app's lists: one painter per list,
// no widget per row, so a list of thousands of rows costs only what is
// visible. Fonts and metrics are taken from AppStyle when the delegate is made.
//
// Threads: GUI thread only.

#include <QFont>
#include <QStyledItemDelegate>

namespace quorvane {

// The accounts sidebar (SidebarModel): section headings, account rows with
// the connection dot, name, identity mode and balance, and connection rows
// with their icon, label and authentication state.
class SidebarDelegate final : public QStyledItemDelegate {
    Q_OBJECT

public:
    explicit SidebarDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    QFont heading_;
    QFont body_;
    QFont callout_;
    QFont caption2_;
    QFont amount_;
};

// One account's ledger (LedgerModel): type badge, memo and date, signed amount
// and the row's edit and delete buttons, which are hit-tested here and
// reported by signal.
class TransactionDelegate final : public QStyledItemDelegate {
    Q_OBJECT

public:
    explicit TransactionDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;

    // Where a row's two buttons are, for a row drawn in `rowRect`.
    [[nodiscard]] QRect editButtonRect(const QRect& rowRect) const;
    [[nodiscard]] QRect deleteButtonRect(const QRect& rowRect) const;

    // The fixed width of every type badge.
    static constexpr int badgeWidth = 72;

signals:
    void editRequested(const QModelIndex& index);
    void deleteRequested(const QModelIndex& index);

private:
    QFont badge_;
    QFont body_;
    QFont caption2_;
    QFont amount_;
};

// The API log (ApiLogModel): direction icon, method, client label, time of day
// and up to three lines of the payload.
class ApiLogDelegate final : public QStyledItemDelegate {
    Q_OBJECT

public:
    explicit ApiLogDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    [[nodiscard]] QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The most payload lines a row shows.
    static constexpr int maxPayloadLines = 3;

    // The payload lines a row of this text width shows: hard line breaks and
    // wrapping, at most maxPayloadLines; the last is elided when text remains.
    [[nodiscard]] QStringList payloadLines(const QString& payload, int width) const;

private:
    QFont method_;
    QFont caption_;
    QFont caption2_;
    QFont mono_;
};

} // namespace quorvane
