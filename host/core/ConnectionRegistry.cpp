#include "host/core/ConnectionRegistry.h"

#include <algorithm>
#include <chrono>

#include "common/Coding.h"

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

ConnectionRegistry::Connection* ConnectionRegistry::find(const std::string& id) {
    auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : &it->second;
}

void ConnectionRegistry::opened(const std::string& id, ClientProxyProvider provider) {
    Connection connection;
    connection.connectedAt = std::chrono::system_clock::now();
    connection.provider = std::move(provider);
    MutexLock guard(mutex_);
    connections_.insert_or_assign(id, std::move(connection));
}

void ConnectionRegistry::closed(const std::string& id) {
    bool wasAgent = false;
    {
        MutexLock guard(mutex_);
        auto it = connections_.find(id);
        if (it == connections_.end()) {
            return;
        }
        wasAgent = it->second.role == ConnectionRole::agent;
        connections_.erase(it);
    }
    if (wasAgent) {
        broadcast(ControlEvent::connectionsChanged());
    }
}

std::optional<ConnectionRole> ConnectionRegistry::role(const std::string& id) {
    MutexLock guard(mutex_);
    const Connection* connection = find(id);
    return connection != nullptr ? std::optional(connection->role) : std::nullopt;
}

void ConnectionRegistry::markControl(const std::string& id) {
    MutexLock guard(mutex_);
    if (Connection* connection = find(id)) {
        connection->role = ConnectionRole::control;
    }
}

void ConnectionRegistry::setClientInfo(const std::string& id, const std::optional<ClientInfo>& info,
                                       const std::optional<std::string>& infoJSON) {
    MutexLock guard(mutex_);
    Connection* connection = find(id);
    if (connection == nullptr) {
        return;
    }
    connection->role = ConnectionRole::agent;
    if (info) {
        connection->clientInfo = info;
    }
    if (infoJSON) {
        connection->clientInfoJSON = infoJSON;
    }
}

std::optional<ClientInfo> ConnectionRegistry::clientInfo(const std::string& id) {
    MutexLock guard(mutex_);
    const Connection* connection = find(id);
    return connection != nullptr ? connection->clientInfo : std::nullopt;
}

std::optional<std::string> ConnectionRegistry::clientInfoJSON(const std::string& id) {
    MutexLock guard(mutex_);
    const Connection* connection = find(id);
    return connection != nullptr ? connection->clientInfoJSON : std::nullopt;
}

void ConnectionRegistry::bind(const std::string& id, const std::string& accountId) {
    MutexLock guard(mutex_);
    if (Connection* connection = find(id)) {
        connection->role = ConnectionRole::agent;
        connection->accountId = accountId;
        connection->authenticated = true;
    }
}

void ConnectionRegistry::unbind(const std::string& id) {
    MutexLock guard(mutex_);
    if (Connection* connection = find(id)) {
        connection->accountId.reset();
        connection->authenticated = false;
    }
}

std::optional<std::string> ConnectionRegistry::boundAccount(const std::string& id) {
    MutexLock guard(mutex_);
    const Connection* connection = find(id);
    if (connection == nullptr || !connection->authenticated) {
        return std::nullopt;
    }
    return connection->accountId;
}

void ConnectionRegistry::setLogLevel(const std::string& id, McpLogLevel level) {
    MutexLock guard(mutex_);
    if (Connection* connection = find(id)) {
        connection->logLevel = level;
    }
}

ConnectionRegistry::Identity ConnectionRegistry::identity(const std::string& id) {
    MutexLock guard(mutex_);
    const Connection* connection = find(id);
    if (connection == nullptr) {
        return {};
    }
    Identity identity{connection->accountId, std::nullopt};
    if (connection->clientInfo) {
        identity.label = connection->clientInfo->displayLabel();
    }
    return identity;
}

std::vector<LiveConnection> ConnectionRegistry::agentConnections() {
    std::vector<LiveConnection> list;
    {
        MutexLock guard(mutex_);
        for (const auto& [id, connection] : connections_) {
            if (connection.role == ConnectionRole::agent) {
                list.push_back(LiveConnection{id, connection.clientInfo, connection.accountId,
                                              connection.authenticated, connection.connectedAt});
            }
        }
    }
    std::stable_sort(list.begin(), list.end(), [](const LiveConnection& a, const LiveConnection& b) {
        return a.connectedAt < b.connectedAt;
    });
    return list;
}

std::vector<std::pair<std::string, std::optional<ClientInfo>>> ConnectionRegistry::agentClientInfos() {
    std::vector<std::pair<std::string, std::optional<ClientInfo>>> list;
    MutexLock guard(mutex_);
    for (const auto& [id, connection] : connections_) {
        if (connection.role == ConnectionRole::agent) {
            list.emplace_back(id, connection.clientInfo);
        }
    }
    return list;
}

std::vector<ClientProxyProvider>
ConnectionRegistry::providersWhere(const std::function<bool(const Connection&)>& admit) {
    std::vector<ClientProxyProvider> providers;
    MutexLock guard(mutex_);
    for (const auto& [id, connection] : connections_) {
        if (admit(connection)) {
            providers.push_back(connection.provider);
        }
    }
    return providers;
}

void ConnectionRegistry::notifyAccount(const std::string& accountId, const std::string& line,
                                       McpLogLevel level) {
    const auto providers = providersWhere([&](const Connection& connection) {
        return connection.role == ConnectionRole::agent && connection.authenticated &&
               connection.accountId == accountId && !(connection.logLevel && *connection.logLevel > level);
    });
    deliverEach(providers, [&](QuorvaneClientProtocol& peer) { peer.deliverAgentNotification(line); });
}

void ConnectionRegistry::notifyAllAgents(const std::string& line) {
    const auto providers =
        providersWhere([](const Connection& connection) { return connection.role == ConnectionRole::agent; });
    deliverEach(providers, [&](QuorvaneClientProtocol& peer) { peer.deliverAgentNotification(line); });
}

void ConnectionRegistry::broadcast(const ControlEvent& event) {
    const auto providers = providersWhere(
        [](const Connection& connection) { return connection.role == ConnectionRole::control; });
    if (providers.empty()) {
        return;
    }
    auto text = QuorvaneCoding::encodeToString(event);
    if (!text) {
        return;
    }
    deliverEach(providers, [&](QuorvaneClientProtocol& peer) { peer.controlEvent(*text); });
}

} // namespace quorvane
