#pragma once

// The registry of live connections: each connection's role, client info,
// account binding and MCP log level, and the pushes towards them (MCP
// notifications to agents, control events to operator apps).
//
// Ownership: the engine owns one instance; it keeps each connection's proxy
// provider until the connection is closed or opened again under its id.
//
// Threading: every operation may be called from any thread. `mutex_` guards the
// connections and is held only for the map or field operation at hand; no
// encoding, no provider call and no push happens under it, so a peer may call
// back into the registry (for example close its connection) while it is being
// pushed to.
//
// Back-pressure: a push hands the line to the peer's proxy and returns; the
// transport queues it, bounds each connection's queue and closes a connection
// whose queue overflows. A provider that yields nullptr (the peer is gone) is
// skipped, so one slow or vanished peer never holds up the others.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/ControlProtocol.h"
#include "common/Records.h"
#include "common/ThreadSafety.h"

namespace quorvane {

enum class ConnectionRole { unknown, agent, control };

// MCP log levels in ascending severity.
enum class McpLogLevel { debug, info, notice, warning, error, critical, alert, emergency };

// The level with this MCP name ("debug" … "emergency"), or nullopt.
[[nodiscard]] std::optional<McpLogLevel> mcpLogLevel(std::string_view name);

// Yields the peer's client-side interface while the peer is reachable and
// nullptr once it is gone. Called without any registry lock held, from any thread.
using ClientProxyProvider = std::function<std::shared_ptr<QuorvaneClientProtocol>()>;

class ConnectionRegistry {
public:
    // What the API log records about a connection.
    struct Identity {
        std::optional<std::string> accountId;
        std::optional<std::string> label; // the client's display label
    };

    ConnectionRegistry() = default;
    ConnectionRegistry(const ConnectionRegistry&) = delete;
    ConnectionRegistry& operator=(const ConnectionRegistry&) = delete;

    // ---- Lifecycle ----

    // Registers a connection with role unknown, replacing any entry with the
    // same id. Sends nothing.
    void opened(const std::string& id, ClientProxyProvider provider) QUORVANE_EXCLUDES(mutex_);
    // Removes the connection; an agent connection's removal sends one
    // connectionsChanged event. Unknown ids are ignored.
    void closed(const std::string& id) QUORVANE_EXCLUDES(mutex_);

    // ---- Per-connection state (unknown ids: setters do nothing, getters answer nothing) ----

    [[nodiscard]] std::optional<ConnectionRole> role(const std::string& id) QUORVANE_EXCLUDES(mutex_);
    // The connection is now an operator app's.
    void markControl(const std::string& id) QUORVANE_EXCLUDES(mutex_);
    // The connection is now an agent's; the client info and its JSON text are
    // replaced only when given.
    void setClientInfo(const std::string& id, const std::optional<ClientInfo>& info,
                       const std::optional<std::string>& infoJSON) QUORVANE_EXCLUDES(mutex_);
    [[nodiscard]] std::optional<ClientInfo> clientInfo(const std::string& id) QUORVANE_EXCLUDES(mutex_);
    [[nodiscard]] std::optional<std::string> clientInfoJSON(const std::string& id) QUORVANE_EXCLUDES(mutex_);
    // Binds the connection, now an agent's, to `accountId`.
    void bind(const std::string& id, const std::string& accountId) QUORVANE_EXCLUDES(mutex_);
    // Drops the connection's binding; its role stays.
    void unbind(const std::string& id) QUORVANE_EXCLUDES(mutex_);
    // The account of a bound connection, or nullopt.
    [[nodiscard]] std::optional<std::string> boundAccount(const std::string& id) QUORVANE_EXCLUDES(mutex_);
    void setLogLevel(const std::string& id, McpLogLevel level) QUORVANE_EXCLUDES(mutex_);
    // Empty for an unknown id.
    [[nodiscard]] Identity identity(const std::string& id) QUORVANE_EXCLUDES(mutex_);

    // ---- Agent connections ----

    // Oldest first (ties keep id order).
    [[nodiscard]] std::vector<LiveConnection> agentConnections() QUORVANE_EXCLUDES(mutex_);
    // Ids and client info, in id order.
    [[nodiscard]] std::vector<std::pair<std::string, std::optional<ClientInfo>>> agentClientInfos()
        QUORVANE_EXCLUDES(mutex_);

    // ---- Pushes (after the change they announce) ----

    // To every agent connection bound to `accountId` whose log level admits a
    // notification at `level`.
    void notifyAccount(const std::string& accountId, const std::string& line, McpLogLevel level)
        QUORVANE_EXCLUDES(mutex_);
    // To every agent connection, bound or not.
    void notifyAllAgents(const std::string& line) QUORVANE_EXCLUDES(mutex_);
    // The encoded event to every operator app connection; nothing is encoded
    // when there is none, and an event that cannot be encoded is dropped.
    void broadcast(const ControlEvent& event) QUORVANE_EXCLUDES(mutex_);

private:
    struct Connection {
        ConnectionRole role = ConnectionRole::unknown;
        std::optional<ClientInfo> clientInfo;
        std::optional<std::string> clientInfoJSON; // sorted-key text of the agent's clientInfo object
        std::optional<std::string> accountId;      // set together with `authenticated`
        bool authenticated = false;
        Date connectedAt;
        ClientProxyProvider provider;
        std::optional<McpLogLevel> logLevel; // from logging/setLevel; unset means every level
    };

    // The providers of the connections `admit` accepts, copied under the lock.
    [[nodiscard]] std::vector<ClientProxyProvider>
    providersWhere(const std::function<bool(const Connection&)>& admit) QUORVANE_EXCLUDES(mutex_);
    [[nodiscard]] Connection* find(const std::string& id) QUORVANE_REQUIRES(mutex_);

    Mutex mutex_;
    std::map<std::string, Connection> connections_ QUORVANE_GUARDED_BY(mutex_);
};

} // namespace quorvane
