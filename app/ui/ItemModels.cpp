#include "app/ui/ItemModels.h"

#include <QPointer>

#include <algorithm>
#include <cstddef>
#include <utility>

#include "app/ui/AppStyle.h"
#include "app/ui/EntryType.h"

namespace quorvane {

namespace {

const QString emDash = QStringLiteral("\u2014");

// The most payload bytes handed to a view: far more than three lines of any
// list width, and a bound on the work for a payload of megabytes.
constexpr std::size_t payloadExcerptBytes = 4096;

QString excerpt(const std::string& text) {
    if (text.size() <= payloadExcerptBytes) {
        return QString::fromStdString(text);
    }
    std::size_t end = payloadExcerptBytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end; // never cut inside a UTF-8 sequence
    }
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(end));
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

bool RecordListModel::holds(const QModelIndex& index) const {
    return index.isValid() && index.model() == this && !index.parent().isValid() && index.column() == 0 &&
           index.row() >= 0 && index.row() < rowCount();
}

template <class T>
void RecordListModel::replaceRows(std::vector<T>& current, std::vector<T> next, int rowOffset) {
    if (current == next) {
        return;
    }
    auto sameId = [](const T& a, const T& b) { return a.id == b.id; };

    // Rows added at the front, the old rows below them (the API log's pushes
    // and a ledger's newest entry).
    std::size_t shift = 0;
    bool shifted = false;
    if (!current.empty() && !next.empty() && !sameId(current.front(), next.front())) {
        auto found =
            std::find_if(next.begin(), next.end(), [&](const T& r) { return sameId(r, current.front()); });
        if (found != next.end()) {
            shift = static_cast<std::size_t>(found - next.begin());
            std::size_t overlap = std::min(current.size(), next.size() - shift);
            shifted = std::equal(current.begin(), current.begin() + static_cast<std::ptrdiff_t>(overlap),
                                 next.begin() + static_cast<std::ptrdiff_t>(shift), sameId);
        }
    }

    if (shifted) {
        beginInsertRows({}, rowOffset, rowOffset + static_cast<int>(shift) - 1);
        current.insert(current.begin(), next.begin(), next.begin() + static_cast<std::ptrdiff_t>(shift));
        endInsertRows();
    } else {
        std::size_t prefix = 0;
        std::size_t limit = std::min(current.size(), next.size());
        while (prefix < limit && sameId(current[prefix], next[prefix])) {
            ++prefix;
        }
        std::size_t suffix = 0;
        while (suffix < limit - prefix &&
               sameId(current[current.size() - 1 - suffix], next[next.size() - 1 - suffix])) {
            ++suffix;
        }
        std::size_t oldMiddle = current.size() - prefix - suffix;
        std::size_t newMiddle = next.size() - prefix - suffix;
        int first = rowOffset + static_cast<int>(prefix);
        if (oldMiddle > 0) {
            beginRemoveRows({}, first, first + static_cast<int>(oldMiddle) - 1);
            current.erase(current.begin() + static_cast<std::ptrdiff_t>(prefix),
                          current.begin() + static_cast<std::ptrdiff_t>(prefix + oldMiddle));
            endRemoveRows();
        }
        if (newMiddle > 0) {
            beginInsertRows({}, first, first + static_cast<int>(newMiddle) - 1);
            current.insert(current.begin() + static_cast<std::ptrdiff_t>(prefix),
                           next.begin() + static_cast<std::ptrdiff_t>(prefix),
                           next.begin() + static_cast<std::ptrdiff_t>(prefix + newMiddle));
            endInsertRows();
        }
    }

    // Cut or grow the end to the new length.
    if (current.size() > next.size()) {
        beginRemoveRows({}, rowOffset + static_cast<int>(next.size()),
                        rowOffset + static_cast<int>(current.size()) - 1);
        current.resize(next.size());
        endRemoveRows();
    } else if (current.size() < next.size()) {
        std::size_t from = current.size();
        beginInsertRows({}, rowOffset + static_cast<int>(from),
                        rowOffset + static_cast<int>(next.size()) - 1);
        current.insert(current.end(), next.begin() + static_cast<std::ptrdiff_t>(from), next.end());
        endInsertRows();
    }

    // Update the rows that stayed, one signal per run of changed rows.
    std::size_t runStart = 0;
    bool inRun = false;
    for (std::size_t i = 0; i <= next.size(); ++i) {
        bool changed = i < next.size() && !(current[i] == next[i]);
        if (changed) {
            current[i] = std::move(next[i]);
            if (!inRun) {
                runStart = i;
                inRun = true;
            }
        } else if (inRun) {
            emit dataChanged(index(rowOffset + static_cast<int>(runStart)),
                             index(rowOffset + static_cast<int>(i) - 1));
            inRun = false;
        }
    }
}

// ---- SidebarModel ----------------------------------------------------------------

SidebarModel::SidebarModel(QObject* parent) : RecordListModel(parent) {
}

void SidebarModel::setAccounts(std::vector<Account> accounts) {
    replaceRows(accounts_, std::move(accounts), 1);
}

void SidebarModel::setConnections(std::vector<LiveConnection> connections) {
    replaceRows(connections_, std::move(connections), connectionsHeadingRow() + 1);
    // The heading's count changes after the rows, as its own change.
    if (headingCount_ != connections_.size()) {
        headingCount_ = connections_.size();
        QModelIndex heading = index(connectionsHeadingRow());
        emit dataChanged(heading, heading);
    }
}

int SidebarModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) {
        return 0;
    }
    return static_cast<int>(accounts_.size() + connections_.size()) + 2;
}

SidebarModel::RowKind SidebarModel::kindOf(int row) const {
    if (row == 0) {
        return RowKind::accountsHeading;
    }
    if (row < connectionsHeadingRow()) {
        return RowKind::account;
    }
    if (row == connectionsHeadingRow()) {
        return RowKind::connectionsHeading;
    }
    return RowKind::connection;
}

int SidebarModel::rowOfAccount(const std::string& id) const {
    for (std::size_t i = 0; i < accounts_.size(); ++i) {
        if (accounts_[i].id == id) {
            return static_cast<int>(i) + 1;
        }
    }
    return -1;
}

QString SidebarModel::connectionLabel(const LiveConnection& connection) {
    if (connection.clientInfo) {
        return qs(connection.clientInfo->displayLabel());
    }
    return QStringLiteral("connecting\u2026");
}

QVariant SidebarModel::data(const QModelIndex& index, int role) const {
    if (!holds(index)) {
        return {};
    }
    int row = index.row();
    RowKind kind = kindOf(row);
    if (role == RowKindRole) {
        return static_cast<int>(kind);
    }
    switch (kind) {
    case RowKind::accountsHeading:
        return role == Qt::DisplayRole ? QVariant(QStringLiteral("Accounts")) : QVariant();
    case RowKind::connectionsHeading:
        return role == Qt::DisplayRole
                   ? QVariant(
                         QStringLiteral("Live Connections (%1)").arg(static_cast<qulonglong>(headingCount_)))
                   : QVariant();
    case RowKind::account: {
        const Account& account = accounts_[static_cast<std::size_t>(row - 1)];
        switch (role) {
        case Qt::DisplayRole:
            return qs(account.displayName);
        case IdRole:
            return qs(account.id);
        case SubtitleRole:
            return account.identityMode == IdentityMode::clientInfo ? QStringLiteral("clientInfo")
                                                                    : QStringLiteral("credential");
        case AmountRole:
            return static_cast<qlonglong>(account.balance);
        case ConnectedRole:
            return account.isConnected;
        case Qt::AccessibleTextRole:
            return QStringLiteral("%1, balance %2 points, %3")
                .arg(qs(account.displayName), AppStyle::localeInteger(account.balance),
                     account.isConnected ? QStringLiteral("connected") : QStringLiteral("not connected"));
        default:
            return {};
        }
    }
    case RowKind::connection: {
        const LiveConnection& connection =
            connections_[static_cast<std::size_t>(row - connectionsHeadingRow() - 1)];
        switch (role) {
        case Qt::DisplayRole:
            return connectionLabel(connection);
        case IdRole:
            return qs(connection.id);
        case SubtitleRole:
            return connection.authenticated ? QStringLiteral("authenticated")
                                            : QStringLiteral("unauthenticated");
        case ConnectedRole:
            return connection.authenticated;
        case Qt::AccessibleTextRole:
            return QStringLiteral("Connection %1, %2")
                .arg(connectionLabel(connection), connection.authenticated
                                                      ? QStringLiteral("authenticated")
                                                      : QStringLiteral("unauthenticated"));
        default:
            return {};
        }
    }
    }
    return {};
}

Qt::ItemFlags SidebarModel::flags(const QModelIndex& index) const {
    if (!holds(index)) {
        return Qt::NoItemFlags;
    }
    if (kindOf(index.row()) == RowKind::account) {
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    }
    // Headings and connections take no clicks, so a click there leaves the
    // account selection as it is.
    return Qt::ItemNeverHasChildren;
}

// ---- LedgerModel -----------------------------------------------------------------

LedgerModel::LedgerModel(QObject* parent) : RecordListModel(parent) {
}

void LedgerModel::setPageFetcher(PageFetcher fetcher) {
    fetcher_ = std::move(fetcher);
}

void LedgerModel::setAccount(const std::string& accountId) {
    if (accountId == accountId_) {
        return;
    }
    accountId_ = accountId;
    ++generation_;
    older_.clear();
    fetching_ = false;
    reloading_ = false;
    reloadAgain_ = false;
    reachedFirst_ = false;
    fetchFailed_ = false;
    show();
}

void LedgerModel::setEntries(std::vector<LedgerEntry> entries) {
    // Once rows below the snapshot's are shown, rows this snapshot no longer
    // carries at its lower end stay: its window moved past them. (Deleted
    // ones go with the reload that the change brings.)
    if (!older_.empty() || reachedFirst_) {
        const std::optional<std::int64_t> floor =
            entries.empty() ? std::nullopt : std::optional<std::int64_t>(entries.back().sequence);
        std::vector<LedgerEntry> carried;
        for (const LedgerEntry& entry : newest_) {
            if ((!floor || entry.sequence < *floor) &&
                (older_.empty() || entry.sequence > older_.front().sequence)) {
                carried.push_back(entry);
            }
        }
        older_.insert(older_.begin(), carried.begin(), carried.end());
    }
    newest_ = std::move(entries);
    fetchFailed_ = false;
    show();
}

void LedgerModel::show() {
    std::vector<LedgerEntry> rows = newest_;
    for (const LedgerEntry& entry : older_) {
        if (newest_.empty() || entry.sequence < newest_.back().sequence) {
            rows.push_back(entry);
        }
    }
    // Views and testers ask for more while rows change; the last row is
    // known only afterwards.
    changing_ = true;
    replaceRows(entries_, std::move(rows), 0);
    changing_ = false;
}

bool LedgerModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && fetcher_ && !accountId_.empty() && !reachedFirst_ && !fetching_ &&
           !fetchFailed_ && !changing_;
}

void LedgerModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent)) {
        return;
    }
    fetching_ = true;
    requestPage(entries_.empty() ? std::nullopt : std::optional<std::int64_t>(entries_.back().sequence),
                std::nullopt);
}

void LedgerModel::reloadOlder() {
    if (older_.empty() || !fetcher_ || accountId_.empty()) {
        return;
    }
    if (reloading_) {
        // Changes that come in a stream: one more reload once this one is
        // in, rather than one that never finishes.
        reloadAgain_ = true;
        return;
    }
    ++generation_; // a page still on its way describes the old state
    fetching_ = true;
    reloading_ = true;
    // From the newest down: where the snapshot will end by the time the pages
    // are in is not known yet.
    requestPage(std::nullopt, Reload{{}, older_.back().sequence});
}

void LedgerModel::requestPage(std::optional<std::int64_t> before, std::optional<Reload> reload) {
    fetcher_(accountId_, before,
             [self = QPointer<LedgerModel>(this), generation = generation_,
              reload = std::move(reload)](Result<ControlResponse::EntriesPage> page) mutable {
                 if (self && self->generation_ == generation) {
                     self->receivePage(std::move(page), std::move(reload));
                 }
             });
}

void LedgerModel::receivePage(Result<ControlResponse::EntriesPage> page, std::optional<Reload> reload) {
    if (!page) {
        fetching_ = false;
        fetchFailed_ = true;
        reloading_ = false;
        reloadAgain_ = false;
        return;
    }
    std::vector<LedgerEntry>& entries = page->entries;
    const bool more = page->more && !entries.empty();
    if (reload) {
        reload->gathered.insert(reload->gathered.end(), std::make_move_iterator(entries.begin()),
                                std::make_move_iterator(entries.end()));
        if (more && reload->gathered.back().sequence > reload->until) {
            const std::int64_t next = reload->gathered.back().sequence;
            requestPage(next, std::move(reload));
            return;
        }
        older_ = std::move(reload->gathered);
        reloading_ = false;
    } else {
        // Only what lies below the last row: rows may have moved meanwhile.
        const std::optional<std::int64_t> last =
            entries_.empty() ? std::nullopt : std::optional<std::int64_t>(entries_.back().sequence);
        bool added = false;
        for (LedgerEntry& entry : entries) {
            if (!last || entry.sequence < *last) {
                older_.push_back(std::move(entry));
                added = true;
            }
        }
        if (!added && more) {
            // Nothing new came in sight: go on below the page at once, as no
            // view asks again while its rows stay the same.
            requestPage(entries.back().sequence, std::nullopt);
            return;
        }
    }
    reachedFirst_ = !more;
    fetching_ = false;
    show();
    if (reloadAgain_) {
        reloadAgain_ = false;
        reloadOlder();
    }
}

int LedgerModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

QVariant LedgerModel::data(const QModelIndex& index, int role) const {
    if (!holds(index)) {
        return {};
    }
    const LedgerEntry& entry = entries_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return entry.memo.empty() ? emDash : qs(entry.memo);
    case IdRole:
        return qs(entry.id);
    case EntryTypeRole:
        return static_cast<int>(entryTypeOf(entry));
    case AmountRole:
        return static_cast<qlonglong>(entry.signedAmount());
    case DateTextRole:
        return AppStyle::entryDateText(entry.createdAt);
    case Qt::AccessibleTextRole: {
        // What a sighted operator reads in the row: type, amount, date, memo.
        std::string_view type = label(entryTypeOf(entry));
        QString text = QString::fromUtf8(type.data(), static_cast<qsizetype>(type.size()));
        if (entry.kind != TransactionKind::note) {
            text += QStringLiteral(", %1 points").arg(AppStyle::localeInteger(entry.signedAmount()));
        }
        text += QStringLiteral(", ") + AppStyle::entryDateText(entry.createdAt);
        text += QStringLiteral(", ") + (entry.memo.empty() ? QStringLiteral("no memo") : qs(entry.memo));
        return text;
    }
    default:
        return {};
    }
}

Qt::ItemFlags LedgerModel::flags(const QModelIndex& index) const {
    if (!holds(index)) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
}

// ---- ApiLogModel -----------------------------------------------------------------

ApiLogModel::ApiLogModel(QObject* parent) : RecordListModel(parent) {
}

void ApiLogModel::setLines(std::vector<ApiLogEntry> lines) {
    replaceRows(lines_, std::move(lines), 0);
}

int ApiLogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(lines_.size());
}

QVariant ApiLogModel::data(const QModelIndex& index, int role) const {
    if (!holds(index)) {
        return {};
    }
    const ApiLogEntry& line = lines_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case MethodRole:
        return line.method ? qs(*line.method) : emDash;
    case IdRole:
        return qs(line.id);
    case ClientLabelRole:
        return line.clientLabel ? qs(*line.clientLabel) : QString();
    case DirectionRole:
        return static_cast<int>(line.direction);
    case DateTextRole:
        return AppStyle::timeOfDayText(line.timestamp);
    case PayloadRole:
        return excerpt(line.payload);
    default:
        return {};
    }
}

Qt::ItemFlags ApiLogModel::flags(const QModelIndex& index) const {
    if (!holds(index)) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

} // namespace quorvane
