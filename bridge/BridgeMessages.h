#pragma once

// The few JSON-RPC texts the bridge reads or makes itself. All reading is
// lenient: text that is not JSON, or not of the expected shape, gives no id or
// false, never an error. Pure functions, safe on any thread.

#include <optional>
#include <string>
#include <string_view>

#include "common/Json.h"

namespace quorvane {

// The message of the error line for a request the host could not answer.
inline constexpr std::string_view hostUnavailableMessage = "Quorvane host unavailable";

// The message of the error line for a request the host refused to answer.
inline constexpr std::string_view hostRefusedMessage = "Quorvane host could not answer this request";

// errorLine's answer when the id cannot be written.
inline constexpr std::string_view errorLineFallback =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":"host unavailable"}})";

// The answer to an input line too long to forward.
inline constexpr std::string_view oversizedLineReply =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})";

// The "id" member of a request, of any JSON type.
struct RequestId {
    Json value;
    // For a number: its text exactly as the agent wrote it, so that the error
    // line echoes 1.50 or 12345678901234567890 unchanged. When set it must be
    // a JSON number's text (requestId sets it from the parser).
    std::optional<std::string> numberLexeme;

    bool operator==(const RequestId&) const = default;
};

// The id of a line that is a JSON object with the member "id" (a string, a
// number, null or anything else); nullopt for a line without one, such as a
// notification, or for text that is not a JSON object.
[[nodiscard]] std::optional<RequestId> requestId(std::string_view line);

// {"jsonrpc":"2.0","id":<id>,"error":{"code":-32000,"message":<message>}},
// compact, in the shared text form. errorLineFallback when the id or the
// message cannot be written (not valid UTF-8, not finite).
[[nodiscard]] std::string errorLine(const RequestId& id, std::string_view message);

// Whether a reply is the host's not-authenticated tool result: an object whose
// "result" is an object with "isError" true and a "structuredContent" object
// whose "error" is "not_authenticated". JSON-RPC error objects never count.
[[nodiscard]] bool isNotAuthenticated(std::string_view reply);

} // namespace quorvane
