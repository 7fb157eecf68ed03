#pragma once

// Agent MCP traffic: parses each JSON-RPC line of an agent connection, logs it,
// dispatches it (initialize, ping, tools/list, tools/call, logging/setLevel)
// and writes the reply line; and the new-item notification towards agents.
//
// Ownership: the engine owns one instance; it refers to the engine's store,
// registry, API log and identity, which outlive it.
//
// Threading: holds no state and no lock; any thread may call it, concurrently
// across connections. Log entries and events go out after the change they
// announce: a request's entry before it is dispatched, its response's after.

#include <optional>
#include <string>

#include "common/Json.h"
#include "common/Records.h"
#include "host/core/AgentIdentity.h"
#include "host/core/ApiLog.h"
#include "host/core/ConnectionRegistry.h"
#include "host/core/LedgerStore.h"

namespace quorvane {

class AgentDispatch {
public:
    AgentDispatch(LedgerStore& store, ConnectionRegistry& registry, ApiLog& apiLog, AgentIdentity& identity);

    AgentDispatch(const AgentDispatch&) = delete;
    AgentDispatch& operator=(const AgentDispatch&) = delete;

    // One JSON-RPC line from the agent on `connectionId`. Answers the reply line
    // (a JSON-RPC error for a line that is not a JSON object), or nullopt for a
    // notification (a message without "id"), which is logged but not dispatched.
    [[nodiscard]] std::optional<std::string> handleMessage(const std::string& message,
                                                           const std::string& connectionId);

    // Tells the agents bound to `accountId` that listen at level info about the
    // new entry, with the account's balance and unseen count now; logs the line
    // once, whether or not anybody received it.
    void notifyNewItem(const std::string& accountId, const LedgerEntry& entry);

private:
    [[nodiscard]] Json dispatch(const Json& params, const std::string& method, const std::optional<Json>& id,
                                const std::string& connectionId);
    [[nodiscard]] Json initialize(const Json& params, const std::string& connectionId);
    [[nodiscard]] Json toolCall(const Json& params, const std::string& connectionId);
    [[nodiscard]] Json setLevel(const Json& params, const std::optional<Json>& id,
                                const std::string& connectionId);
    // The whole reply text of a getBalance or getTransactions call on a bound
    // connection, written without a tree; nullopt for any other call, which
    // goes through dispatch().
    [[nodiscard]] std::optional<std::string> readingToolReply(const Json& params, const std::string& idText,
                                                              const std::string& connectionId);
    [[nodiscard]] std::optional<std::string> balanceText(const std::string& accountId);
    [[nodiscard]] std::optional<std::string> transactionsText(const std::string& accountId,
                                                              const Json& arguments);
    void log(ApiLogEntry::Direction direction, const std::string& text, const std::string& connectionId,
             const std::optional<std::string>& method);

    LedgerStore& store_;
    ConnectionRegistry& registry_;
    ApiLog& apiLog_;
    AgentIdentity& identity_;
};

} // namespace quorvane
