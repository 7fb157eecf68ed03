#include "app/ui/FindModels.h"

#include <nlohmann/json.hpp>

#include "app/ui/AppStyle.h"
#include "app/ui/EntryType.h"
#include "app/ui/ItemModels.h"

namespace quorvane {

namespace {

bool contains(const QString& haystack, const QString& needle) {
    return needle.isEmpty() || haystack.contains(needle, Qt::CaseInsensitive);
}

QString typeLabel(int type) {
    std::string_view text = label(static_cast<EntryType>(type));
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Lines kept in the error cache before it is emptied: the log holds at most a
// few hundred lines, so this is only reached after much traffic.
constexpr qsizetype errorCacheLimit = 4096;

} // namespace

bool isErrorReply(const ApiLogEntry& line) {
    if (line.direction != ApiLogEntry::Direction::response || line.payload.size() > errorScanBytes) {
        return false;
    }
    nlohmann::json reply = nlohmann::json::parse(line.payload, nullptr, false);
    if (!reply.is_object()) {
        return false;
    }
    if (reply.contains("error")) {
        return true;
    }
    auto result = reply.find("result");
    if (result == reply.end() || !result->is_object()) {
        return false;
    }
    auto flagged = result->find("isError");
    return flagged != result->end() && flagged->is_boolean() && flagged->get<bool>();
}

// ---- SidebarFilterModel ------------------------------------------------------------

SidebarFilterModel::SidebarFilterModel(QObject* parent) : QSortFilterProxyModel(parent) {
    setDynamicSortFilter(true);
    sort(0);
}

void SidebarFilterModel::setFilterText(const QString& text) {
    if (text == filterText_) {
        return;
    }
    filterText_ = text;
    invalidateFilter();
}

void SidebarFilterModel::setOrder(Order order) {
    if (order == order_) {
        return;
    }
    order_ = order;
    invalidate();
    sort(0);
}

void SidebarFilterModel::setLastActivity(QHash<QString, qint64> secondsById) {
    if (secondsById == lastActivity_) {
        return;
    }
    lastActivity_ = std::move(secondsById);
    if (order_ == Order::lastActivity) {
        invalidate();
        sort(0);
    }
}

QString SidebarFilterModel::orderName(Order order) {
    switch (order) {
    case Order::created:
        return QStringLiteral("created");
    case Order::name:
        return QStringLiteral("name");
    case Order::balance:
        return QStringLiteral("balance");
    case Order::lastActivity:
        return QStringLiteral("lastActivity");
    }
    return QStringLiteral("created");
}

std::optional<SidebarFilterModel::Order> SidebarFilterModel::orderNamed(const QString& name) {
    for (Order order : {Order::created, Order::name, Order::balance, Order::lastActivity}) {
        if (orderName(order) == name) {
            return order;
        }
    }
    return std::nullopt;
}

int SidebarFilterModel::rowOfAccount(const std::string& id) const {
    auto* source = qobject_cast<SidebarModel*>(sourceModel());
    if (source == nullptr) {
        return -1;
    }
    int sourceRow = source->rowOfAccount(id);
    if (sourceRow < 0) {
        return -1;
    }
    QModelIndex shown = mapFromSource(source->index(sourceRow));
    return shown.isValid() ? shown.row() : -1;
}

bool SidebarFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    QModelIndex row = sourceModel()->index(sourceRow, 0, sourceParent);
    if (row.data(RowKindRole).toInt() != static_cast<int>(SidebarModel::RowKind::account)) {
        return true;
    }
    return contains(row.data(Qt::DisplayRole).toString(), filterText_) ||
           contains(row.data(IdRole).toString(), filterText_);
}

bool SidebarFilterModel::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    constexpr int account = static_cast<int>(SidebarModel::RowKind::account);
    bool bothAccounts =
        left.data(RowKindRole).toInt() == account && right.data(RowKindRole).toInt() == account;
    if (bothAccounts && order_ != Order::created) {
        switch (order_) {
        case Order::name: {
            int compared = QString::localeAwareCompare(left.data(Qt::DisplayRole).toString(),
                                                       right.data(Qt::DisplayRole).toString());
            if (compared != 0) {
                return compared < 0;
            }
            break;
        }
        case Order::balance: {
            qlonglong a = left.data(AmountRole).toLongLong();
            qlonglong b = right.data(AmountRole).toLongLong();
            if (a != b) {
                return a > b;
            }
            break;
        }
        case Order::lastActivity: {
            constexpr qint64 never = std::numeric_limits<qint64>::min();
            qint64 a = lastActivity_.value(left.data(IdRole).toString(), never);
            qint64 b = lastActivity_.value(right.data(IdRole).toString(), never);
            if (a != b) {
                return a > b;
            }
            break;
        }
        case Order::created:
            break;
        }
    }
    // Headings and connections keep their places; so do ties.
    return left.row() < right.row();
}

// ---- LedgerFilterModel --------------------------------------------------------------

LedgerFilterModel::LedgerFilterModel(QObject* parent) : QSortFilterProxyModel(parent) {
    setDynamicSortFilter(true);
}

void LedgerFilterModel::setFilterText(const QString& text) {
    if (text == filterText_) {
        return;
    }
    filterText_ = text;
    invalidateFilter();
}

Qt::ItemFlags LedgerFilterModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QSortFilterProxyModel::flags(index);
    if (index.isValid()) {
        flags |= Qt::ItemIsSelectable; // the keyboard's current row shows
    }
    return flags;
}

bool LedgerFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (filterText_.isEmpty()) {
        return true;
    }
    QModelIndex row = sourceModel()->index(sourceRow, 0, sourceParent);
    return contains(row.data(Qt::DisplayRole).toString(), filterText_) ||
           contains(typeLabel(row.data(EntryTypeRole).toInt()), filterText_);
}

// ---- ActivityFilterModel ------------------------------------------------------------

ActivityFilterModel::ActivityFilterModel(QObject* parent) : QSortFilterProxyModel(parent) {
    setDynamicSortFilter(true);
}

void ActivityFilterModel::setAgentText(const QString& text) {
    if (text != agentText_) {
        agentText_ = text;
        invalidateFilter();
    }
}

void ActivityFilterModel::setMethodText(const QString& text) {
    if (text != methodText_) {
        methodText_ = text;
        invalidateFilter();
    }
}

void ActivityFilterModel::setErrorsOnly(bool errorsOnly) {
    if (errorsOnly != errorsOnly_) {
        errorsOnly_ = errorsOnly;
        invalidateFilter();
    }
}

bool ActivityFilterModel::isFiltering() const {
    return !agentText_.isEmpty() || !methodText_.isEmpty() || errorsOnly_;
}

bool ActivityFilterModel::isErrorRow(int sourceRow) const {
    auto* log = qobject_cast<const ApiLogModel*>(sourceModel());
    if (log == nullptr || sourceRow < 0 || static_cast<std::size_t>(sourceRow) >= log->lines().size()) {
        return false;
    }
    const ApiLogEntry& line = log->lines()[static_cast<std::size_t>(sourceRow)];
    QString id = QString::fromStdString(line.id);
    if (auto found = errorById_.constFind(id); found != errorById_.constEnd()) {
        return *found;
    }
    if (errorById_.size() >= errorCacheLimit) {
        errorById_.clear();
    }
    bool error = isErrorReply(line);
    errorById_.insert(id, error);
    return error;
}

QVariant ActivityFilterModel::data(const QModelIndex& index, int role) const {
    if (role == ErrorReplyRole) {
        return index.isValid() && isErrorRow(mapToSource(index).row());
    }
    if (role == Qt::AccessibleTextRole && index.isValid()) {
        // What a sighted operator reads in the header line.
        QString direction;
        switch (static_cast<ApiLogEntry::Direction>(index.data(DirectionRole).toInt())) {
        case ApiLogEntry::Direction::request:
            direction = QStringLiteral("Request");
            break;
        case ApiLogEntry::Direction::response:
            direction = QStringLiteral("Reply");
            break;
        case ApiLogEntry::Direction::notification:
            direction = QStringLiteral("Notification");
            break;
        }
        QString text = direction + QStringLiteral(", ") + index.data(MethodRole).toString();
        if (QString client = index.data(ClientLabelRole).toString(); !client.isEmpty()) {
            text += QStringLiteral(", ") + client;
        }
        text += QStringLiteral(", ") + index.data(DateTextRole).toString();
        if (isErrorRow(mapToSource(index).row())) {
            text += QStringLiteral(", error");
        }
        return text;
    }
    return QSortFilterProxyModel::data(index, role);
}

bool ActivityFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    QModelIndex row = sourceModel()->index(sourceRow, 0, sourceParent);
    return contains(row.data(ClientLabelRole).toString(), agentText_) &&
           contains(row.data(MethodRole).toString(), methodText_) && (!errorsOnly_ || isErrorRow(sourceRow));
}

} // namespace quorvane
