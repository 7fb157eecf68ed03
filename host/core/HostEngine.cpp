#include "host/core/HostEngine.h"

namespace quorvane {

HostEngine::HostEngine(const std::string& databasePath)
    : store_(databasePath),
      apiLog_([this](const ApiLogEntry& entry) { registry_.broadcast(ControlEvent::apiCall(entry)); }),
      identity_(store_, registry_), snapshots_(store_, registry_, apiLog_),
      dispatch_(store_, registry_, apiLog_, identity_),
      control_(store_, registry_, identity_, dispatch_, snapshots_, databasePath) {
    // Every balance read before the first agent asks, without making it wait.
    store_.buildTotalsInBackground();
}

HostEngine::~HostEngine() = default;

void HostEngine::connectionOpened(const std::string& id, ClientProxyProvider provider) {
    registry_.opened(id, std::move(provider));
}

void HostEngine::connectionClosed(const std::string& id) {
    registry_.closed(id);
}

std::optional<std::string> HostEngine::handleAgentMessage(const std::string& message,
                                                          const std::string& connectionId) {
    return dispatch_.handleMessage(message, connectionId);
}

std::string HostEngine::control(const std::string& text, const std::string& connectionId) {
    return control_.handle(text, connectionId);
}

Snapshot HostEngine::buildSnapshot() {
    return snapshots_.build();
}

std::vector<LiveConnection> HostEngine::currentAgentConnections() {
    return registry_.agentConnections();
}

std::optional<std::vector<ClientInfoField>>
HostEngine::clientInfoFields(const std::optional<std::string>& json) {
    return SnapshotBuilder::clientInfoFields(json);
}

} // namespace quorvane
