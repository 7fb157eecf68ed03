#pragma once

// The host's engine: agent MCP traffic, agent identity, the registry of live
// connections with their pushes, the API log, and the operator's control
// requests. One instance per host process.
//
// The engine is a façade: it opens the ledger and wires its parts, each of
// which owns its state and its lock. Each part uses only parts listed before it:
//
//   ConnectionRegistry  live connections and the pushes to them
//   ApiLog              the newest agent lines (announced through the registry)
//   AgentIdentity       sign-up, login, client-info binding; registry
//   SnapshotBuilder     the operator's snapshot; registry, API log
//   AgentDispatch       agent JSON-RPC lines; registry, API log, identity
//   ControlHandler      operator requests; registry, identity, dispatch, snapshots
//
// Every part but the registry and the API log also uses the ledger store.
//
// Threading: every public operation may be called from any thread, concurrently
// across connections. A part holds its lock only around its own state (or, in
// AgentIdentity, its look-up-then-create), never while it encodes, pushes or
// calls back into another part; pushes go out after the change they announce.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/ControlProtocol.h"
#include "common/Records.h"
#include "host/core/AgentDispatch.h"
#include "host/core/AgentIdentity.h"
#include "host/core/ApiLog.h"
#include "host/core/ConnectionRegistry.h"
#include "host/core/ControlHandler.h"
#include "host/core/LedgerStore.h"
#include "host/core/SnapshotBuilder.h"

namespace quorvane {

class HostEngine {
public:
    static constexpr std::size_t apiLogCapacity = ApiLog::capacity;
    // Bounds of one logged payload or method: grapheme clusters, and bytes.
    static constexpr std::size_t apiLogMaxCharacters = ApiLog::maxCharacters;
    static constexpr std::size_t apiLogMaxBytes = ApiLog::maxBytes;
    // Entries carried by a snapshot, newest first.
    static constexpr std::int64_t snapshotEntryLimit = SnapshotBuilder::entryLimit;

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
    // In construction order: each part refers only to those above it.
    LedgerStore store_;
    ConnectionRegistry registry_;
    ApiLog apiLog_;
    AgentIdentity identity_;
    SnapshotBuilder snapshots_;
    AgentDispatch dispatch_;
    ControlHandler control_;
};

} // namespace quorvane
