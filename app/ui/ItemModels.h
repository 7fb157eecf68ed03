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
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/ControlProtocol.h"
#include "common/Records.h"
#include "common/Result.h"

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

// One account's ledger, newest first: the entries the snapshot carries for
// it (setEntries), then older ones fetched a page at a time whenever the view
// reaches the end (canFetchMore/fetchMore), down to the account's first
// entry. The snapshot holds an account's newest entries; fetched ones are
// kept below them across snapshots of the same account (also when the
// snapshot's window moves past them), and fetched afresh by reloadOlder().
// Another account starts again from its snapshot entries.
class LedgerModel final : public RecordListModel {
    Q_OBJECT

public:
    // Asks for one page of the account's entries below sequence `before` (the
    // newest when absent), newest first. `done` runs later on the GUI thread,
    // at most once, with the page or an error.
    using PageDone = std::function<void(Result<ControlResponse::EntriesPage>)>;
    using PageFetcher =
        std::function<void(const std::string& accountId, std::optional<std::int64_t> before, PageDone done)>;

    explicit LedgerModel(QObject* parent = nullptr);

    // Without a fetcher (or an account) the model shows what it is given.
    void setPageFetcher(PageFetcher fetcher);
    // The account whose entries follow. Another account drops the fetched
    // entries and any answer still to come.
    void setAccount(const std::string& accountId);
    // The account's newest entries, as the snapshot carries them.
    void setEntries(std::vector<LedgerEntry> entries);
    // Fetches the older entries shown once more, as they may have changed
    // (edited, deleted); the rows are updated when all pages are there. A
    // call while a reload runs makes one more follow it.
    void reloadOlder();

    [[nodiscard]] const std::vector<LedgerEntry>& entries() const { return entries_; }
    // Whether the host said there is nothing older than the last row.
    [[nodiscard]] bool reachedFirst() const { return reachedFirst_; }

    // True while older entries may exist and no page is on its way. After a
    // failed fetch, false until the next setEntries (a snapshot), so a view
    // never asks in a loop while the host is away.
    [[nodiscard]] bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
    [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    // A reload gathers pages until it reaches `until` (the oldest row it
    // replaces); a plain fetch takes one page.
    struct Reload {
        std::vector<LedgerEntry> gathered;
        std::int64_t until = 0;
    };
    void requestPage(std::optional<std::int64_t> before, std::optional<Reload> reload);
    void receivePage(Result<ControlResponse::EntriesPage> page, std::optional<Reload> reload);
    void show();

    std::vector<LedgerEntry> entries_; // the rows: newest_, then older_ below them
    std::vector<LedgerEntry> newest_;
    std::vector<LedgerEntry> older_;
    std::string accountId_;
    PageFetcher fetcher_;
    std::uint64_t generation_ = 0; // answers asked for under another are dropped
    bool fetching_ = false;
    bool reachedFirst_ = false;
    bool fetchFailed_ = false;
    bool changing_ = false;    // inside show()
    bool reloading_ = false;   // a reload's pages are on their way
    bool reloadAgain_ = false; // the ledger changed again meanwhile
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
