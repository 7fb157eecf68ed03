#include "host/core/AgentIdentity.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "common/Coding.h"
#include "common/Limits.h"
#include "common/Utf8Text.h"
#include "common/Uuid.h"
#include "host/core/AccountCrypto.h"
#include "host/core/Mcp.h"

namespace quorvane {
namespace {

constexpr std::string_view defaultAccountName = "Agent";
const std::string startingBalanceMemo = "Starting balance";

bool withinFieldLimit(const std::optional<std::string>& field) {
    return !field || field->size() <= Limits::maxClientInfoFieldBytes;
}

// The compact text of the members of `object` that fit maxClientInfoJSONBytes
// together: name, title and version first, then the others in key order, each
// kept when it still fits. Sizes are summed member by member, so a huge object
// is written only once.
std::optional<std::string> fittingMembers(const Json& object) {
    struct Member {
        const std::string* key;
        const Json* value;
        std::size_t bytes; // "key":value
    };
    std::vector<Member> members;
    members.reserve(object.size());
    for (const auto& [key, value] : object.items()) {
        const auto keyText = serializeJsonString(key);
        const auto valueText = serializeJson(value);
        if (keyText && valueText) {
            members.push_back(Member{&key, &value, keyText->size() + 1 + valueText->size()});
        }
    }
    constexpr std::array<std::string_view, 3> first{"name", "title", "version"};
    const auto rank = [&](const Member& m) {
        return static_cast<std::size_t>(std::find(first.begin(), first.end(), *m.key) - first.begin());
    };
    std::stable_sort(members.begin(), members.end(),
                     [&](const Member& a, const Member& b) { return rank(a) < rank(b); });
    Json kept = Json::object();
    std::size_t bytes = 2; // the braces
    for (const Member& m : members) {
        const std::size_t more = m.bytes + (kept.empty() ? 0 : 1);
        if (bytes + more <= Limits::maxClientInfoJSONBytes) {
            kept[*m.key] = *m.value;
            bytes += more;
        }
    }
    if (kept.empty()) {
        return std::nullopt;
    }
    return serializeJson(kept);
}

} // namespace

AgentIdentity::AgentIdentity(LedgerStore& store, ConnectionRegistry& registry,
                             std::function<Clock::time_point()> now)
    : store_(store), registry_(registry), now_(std::move(now)) {
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

AgentIdentity::AnnouncedClient AgentIdentity::announcedClient(const Json* object) {
    AnnouncedClient client;
    client.info = parseClientInfo(object);
    if (client.info && (client.info->name.size() > Limits::maxClientInfoFieldBytes ||
                        !withinFieldLimit(client.info->version) || !withinFieldLimit(client.info->title))) {
        // Nothing of a client that describes itself beyond the bounds is kept.
        client.info.reset();
        return client;
    }
    if (object == nullptr || !object->is_object() || object->empty()) {
        return client;
    }
    // Object members are kept in key order, so the text has its keys sorted.
    client.json = serializeJson(*object);
    if (client.json && client.json->size() > Limits::maxClientInfoJSONBytes) {
        client.json = fittingMembers(*object);
    }
    return client;
}

Json AgentIdentity::signUp(const Json& arguments, const std::string& connectionId) {
    const std::string* key = jsonStringMember(arguments, "key");
    if (key == nullptr) {
        return MCP::toolError("signUp requires a 'key' string.");
    }
    if (key->size() > Limits::maxSignUpKeyBytes) {
        return MCP::toolError("Key must be at most " + std::to_string(Limits::maxSignUpKeyBytes) + " bytes.");
    }
    // Characters as the user sees them: extended grapheme clusters.
    if (Utf8Text::graphemeCount(*key) < minimumKeyCharacters) {
        return MCP::toolError("Key must be at least 40 characters.");
    }
    if (!admitSignUp(connectionId)) {
        return MCP::toolError("Too many sign-ups in this session. Try again later.");
    }
    const std::string salt = AccountCrypto::newSalt();
    const std::string hash = AccountCrypto::hashKey(*key, salt);

    const std::optional<ClientInfo> info = registry_.clientInfo(connectionId);
    const std::string displayName = info ? info->displayLabel() : std::string(defaultAccountName);
    const std::optional<std::string> infoJSON = registry_.clientInfoJSON(connectionId);

    const std::string id = newUuidString();
    if (!store_.createCredentialAccount(id, displayName, hash, salt, infoJSON, startingBalanceMemo)) {
        // Binding to an account that does not exist would lock the agent out later.
        return MCP::toolError("Could not create account.");
    }
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
    if (!store_.createClientInfoAccount(accountId, label, fingerprint, infoJSON, startingBalanceMemo)) {
        return std::nullopt;
    }
    return accountId;
}

bool AgentIdentity::admitSignUp(const std::string& connectionId) {
    const Clock::time_point now = now_();
    const Clock::time_point windowStart = now - Limits::signUpWindow;
    MutexLock guard(signUpMutex_);
    if (signUps_.size() >= sweepAtSize_) {
        std::erase_if(signUps_, [&](const auto& item) { return item.second.back() <= windowStart; });
        sweepAtSize_ = std::max<std::size_t>(64, signUps_.size() * 2);
    }
    std::deque<Clock::time_point>& times = signUps_[connectionId];
    while (!times.empty() && times.front() <= windowStart) {
        times.pop_front();
    }
    if (times.size() >= Limits::signUpsPerWindow) {
        return false;
    }
    times.push_back(now);
    return true;
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
