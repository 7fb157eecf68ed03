#pragma once

// The host's engine: agent MCP traffic, agent identity, the registry of live
// connections with their pushes, the API log, and the operator's control
// requests. One instance per host process.
//
// Threading: every public operation may be called from any thread, concurrently
// across connections. The registry, the API log and the identity part each
// guard their own state; no encoding and no push happens under any lock.
// Pushes go out after the change they announce.

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
#include "host/core/AgentIdentity.h"
#include "host/core/ApiLog.h"
#include "host/core/ConnectionRegistry.h"
#include "host/core/LedgerStore.h"

namespace quorvane {

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

    // ---- Pushes and API log ----
    void notifyNewItem(const std::string& accountId, const LedgerEntry& entry);
    void pushToolsListChangedToAgents();
    // One request or response entry for an agent connection, with the
    // connection's identity at this moment.
    void logAgentLine(ApiLogEntry::Direction direction, const std::string& text,
                      const std::string& connectionId, const std::optional<std::string>& method);
    void broadcastConnectionsChanged();
    void broadcastDataChanged();

    // ---- Control ----
    ControlResponse handleControl(const ControlRequest& request);

    // Entry times towards agents: internet date-time, UTC, whole seconds.
    static std::string iso(Date date) { return formatIsoDate(date); }

    LedgerStore store_;
    ConnectionRegistry registry_;
    ApiLog apiLog_;
    AgentIdentity identity_;
};

} // namespace quorvane
