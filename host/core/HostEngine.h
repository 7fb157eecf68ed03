#pragma once

// The host's engine: agent MCP traffic, agent identity, the registry of live
// connections with their pushes, the API log, and the operator's control
// requests. One instance per host process.
//
// Threading: every public operation may be called from any thread, concurrently
// across connections. `lock_` guards the registry and the API log and is held
// only for the map or field operation at hand; `identityLock_` serialises the
// look-up-then-create of client-info accounts. The two are never held together,
// and no encoding and no push happens under either; `lock_` is never held while
// the store is called. Pushes go out after the change they announce.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/ControlProtocol.h"
#include "common/Json.h"
#include "common/Records.h"
#include "host/core/ApiLog.h"
#include "host/core/LedgerStore.h"

namespace quorvane {

enum class ConnectionRole { unknown, agent, control };

// MCP log levels in ascending severity.
enum class McpLogLevel { debug, info, notice, warning, error, critical, alert, emergency };

// The level with this MCP name ("debug" … "emergency"), or nullopt.
[[nodiscard]] std::optional<McpLogLevel> mcpLogLevel(std::string_view name);

// Yields the peer's client-side interface while the peer is reachable and
// nullptr once it is gone. Called without any engine lock held, from any thread.
using ClientProxyProvider = std::function<std::shared_ptr<QuorvaneClientProtocol>()>;

// One live connection, owned by the registry. Every field is guarded by the
// engine's `lock_`.
struct ConnectionState {
    std::string id;
    ConnectionRole role = ConnectionRole::unknown;
    std::optional<ClientInfo> clientInfo;
    std::optional<std::string> clientInfoJSON; // sorted-key text of the agent's clientInfo object
    std::optional<std::string> accountId;      // set together with `authenticated`
    bool authenticated = false;
    Date connectedAt;
    ClientProxyProvider clientProxyProvider;
    std::optional<McpLogLevel> logLevel; // from logging/setLevel; unset means every level
};

class HostEngine {
public:
    static constexpr std::size_t apiLogCapacity = ApiLog::capacity;
    // Bounds of one logged payload or method: grapheme clusters, and bytes.
    static constexpr std::size_t apiLogMaxCharacters = ApiLog::maxCharacters;
    static constexpr std::size_t apiLogMaxBytes = ApiLog::maxBytes;
    // Entries carried by a snapshot, newest first.
    static constexpr std::int64_t snapshotEntryLimit = 2000;

    // Opens (or creates) the ledger at `databasePath`. Throws SQLiteError when the
    // store cannot be opened; no engine exists then.
    explicit HostEngine(const std::string& databasePath);
    ~HostEngine();

    HostEngine(const HostEngine&) = delete;
    HostEngine& operator=(const HostEngine&) = delete;

    // ---- Connection lifecycle (called by the service listener) ----

    // Registers a connection with role unknown, replacing any entry with the same
    // id. Sends nothing.
    void connectionOpened(const std::string& id, ClientProxyProvider provider);
    // Removes the connection; an agent connection's removal sends one
    // connectionsChanged event.
    void connectionClosed(const std::string& id);

    // ---- Agent traffic ----

    // One JSON-RPC line from the agent on `connectionId`. Answers the reply line,
    // or nullopt for a notification (a message without "id").
    [[nodiscard]] std::optional<std::string> handleAgentMessage(const std::string& message,
                                                                const std::string& connectionId);

    // ---- Operator traffic ----

    // One encoded ControlRequest from the operator app on `connectionId`; answers
    // the encoded ControlResponse (always a text).
    [[nodiscard]] std::string control(const std::string& text, const std::string& connectionId);

    // The whole state for the operator app.
    [[nodiscard]] Snapshot buildSnapshot();

    // Live agent connections, oldest first.
    [[nodiscard]] std::vector<LiveConnection> currentAgentConnections();

    // The key/value view of a client information JSON text: name, title, version
    // first, then the other keys in code point order. nullopt for no text, text
    // that is not a JSON object, or an empty object.
    [[nodiscard]] static std::optional<std::vector<ClientInfoField>>
    clientInfoFields(const std::optional<std::string>& json);

private:
    friend class HostEngineTestAccess;

    struct Identity {
        std::optional<std::string> accountId;
        std::optional<std::string> label;
    };

    // ---- Agent dispatch ----
    Json dispatch(const Json& request, const std::string& method, const std::optional<Json>& id,
                  const std::string& connectionId);
    Json handleInitialize(const Json& params, const std::string& connectionId);
    Json handleToolCall(const Json& params, const std::string& connectionId);
    Json handleSetLevel(const Json& params, const std::optional<Json>& id, const std::string& connectionId);
    Json balanceResult(const std::string& accountId);
    Json transactionsResult(const std::string& accountId, const Json& arguments);
    Json entryDictionary(const LedgerEntry& entry) const;
    static Json notAuthenticatedError();
    void logRequest(const std::string& message, const std::string& connectionId,
                    const std::optional<std::string>& method);
    void logResponse(const std::string& reply, const std::string& connectionId,
                     const std::optional<std::string>& method);

    // ---- Identity ----
    Json handleSignUp(const Json& arguments, const std::string& connectionId);
    Json handleLogin(const Json& arguments, const std::string& connectionId);
    static std::optional<ClientInfo> parseClientInfo(const Json* object);
    void setClientInfo(const std::string& connectionId, const std::optional<ClientInfo>& clientInfo,
                       const std::optional<std::string>& clientInfoJSON);
    // Whether the connection is now bound (false when its account could not be created).
    bool bindClientInfoIdentity(const std::string& connectionId, const ClientInfo& clientInfo);
    std::optional<ClientInfo> clientInfo(const std::string& connectionId);
    std::optional<std::string> clientInfoJSON(const std::string& connectionId);
    void setAuthenticated(const std::string& connectionId, const std::string& accountId);
    std::optional<std::string> authenticatedAccountId(const std::string& connectionId);
    void seedStartingBalance(const std::string& accountId);
    // Whether the setting was stored; when it was not, nothing else happens.
    bool applyAllowUnauthenticated(bool allow);

    // ---- Registry, pushes and API log ----
    void setLogLevel(const std::string& connectionId, McpLogLevel level);
    std::vector<std::pair<std::string, std::optional<ClientInfo>>> agentConnectionClientInfos();
    // Authenticated agent connections (of `accountId` when given) whose log level
    // admits a notification at `level`.
    std::vector<ClientProxyProvider> agentProxies(const std::optional<std::string>& accountId,
                                                  McpLogLevel level = McpLogLevel::info);
    std::vector<ClientProxyProvider> allAgentProxies();
    std::vector<ClientProxyProvider> controlProxies();
    Identity connectionIdentity(const std::string& connectionId);
    void notifyNewItem(const std::string& accountId, const LedgerEntry& entry);
    void pushToolsListChangedToAgents();
    // One request or response entry for an agent connection, with the
    // connection's identity at this moment.
    void logAgentLine(ApiLogEntry::Direction direction, const std::string& text,
                      const std::string& connectionId, const std::optional<std::string>& method);
    void broadcastControlEvent(const ControlEvent& event);
    void broadcastConnectionsChanged();
    void broadcastDataChanged();

    // ---- Control ----
    void tagControl(const std::string& connectionId);
    ControlResponse handleControl(const ControlRequest& request);

    // Entry times towards agents: internet date-time, UTC, whole seconds.
    static std::string iso(Date date) { return formatIsoDate(date); }

    LedgerStore store_;
    std::mutex lock_;
    std::mutex identityLock_;
    std::map<std::string, ConnectionState> connections_; // guarded by lock_
    ApiLog apiLog_;
};

} // namespace quorvane
