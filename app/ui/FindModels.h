#pragma once

// Find and order over the app's lists: proxies in front of the list models
// that keep the rows matching what the operator typed, and put the accounts in
// the order the operator chose. Matching is a case-insensitive "contains"; an
// empty text matches every row. The sidebar's headings and its live
// connections always stay, in their place; only account rows are filtered and
// ordered.
//
// The proxies add what the list models leave to the views: ledger rows can be
// selected (so the keyboard has a current row), and API log rows say whether
// they are an error reply (ErrorReplyRole) and read it to assistive
// technology.
//
// Threads: GUI thread only.

#include <QHash>
#include <QSortFilterProxyModel>
#include <QString>

#include <cstddef>
#include <optional>

#include "common/Records.h"

namespace quorvane {

// bool: the row is a reply that reports a failure (a JSON-RPC error, or a
// tool result marked as an error). Answered by ActivityFilterModel.
inline constexpr int ErrorReplyRole = Qt::UserRole + 64;

// Whether an API log line is a reply that reports a failure: a response whose
// payload is a JSON object with an "error" member, or with a "result" object
// whose "isError" is true. Payloads above errorScanBytes are not parsed (the
// host's failure replies are short) and count as no error.
[[nodiscard]] bool isErrorReply(const ApiLogEntry& line);
inline constexpr std::size_t errorScanBytes = 64 * 1024;

// The accounts sidebar (SidebarModel): account rows whose name or id contains
// the filter text, in the chosen order.
class SidebarFilterModel final : public QSortFilterProxyModel {
    Q_OBJECT

public:
    // created: the host's order (oldest account first). name: A to Z by the
    // locale. balance: highest first. lastActivity: most recent first. Ties
    // keep the host's order.
    enum class Order { created, name, balance, lastActivity };

    explicit SidebarFilterModel(QObject* parent = nullptr);

    void setFilterText(const QString& text);
    [[nodiscard]] const QString& filterText() const { return filterText_; }
    void setOrder(Order order);
    [[nodiscard]] Order order() const { return order_; }
    // When each account was last active (seconds since the epoch, by id);
    // accounts missing here sort last.
    void setLastActivity(QHash<QString, qint64> secondsById);

    // The order's stored name ("created", "name", "balance", "lastActivity")
    // and back; nullopt for any other text.
    [[nodiscard]] static QString orderName(Order order);
    [[nodiscard]] static std::optional<Order> orderNamed(const QString& name);

    // The row of the account with this id, or -1 when it is not listed or
    // filtered out.
    [[nodiscard]] int rowOfAccount(const std::string& id) const;

protected:
    [[nodiscard]] bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;
    [[nodiscard]] bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

private:
    QString filterText_;
    Order order_ = Order::created;
    QHash<QString, qint64> lastActivity_;
};

// One account's ledger (LedgerModel): entries whose memo or type label
// contains the filter text. Rows are selectable.
class LedgerFilterModel final : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit LedgerFilterModel(QObject* parent = nullptr);

    void setFilterText(const QString& text);
    [[nodiscard]] const QString& filterText() const { return filterText_; }

    [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

protected:
    [[nodiscard]] bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    QString filterText_;
};

// The API log (ApiLogModel): lines whose client label contains the agent text
// and whose method contains the method text, optionally only error replies.
// Answers ErrorReplyRole and an accessible text for each row.
class ActivityFilterModel final : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit ActivityFilterModel(QObject* parent = nullptr);

    void setAgentText(const QString& text);
    void setMethodText(const QString& text);
    void setErrorsOnly(bool errorsOnly);
    [[nodiscard]] const QString& agentText() const { return agentText_; }
    [[nodiscard]] const QString& methodText() const { return methodText_; }
    [[nodiscard]] bool errorsOnly() const { return errorsOnly_; }
    // Whether any of the three narrows the list.
    [[nodiscard]] bool isFiltering() const;

    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;

protected:
    [[nodiscard]] bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    [[nodiscard]] bool isErrorRow(int sourceRow) const;

    QString agentText_;
    QString methodText_;
    bool errorsOnly_ = false;
    // Whether each line (by id) is an error reply, worked out once per line.
    mutable QHash<QString, bool> errorById_;
};

} // namespace quorvane
