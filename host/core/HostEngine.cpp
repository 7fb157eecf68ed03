// HostEngine: construction, the connection lifecycle, pushes and the API log.

#include "host/core/HostEngine.h"

#include "common/Utf8Text.h"
#include "host/core/Mcp.h"

namespace quorvane {

HostEngine::HostEngine(const std::string& databasePath)
    : store_(databasePath),
      apiLog_([this](const ApiLogEntry& entry) { registry_.broadcast(ControlEvent::apiCall(entry)); }),
      identity_(store_, registry_) {
}

HostEngine::~HostEngine() = default;

void HostEngine::connectionOpened(const std::string& id, ClientProxyProvider provider) {
    registry_.opened(id, std::move(provider));
}

void HostEngine::connectionClosed(const std::string& id) {
    registry_.closed(id);
}

std::vector<LiveConnection> HostEngine::currentAgentConnections() {
    return registry_.agentConnections();
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
    registry_.notifyAccount(accountId, line, McpLogLevel::info);
    apiLog_.recordNotification(line, accountId);
}

void HostEngine::pushToolsListChangedToAgents() {
    registry_.notifyAllAgents(MCP::toolsListChangedNotification());
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
    ConnectionRegistry::Identity identity = registry_.identity(connectionId);
    apiLog_.recordAgentLine(direction, text, connectionId, std::move(identity.accountId),
                            std::move(identity.label), method);
}

void HostEngine::broadcastConnectionsChanged() {
    registry_.broadcast(ControlEvent::connectionsChanged());
}

void HostEngine::broadcastDataChanged() {
    registry_.broadcast(ControlEvent::dataChanged());
}

} // namespace quorvane
