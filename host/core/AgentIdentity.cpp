#include "host/core/AgentIdentity.h"

#include "common/Coding.h"
#include "common/Utf8Text.h"
#include "common/Uuid.h"
#include "host/core/AccountCrypto.h"
#include "host/core/Mcp.h"

namespace quorvane {
namespace {

constexpr std::string_view defaultAccountName = "Agent";
constexpr std::string_view startingBalanceMemo = "Starting balance";

} // namespace

AgentIdentity::AgentIdentity(LedgerStore& store, ConnectionRegistry& registry)
    : store_(store), registry_(registry) {
}

std::optional<ClientInfo> AgentIdentity::parseClientInfo(const Json* object) {
    if (object == nullptr || !object->is_object() || object->empty()) {
        return std::nullopt;
    }
    const std::string* name = jsonStringMember(*object, "name");
    if (name == nullptr) {
        return std::nullopt;
    }
    ClientInfo info{*name, std::nullopt, std::nullopt};
    if (const std::string* version = jsonStringMember(*object, "version")) {
        info.version = *version;
    }
    if (const std::string* title = jsonStringMember(*object, "title")) {
        info.title = *title;
    }
    return info;
}

Json AgentIdentity::signUp(const Json& arguments, const std::string& connectionId) {
    const std::string* key = jsonStringMember(arguments, "key");
    if (key == nullptr) {
        return MCP::toolError("signUp requires a 'key' string.");
    }
    // Characters as the user sees them: extended grapheme clusters.
    if (Utf8Text::graphemeCount(*key) < minimumKeyCharacters) {
        return MCP::toolError("Key must be at least 40 characters.");
    }
    const std::string salt = AccountCrypto::newSalt();
    const std::string hash = AccountCrypto::hashKey(*key, salt);

    const std::optional<ClientInfo> info = registry_.clientInfo(connectionId);
    const std::string displayName = info ? info->displayLabel() : std::string(defaultAccountName);
    const std::optional<std::string> infoJSON = registry_.clientInfoJSON(connectionId);

    const std::string id = newUuidString();
    if (!store_.createCredentialAccount(id, displayName, hash, salt, infoJSON)) {
        // Binding to an account that does not exist would lock the agent out later.
        return MCP::toolError("Could not create account.");
    }
    seedStartingBalance(id);
    registry_.bind(connectionId, id);
    registry_.broadcast(ControlEvent::dataChanged());
    registry_.broadcast(ControlEvent::connectionsChanged());

    return MCP::toolResult(Json{
        {"accountId", id},
        {"balance", store_.balance(id)},
        {"message", "Account created. Save your account id and your key; use login(accountId, key) in future "
                    "sessions."},
    });
}

Json AgentIdentity::login(const Json& arguments, const std::string& connectionId) {
    const std::string* accountId = jsonStringMember(arguments, "accountId");
    const std::string* key = jsonStringMember(arguments, "key");
    if (accountId == nullptr || key == nullptr) {
        return MCP::toolError("login requires 'accountId' and 'key'.");
    }
    const std::optional<StoredAccount> account = store_.account(*accountId);
    if (!account || account->identityMode != IdentityMode::credential || !account->keyHash ||
        !account->keySalt || !AccountCrypto::verify(*key, *account->keySalt, *account->keyHash)) {
        return MCP::toolError("Invalid account id or key.");
    }
    registry_.bind(connectionId, account->id);
    if (const std::optional<std::string> infoJSON = registry_.clientInfoJSON(connectionId)) {
        store_.updateAccountClientInfo(account->id, *infoJSON, std::nullopt);
    }
    registry_.broadcast(ControlEvent::connectionsChanged());

    return MCP::toolResult(Json{
        {"accountId", account->id},
        {"balance", store_.balance(account->id)},
        {"message", "Logged in."},
    });
}

bool AgentIdentity::bindClientInfo(const std::string& connectionId, const ClientInfo& info) {
    const std::string fingerprint = AccountCrypto::fingerprint(info);
    std::optional<std::string> infoJSON = registry_.clientInfoJSON(connectionId);
    if (!infoJSON) {
        infoJSON = QuorvaneCoding::encodeToString(info);
    }
    std::optional<std::string> accountId;
    {
        // Look-up-then-create as one step, so that two connections of one client
        // arriving together end up on one account.
        MutexLock guard(bindMutex_);
        accountId = accountForFingerprint(fingerprint, infoJSON, info.displayLabel());
    }
    if (!accountId) {
        return false;
    }
    registry_.bind(connectionId, *accountId);
    return true;
}

std::optional<std::string> AgentIdentity::accountForFingerprint(const std::string& fingerprint,
                                                                const std::optional<std::string>& infoJSON,
                                                                const std::string& label) {
    if (const std::optional<StoredAccount> existing = store_.accountByFingerprint(fingerprint)) {
        store_.updateAccountClientInfo(existing->id, infoJSON.value_or(""), label);
        return existing->id;
    }
    std::string accountId = newUuidString();
    if (!store_.createClientInfoAccount(accountId, label, fingerprint, infoJSON)) {
        return std::nullopt;
    }
    seedStartingBalance(accountId);
    return accountId;
}

void AgentIdentity::seedStartingBalance(const std::string& accountId) {
    const std::int64_t points = store_.startingPoints();
    if (points <= 0) {
        return;
    }
    (void)store_.insertEntry(NewLedgerEntry{accountId, TransactionKind::credit, LedgerFlag::none, points,
                                            std::string(startingBalanceMemo)});
    store_.markSeen(accountId);
}

bool AgentIdentity::setAllowUnauthenticated(bool allow) {
    if (!store_.setAllowUnauthenticated(allow)) {
        return false;
    }
    for (const auto& [connectionId, info] : registry_.agentClientInfos()) {
        if (!allow) {
            registry_.unbind(connectionId);
        } else if (info) {
            (void)bindClientInfo(connectionId, *info);
        }
    }
    registry_.notifyAllAgents(MCP::toolsListChangedNotification());
    registry_.broadcast(ControlEvent::dataChanged());
    registry_.broadcast(ControlEvent::connectionsChanged());
    return true;
}

} // namespace quorvane
