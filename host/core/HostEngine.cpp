// HostEngine: construction, the connection registry, pushes and the API log.

#include "host/core/HostEngine.h"

#include <algorithm>
#include <chrono>

#include "common/Coding.h"
#include "common/Utf8Text.h"
#include "common/Uuid.h"
#include "host/core/Mcp.h"

namespace quorvane {
namespace {

void deliverEach(const std::vector<ClientProxyProvider>& providers,
                 const std::function<void(QuorvaneClientProtocol&)>& send) {
    for (const auto& provider : providers) {
        if (!provider) {
            continue;
        }
        if (auto proxy = provider()) {
            send(*proxy);
        }
    }
}

} // namespace

std::optional<McpLogLevel> mcpLogLevel(std::string_view name) {
    static constexpr std::pair<std::string_view, McpLogLevel> levels[] = {
        {"debug", McpLogLevel::debug},   {"info", McpLogLevel::info},
        {"notice", McpLogLevel::notice}, {"warning", McpLogLevel::warning},
        {"error", McpLogLevel::error},   {"critical", McpLogLevel::critical},
        {"alert", McpLogLevel::alert},   {"emergency", McpLogLevel::emergency},
    };
    for (const auto& [text, level] : levels) {
        if (text == name) {
            return level;
        }
    }
    return std::nullopt;
}

HostEngine::HostEngine(const std::string& databasePath)
    : store_(databasePath),
      apiLog_([this](const ApiLogEntry& entry) { broadcastControlEvent(ControlEvent::apiCall(entry)); }) {
}

HostEngine::~HostEngine() = default;

void HostEngine::connectionOpened(const std::string& id, ClientProxyProvider provider) {
    ConnectionState state;
    state.id = id;
    state.connectedAt = std::chrono::system_clock::now();
    state.clientProxyProvider = std::move(provider);
    std::lock_guard guard(lock_);
    connections_.insert_or_assign(id, std::move(state));
}

void HostEngine::connectionClosed(const std::string& id) {
    bool wasAgent = false;
    {
        std::lock_guard guard(lock_);
        auto it = connections_.find(id);
        if (it == connections_.end()) {
            return;
        }
        wasAgent = it->second.role == ConnectionRole::agent;
        connections_.erase(it);
    }
    if (wasAgent) {
        broadcastConnectionsChanged();
    }
}

std::vector<LiveConnection> HostEngine::currentAgentConnections() {
    std::vector<LiveConnection> list;
    {
        std::lock_guard guard(lock_);
        for (const auto& [id, state] : connections_) {
            if (state.role == ConnectionRole::agent) {
                list.push_back(LiveConnection{id, state.clientInfo, state.accountId, state.authenticated,
                                              state.connectedAt});
            }
        }
    }
    std::stable_sort(list.begin(), list.end(), [](const LiveConnection& a, const LiveConnection& b) {
        return a.connectedAt < b.connectedAt;
    });
    return list;
}

std::vector<std::pair<std::string, std::optional<ClientInfo>>> HostEngine::agentConnectionClientInfos() {
    std::vector<std::pair<std::string, std::optional<ClientInfo>>> list;
    std::lock_guard guard(lock_);
    for (const auto& [id, state] : connections_) {
        if (state.role == ConnectionRole::agent) {
            list.emplace_back(id, state.clientInfo);
        }
    }
    return list;
}

void HostEngine::setLogLevel(const std::string& connectionId, McpLogLevel level) {
    std::lock_guard guard(lock_);
    if (auto it = connections_.find(connectionId); it != connections_.end()) {
        it->second.logLevel = level;
    }
}

std::vector<ClientProxyProvider> HostEngine::agentProxies(const std::optional<std::string>& accountId,
                                                          McpLogLevel level) {
    std::vector<ClientProxyProvider> providers;
    std::lock_guard guard(lock_);
    for (const auto& [id, state] : connections_) {
        if (state.role != ConnectionRole::agent || !state.authenticated) {
            continue;
        }
        if (accountId && state.accountId != accountId) {
            continue;
        }
        if (state.logLevel && *state.logLevel > level) {
            continue;
        }
        providers.push_back(state.clientProxyProvider);
    }
    return providers;
}

std::vector<ClientProxyProvider> HostEngine::allAgentProxies() {
    std::vector<ClientProxyProvider> providers;
    std::lock_guard guard(lock_);
    for (const auto& [id, state] : connections_) {
        if (state.role == ConnectionRole::agent) {
            providers.push_back(state.clientProxyProvider);
        }
    }
    return providers;
}

std::vector<ClientProxyProvider> HostEngine::controlProxies() {
    std::vector<ClientProxyProvider> providers;
    std::lock_guard guard(lock_);
    for (const auto& [id, state] : connections_) {
        if (state.role == ConnectionRole::control) {
            providers.push_back(state.clientProxyProvider);
        }
    }
    return providers;
}

HostEngine::Identity HostEngine::connectionIdentity(const std::string& connectionId) {
    std::lock_guard guard(lock_);
    auto it = connections_.find(connectionId);
    if (it == connections_.end()) {
        return {};
    }
    const ConnectionState& state = it->second;
    Identity identity{state.accountId, std::nullopt};
    if (state.clientInfo) {
        identity.label = state.clientInfo->displayLabel();
    }
    return identity;
}

void HostEngine::notifyNewItem(const std::string& accountId, const LedgerEntry& entry) {
    Json data{
        {"event", "new_item"},
        {"kind", rawValue(entry.kind)},
        {"flag", rawValue(entry.flag)},
        {"amount", entry.amount},
        {"signedAmount", entry.signedAmount()},
        {"memo", Utf8Text::sanitize(entry.memo)},
    };
    data["balance"] = store_.balance(accountId);
    data["unseenCount"] = store_.unseenCount(accountId);
    const std::string line = MCP::logNotification(std::move(data));
    deliverEach(agentProxies(accountId, McpLogLevel::info),
                [&](QuorvaneClientProtocol& peer) { peer.deliverAgentNotification(line); });
    apiLog_.recordNotification(line, accountId);
}

void HostEngine::pushToolsListChangedToAgents() {
    const std::string line = MCP::toolsListChangedNotification();
    deliverEach(allAgentProxies(),
                [&](QuorvaneClientProtocol& peer) { peer.deliverAgentNotification(line); });
}

void HostEngine::logRequest(const std::string& message, const std::string& connectionId,
                            const std::optional<std::string>& method) {
    logAgentLine(ApiLogEntry::Direction::request, message, connectionId, method);
}

void HostEngine::logResponse(const std::string& reply, const std::string& connectionId,
                             const std::optional<std::string>& method) {
    logAgentLine(ApiLogEntry::Direction::response, reply, connectionId, method);
}

void HostEngine::logAgentLine(ApiLogEntry::Direction direction, const std::string& text,
                              const std::string& connectionId, const std::optional<std::string>& method) {
    Identity identity = connectionIdentity(connectionId);
    apiLog_.recordAgentLine(direction, text, connectionId, std::move(identity.accountId),
                            std::move(identity.label), method);
}

void HostEngine::broadcastControlEvent(const ControlEvent& event) {
    auto providers = controlProxies();
    if (providers.empty()) {
        return;
    }
    auto text = QuorvaneCoding::encodeToString(event);
    if (!text) {
        return;
    }
    deliverEach(providers, [&](QuorvaneClientProtocol& peer) { peer.controlEvent(*text); });
}

void HostEngine::broadcastConnectionsChanged() {
    broadcastControlEvent(ControlEvent::connectionsChanged());
}

void HostEngine::broadcastDataChanged() {
    broadcastControlEvent(ControlEvent::dataChanged());
}

} // namespace quorvane
