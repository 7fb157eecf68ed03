#include "host/core/SnapshotBuilder.h"

#include <algorithm>
#include <numeric>
#include <set>

#include "common/Coding.h"
#include "common/Utf8Text.h"

namespace quorvane {
namespace {

// Stored text is normally valid UTF-8; a damaged row must not make the whole
// snapshot unwritable.
void makeValid(std::string& text) {
    if (!Utf8Text::isValid(text)) {
        text = Utf8Text::sanitize(text);
    }
}

int clientInfoKeyRank(const std::string& key) {
    if (key == "name") {
        return 0;
    }
    if (key == "title") {
        return 1;
    }
    if (key == "version") {
        return 2;
    }
    return 99;
}

std::string clientInfoValueText(const Json& value) {
    switch (value.type()) {
    case Json::value_t::string:
        return value.get<std::string>();
    case Json::value_t::boolean:
        return value.get<bool>() ? "1" : "0";
    case Json::value_t::null:
        return "null";
    case Json::value_t::number_integer:
        return std::to_string(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
        return std::to_string(value.get<std::uint64_t>());
    case Json::value_t::number_float:
    case Json::value_t::array:
    case Json::value_t::object:
        if (auto text = serializeJson(value)) {
            return std::move(*text);
        }
        break;
    default:
        break;
    }
    return "<" + std::string(value.type_name()) + ">";
}

// ---- Sizes ----------------------------------------------------------------------

// Quick upper bounds of encoded sizes: every byte of a string may need six
// (a control character as \u00XX), and keys, numbers and dates of a record
// take less than recordOverhead.
constexpr std::size_t recordOverhead = 512;

std::size_t textBound(const std::string& text) {
    return 6 * text.size() + 2;
}
std::size_t textBound(const std::optional<std::string>& text) {
    return text ? textBound(*text) : 0;
}
std::size_t infoBound(const std::optional<ClientInfo>& info) {
    return info ? recordOverhead + textBound(info->name) + textBound(info->version) + textBound(info->title)
                : 0;
}
std::size_t bound(const Account& a) {
    std::size_t size = recordOverhead + textBound(a.id) + textBound(a.displayName) + infoBound(a.clientInfo);
    for (const auto& field : a.clientInfoFields.value_or(std::vector<ClientInfoField>{})) {
        size += 32 + textBound(field.key) + textBound(field.value);
    }
    return size;
}
std::size_t bound(const LedgerEntry& e) {
    return recordOverhead + textBound(e.id) + textBound(e.accountId) + textBound(e.memo);
}
std::size_t bound(const LiveConnection& c) {
    return recordOverhead + textBound(c.id) + infoBound(c.clientInfo) + textBound(c.accountId);
}
std::size_t bound(const ApiLogEntry& e) {
    return recordOverhead + textBound(e.id) + textBound(e.connectionId) + textBound(e.accountId) +
           textBound(e.clientLabel) + textBound(e.method) + textBound(e.payload);
}

template <class T>
std::size_t boundSum(const std::vector<T>& items) {
    return std::accumulate(items.begin(), items.end(), std::size_t{0},
                           [](std::size_t sum, const T& item) { return sum + bound(item); });
}

// The exact encoded size of a record, with the comma that may follow it.
template <class T>
std::size_t encodedSize(const T& value) {
    const auto text = QuorvaneCoding::encodeToString(value);
    return (text ? text->size() : 0) + 1;
}

// A list of records with their encoded sizes, cut from one end.
template <class T>
class SizedList {
public:
    explicit SizedList(std::vector<T>& items) : items_(items) {
        sizes_.reserve(items.size());
        for (const auto& item : items) {
            sizes_.push_back(encodedSize(item));
        }
    }
    [[nodiscard]] std::size_t total() const {
        return std::accumulate(sizes_.begin(), sizes_.end(), std::size_t{0});
    }
    [[nodiscard]] std::vector<T>& items() { return items_; }
    // Encodes item i again after a change; answers how many bytes it saved.
    std::size_t remeasure(std::size_t i) {
        const std::size_t before = sizes_[i];
        sizes_[i] = encodedSize(items_[i]);
        return before - std::min(before, sizes_[i]);
    }
    // Drops items from the front (oldest first) or the back while `over`
    // holds; answers how many went, and lowers `total` by their sizes.
    template <class Over>
    std::int64_t dropFront(std::size_t& total, Over&& over) {
        std::size_t count = 0;
        while (count < items_.size() && over()) {
            total -= sizes_[count++];
        }
        items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(count));
        sizes_.erase(sizes_.begin(), sizes_.begin() + static_cast<std::ptrdiff_t>(count));
        return static_cast<std::int64_t>(count);
    }
    template <class Over>
    std::int64_t dropBack(std::size_t& total, Over&& over) {
        std::int64_t count = 0;
        while (!items_.empty() && over()) {
            total -= sizes_.back();
            sizes_.pop_back();
            items_.pop_back();
            ++count;
        }
        return count;
    }

private:
    std::vector<T>& items_;
    std::vector<std::size_t> sizes_;
};

// Shortens `text` to snapshotTextBytes with the cut marker; whether it did.
bool shorten(std::string& text) {
    if (text.size() <= Limits::snapshotTextBytes) {
        return false;
    }
    text = ApiLog::cutText(text, Limits::snapshotTextBytes, Limits::snapshotTextBytes);
    return true;
}

bool dropClientInfoView(Account& account) {
    const bool had = account.clientInfo || account.clientInfoFields;
    account.clientInfo.reset();
    account.clientInfoFields.reset();
    return had;
}

} // namespace

SnapshotBuilder::SnapshotBuilder(LedgerStore& store, ConnectionRegistry& registry, const ApiLog& apiLog,
                                 std::size_t budgetBytes)
    : store_(store), registry_(registry), apiLog_(apiLog), budgetBytes_(budgetBytes) {
}

void SnapshotBuilder::fitToBudget(Snapshot& snapshot, std::size_t budgetBytes) {
    // The settings, the version, the keys and room for the omissions record.
    Snapshot frame;
    frame.settings = snapshot.settings;
    frame.hostVersion = snapshot.hostVersion;
    frame.omitted = SnapshotOmissions{};
    const std::size_t fixed = encodedSize(frame) + 256;

    if (fixed + textBound(snapshot.hostVersion) + boundSum(snapshot.accounts) + boundSum(snapshot.entries) +
            boundSum(snapshot.connections) + boundSum(snapshot.recentApiLog) <=
        budgetBytes) {
        return; // the common case: no record needs measuring
    }

    SizedList log(snapshot.recentApiLog);
    SizedList entries(snapshot.entries);
    SizedList accounts(snapshot.accounts);
    SizedList connections(snapshot.connections);
    std::size_t total = fixed + log.total() + entries.total() + accounts.total() + connections.total();
    const auto over = [&] { return total > budgetBytes; };
    SnapshotOmissions omitted;

    omitted.apiLogEntries = log.dropFront(total, over);

    if (over()) {
        for (std::size_t i = 0; i < entries.items().size(); ++i) {
            if (shorten(entries.items()[i].memo)) {
                total -= entries.remeasure(i);
                ++omitted.shortenedTexts;
            }
        }
        for (std::size_t i = 0; i < accounts.items().size(); ++i) {
            Account& account = accounts.items()[i];
            bool changed = shorten(account.displayName);
            omitted.shortenedTexts += changed ? 1 : 0;
            std::size_t view = 0;
            if (account.clientInfo) {
                view += encodedSize(*account.clientInfo);
            }
            for (const auto& field : account.clientInfoFields.value_or(std::vector<ClientInfoField>{})) {
                view += encodedSize(field);
            }
            // Twice the stored bound: the record and the key/value view of one text.
            if (view > 2 * Limits::maxClientInfoJSONBytes && dropClientInfoView(account)) {
                changed = true;
                ++omitted.shortenedTexts;
            }
            if (changed) {
                total -= accounts.remeasure(i);
            }
        }
    }

    omitted.entries = entries.dropBack(total, over); // newest first: the oldest are at the back

    for (std::size_t i = accounts.items().size(); i-- > 0 && over();) {
        if (dropClientInfoView(accounts.items()[i])) {
            total -= accounts.remeasure(i);
            ++omitted.shortenedTexts;
        }
    }
    omitted.accounts = accounts.dropBack(total, over); // oldest first: the newest are at the back
    omitted.connections = connections.dropBack(total, over);

    if (omitted != SnapshotOmissions{}) {
        snapshot.omitted = omitted;
    }
}

Snapshot SnapshotBuilder::build() {
    Snapshot snapshot;
    const std::vector<StoredAccount> stored = store_.allAccounts();
    snapshot.connections = registry_.agentConnections();
    std::set<std::string, std::less<>> connectedAccounts;
    for (const auto& connection : snapshot.connections) {
        if (connection.accountId) {
            connectedAccounts.insert(*connection.accountId);
        }
    }

    snapshot.accounts.reserve(stored.size());
    for (const auto& row : stored) {
        Account account;
        account.id = row.id;
        account.displayName = row.displayName;
        account.identityMode = row.identityMode;
        if (row.clientInfoJSON) {
            account.clientInfo = QuorvaneCoding::decode<ClientInfo>(*row.clientInfoJSON);
        }
        account.clientInfoFields = clientInfoFields(row.clientInfoJSON);
        account.balance = store_.balance(row.id);
        account.createdAt = row.createdAt;
        account.isConnected = connectedAccounts.contains(row.id);
        makeValid(account.id);
        makeValid(account.displayName);
        snapshot.accounts.push_back(std::move(account));
    }

    snapshot.entries = store_.allEntries(entryLimit);
    for (auto& entry : snapshot.entries) {
        makeValid(entry.id);
        makeValid(entry.accountId);
        makeValid(entry.memo);
    }
    snapshot.settings = Settings{store_.allowUnauthenticated(), store_.startingPoints()};
    snapshot.recentApiLog = apiLog_.entries();
    snapshot.hostVersion = std::string(QuorvaneVersion::displayString);
    fitToBudget(snapshot, budgetBytes_);
    return snapshot;
}

std::optional<std::vector<ClientInfoField>>
SnapshotBuilder::clientInfoFields(const std::optional<std::string>& json) {
    if (!json) {
        return std::nullopt;
    }
    const std::optional<Json> tree = parseJson(*json);
    if (!tree || !tree->is_object() || tree->empty()) {
        return std::nullopt;
    }
    std::vector<ClientInfoField> fields;
    fields.reserve(tree->size());
    for (const auto& [key, value] : tree->items()) {
        fields.push_back(ClientInfoField{key, clientInfoValueText(value)});
    }
    std::stable_sort(fields.begin(), fields.end(), [](const ClientInfoField& a, const ClientInfoField& b) {
        const int rankA = clientInfoKeyRank(a.key);
        const int rankB = clientInfoKeyRank(b.key);
        return rankA != rankB ? rankA < rankB : a.key < b.key;
    });
    return fields;
}

} // namespace quorvane
