#include "host/core/SnapshotBuilder.h"

#include <algorithm>
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

} // namespace

SnapshotBuilder::SnapshotBuilder(LedgerStore& store, ConnectionRegistry& registry, const ApiLog& apiLog)
    : store_(store), registry_(registry), apiLog_(apiLog) {
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
