#pragma once

// The agent-side wire format of the host: JSON-RPC envelopes, the tool
// catalogue, tool result shapes and the two notifications. Every message the
// host sends towards an agent is built here.
//
// Stateless and thread-safe. Nothing here fails: a tree that cannot be written
// as text is answered with fallbackText.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/Json.h"

namespace quorvane::MCP {

// The server name announced in serverInfo and used as the notification logger.
inline constexpr std::string_view serverName = "quorvane";

// Sent in place of any message that cannot be serialized (67 bytes, no id).
inline constexpr std::string_view fallbackText =
    R"({"jsonrpc":"2.0","error":{"code":-32603,"message":"encode failed"}})";

// JSON-RPC error codes.
inline constexpr std::int64_t parseErrorCode = -32700;
inline constexpr std::int64_t methodNotFoundCode = -32601;
inline constexpr std::int64_t invalidParamsCode = -32602;
inline constexpr std::int64_t internalErrorCode = -32603;

// {"jsonrpc":"2.0","id":id,"result":result}; an absent id is written as null.
[[nodiscard]] Json success(const std::optional<Json>& id, Json result);

// {"jsonrpc":"2.0","id":id,"error":{"code":code,"message":message}}.
[[nodiscard]] Json failure(const std::optional<Json>& id, std::int64_t code, std::string message);

// {"content":[{"type":"text","text":T}],"structuredContent":structured} where T
// is the text of `structured` (fallbackText when it cannot be written); with
// isError also "isError":true (the member is absent otherwise).
[[nodiscard]] Json toolResult(Json structured, bool isError = false);

// The text of success(id, toolResult(S)) for a structured value S given as its
// text: `idText` is the id as written (compact JSON), `structuredText` compact
// JSON in the shared form. The same bytes as serializing the tree, without
// building it. nullopt when the structured text is not valid UTF-8.
[[nodiscard]] std::optional<std::string> toolSuccessText(std::string_view idText,
                                                         std::string_view structuredText);

// {"content":[{"type":"text","text":message}],"isError":true}.
[[nodiscard]] Json toolError(std::string message);

// getBalance, getTransactions and, only when unauthenticated access is off,
// signUp and login, in that order.
[[nodiscard]] Json tools(bool allowUnauthenticated);

// The four tool descriptors {"name","description","inputSchema"}, built fresh.
[[nodiscard]] Json readBalanceTool();
[[nodiscard]] Json readTransactionsTool();
[[nodiscard]] Json signUpTool();
[[nodiscard]] Json loginTool();

// Text of a notifications/message notification at level "info" carrying `data`.
[[nodiscard]] std::string logNotification(Json data);

// Text of a notifications/tools/list_changed notification.
[[nodiscard]] std::string toolsListChangedNotification();

// The text form of a tree, or fallbackText when it cannot be written.
[[nodiscard]] std::string serializeOrFallback(const Json& message);

} // namespace quorvane::MCP
