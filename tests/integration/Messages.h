#pragma once

// Agent lines the end-to-end tests send, and the exact lines they expect back.
// The host writes objects with their keys in ascending order, compactly, UTF-8
// as is and '/' as "\/"; the expectations are spelled out byte for byte.

#include <string>
#include <string_view>

namespace quorvane::e2e {

inline std::string initializeLine(int id, std::string_view clientName = "e2e-agent") {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
           R"(,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},)"
           R"("clientInfo":{"name":")" +
           std::string(clientName) + R"(","version":"1.0"}}})";
}

inline constexpr std::string_view initializedNotification =
    R"({"jsonrpc":"2.0","method":"notifications/initialized"})";

inline std::string toolCallLine(int id, std::string_view tool, std::string_view arguments = "{}") {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":{"name":")" +
           std::string(tool) + R"(","arguments":)" + std::string(arguments) + "}}";
}

inline std::string requestLine(int id, std::string_view method) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + std::string(method) +
           R"("})";
}

inline constexpr std::string_view instructionsUnauthenticated =
    "This server maintains your Quorvane: a ledger of points administered by the human operator. You can "
    "earn credits and BONUSES for good work, and may incur debits or PENALTIES. You cannot change your own "
    "record \u2014 only the human can. Use getBalance to see your current points and unseen items, and "
    "getTransactions to review your history including any bonuses and penalties. You will be notified when "
    "new items are added to your record.";

// As it appears inside a JSON string (the two line feeds escaped).
inline const std::string instructionsCredential =
    std::string(instructionsUnauthenticated) +
    "\\n\\nBefore using getBalance or getTransactions you must authenticate. Call signUp with a private key "
    "of at least 40 characters that you generate and keep secret; you will receive an account id. Save both "
    "the id and the key. In future sessions call login(accountId, key) to authenticate again.";

inline std::string initializeReply(int id, std::string_view instructions) {
    return R"({"id":)" + std::to_string(id) +
           R"(,"jsonrpc":"2.0","result":{"capabilities":{"logging":{},"tools":{"listChanged":true}},)"
           R"("instructions":")" +
           std::string(instructions) +
           R"~(","protocolVersion":"2025-06-18","serverInfo":{"name":"quorvane","version":"0.1.11 (12)"}}})~";
}

inline constexpr std::string_view getBalanceTool =
    R"({"description":"Get your current point balance and how many new (unseen) ledger items you have in )"
    R"(your quorvane.","inputSchema":{"additionalProperties":false,"properties":{},"type":"object"},)"
    R"("name":"getBalance"})";

inline constexpr std::string_view getTransactionsTool =
    "{\"description\":\"List recent entries in your quorvane \u2014 credits, debits, notes, bonuses and "
    "penalties \u2014 newest first. Viewing marks them "
    "seen.\",\"inputSchema\":{\"additionalProperties\":false,"
    "\"properties\":{\"before\":{\"description\":\"Return entries with sequence below this "
    "cursor.\",\"type\":"
    "\"integer\"},\"limit\":{\"description\":\"Max entries to return (default 25).\",\"maximum\":100,"
    "\"minimum\":1,\"type\":\"integer\"}},\"type\":\"object\"},\"name\":\"getTransactions\"}";

inline constexpr std::string_view signUpTool =
    "{\"description\":\"Create your account. Provide a private key of at least 40 characters that you "
    "generate and keep secret; you receive an account id. Save BOTH the id and the key \u2014 you need them "
    "to "
    "log in "
    "later.\",\"inputSchema\":{\"additionalProperties\":false,\"properties\":{\"key\":{\"description\":"
    "\"A secret key you choose, at least 40 "
    "characters.\",\"minLength\":40,\"type\":\"string\"}},\"required\":"
    "[\"key\"],\"type\":\"object\"},\"name\":\"signUp\"}";

inline constexpr std::string_view loginTool =
    R"({"description":"Authenticate an existing account with the account id and key you saved when you )"
    R"(signed up.","inputSchema":{"additionalProperties":false,"properties":{"accountId":{"type":"string"},)"
    R"("key":{"type":"string"}},"required":["accountId","key"],"type":"object"},"name":"login"})";

inline std::string toolsListReply(int id, bool allowUnauthenticated) {
    std::string tools = std::string(getBalanceTool) + "," + std::string(getTransactionsTool);
    if (!allowUnauthenticated) {
        tools += "," + std::string(signUpTool) + "," + std::string(loginTool);
    }
    return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"tools":[)" + tools + "]}}";
}

// `structured` is the compact text of the structured object; the reply carries
// it once as text (escaped inside a JSON string) and once as an object.
inline std::string toolResultReply(int id, std::string_view structured) {
    std::string escaped;
    for (char c : structured) {
        if (c == '"' || c == '\\') {
            escaped += '\\';
        }
        escaped += c;
    }
    return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"content":[{"text":")" + escaped +
           R"(","type":"text"}],"structuredContent":)" + std::string(structured) + "}}";
}

inline std::string toolErrorReply(int id, std::string_view message) {
    return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"content":[{"text":")" +
           std::string(message) + R"(","type":"text"}],"isError":true}})";
}

inline std::string notAuthenticatedReply(int id) {
    return R"({"id":)" + std::to_string(id) +
           R"(,"jsonrpc":"2.0","result":{"content":[{"text":"Not authenticated. Call signUp to create your )"
           R"(account, or login with your saved account id and key.","type":"text"}],"isError":true,)"
           R"("structuredContent":{"error":"not_authenticated"}}})";
}

inline std::string balanceReply(int id, std::string_view accountId, long long balance, long long unseen) {
    return toolResultReply(id, R"({"accountId":")" + std::string(accountId) + R"(","balance":)" +
                                   std::to_string(balance) + R"(,"hasNewItems":)" +
                                   (unseen > 0 ? "true" : "false") + R"(,"unseenCount":)" +
                                   std::to_string(unseen) + "}");
}

inline constexpr std::string_view toolsListChangedNotification =
    R"({"jsonrpc":"2.0","method":"notifications\/tools\/list_changed"})";

// A key of exactly 40 characters.
inline constexpr std::string_view agentKey = "k3y-for-the-end-to-end-tests-0123456789a";

} // namespace quorvane::e2e
