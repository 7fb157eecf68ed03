#pragma once

// The list models behind the app's long lists. Each holds its own copy of the
// records it shows (a value snapshot taken from the AppModel) and is replaced
// wholesale with set...(); the models work out the smallest change they can
// announce (rows updated in place, rows added at the front, the connections
// section replaced) and fall back to a reset otherwise, so views keep their
// selection and scroll position across refreshes.
//
// Threads: GUI thread only.

#include <QAbstractListModel>

#include <cstdint>
#include <vector>

#include "common/Records.h"

namespace quorvane {

// Roles shared by the models.
enum AppItemRole {
    RowKindRole = Qt::UserRole + 1, // SidebarModel::RowKind
    IdRole,                         // QString: record id
    SubtitleRole,                   // QString: second line
    AmountRole,                     // qlonglong: balance, or an entry's signed amount
    ConnectedRole,                  // bool
    EntryTypeRole,                  // int: EntryType
    DateTextRole,                   // QString
    MethodRole,                     // QString: JSON-RPC method or "—"
    ClientLabelRole,                // QString: may be empty
    DirectionRole,                  // int: ApiLogEntry::Direction
    PayloadRole,                    // QString: the start of the payload, enough to fill a few lines
};

// The common part of the models: replacing the shown records with the
// smallest announced change.
class RecordListModel : public QAbstractListModel {
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

protected:
    // A valid index of this model (quietly false for any other, as views and
    // testers ask about invalid ones too).
    [[nodiscard]] bool holds(const QModelIndex& index) const;

    // Makes `current` equal to `next`, announcing the change for the rows
    // starting at `rowOffset`: records with equal ids in a common prefix and
    // suffix, or the old list shifted down by rows added at the front (and cut
    // or grown at the end), are kept as rows and updated in place; the rest is
    // removed and inserted.
    template <class T>
    void replaceRows(std::vector<T>& current, std::vector<T> next, int rowOffset);
};

// The accounts sidebar: a heading row "Accounts", one row per account, a
// heading row "Live Connections (n)", one row per connection. Only account
// rows are enabled and selectable.
class SidebarModel final : public RecordListModel {
    Q_OBJECT

public:
    enum class RowKind { accountsHeading, account, connectionsHeading, connection };

    explicit SidebarModel(QObject* parent = nullptr);

    void setAccounts(std::vector<Account> accounts);
    void setConnections(std::vector<LiveConnection> connections);

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

    [[nodiscard]] RowKind kindOf(int row) const;
    // The row of the account with this id, or -1.
    [[nodiscard]] int rowOfAccount(const std::string& id) const;
    [[nodiscard]] const std::vector<Account>& accounts() const { return accounts_; }

    // The label of a connection: its client's display label, or "connecting…"
    // before it has sent its client information.
    [[nodiscard]] static QString connectionLabel(const LiveConnection& connection);

private:
    [[nodiscard]] int connectionsHeadingRow() const { return static_cast<int>(accounts_.size()) + 1; }

    std::vector<Account> accounts_;
    std::vector<LiveConnection> connections_;
    std::size_t headingCount_ = 0; // the count the connections heading shows
};

// One account's ledger, in the order given (newest first).
class LedgerModel final : public RecordListModel {
    Q_OBJECT

public:
    explicit LedgerModel(QObject* parent = nullptr);

    void setEntries(std::vector<LedgerEntry> entries);
    [[nodiscard]] const std::vector<LedgerEntry>& entries() const { return entries_; }

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    std::vector<LedgerEntry> entries_;
};

// The API log, newest first.
class ApiLogModel final : public RecordListModel {
    Q_OBJECT

public:
    explicit ApiLogModel(QObject* parent = nullptr);

    void setLines(std::vector<ApiLogEntry> lines);
    [[nodiscard]] const std::vector<ApiLogEntry>& lines() const { return lines_; }

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    std::vector<ApiLogEntry> lines_;
};

} // namespace quorvane
