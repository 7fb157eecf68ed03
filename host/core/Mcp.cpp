#include "host/core/Mcp.h"

#include <utility>

namespace quorvane::MCP {
namespace {

Json objectSchema(Json properties) {
    return Json{{"type", "object"}, {"properties", std::move(properties)}, {"additionalProperties", false}};
}

Json descriptor(std::string_view name, std::string_view description, Json inputSchema) {
    return Json{{"name", name}, {"description", description}, {"inputSchema", std::move(inputSchema)}};
}

Json textContent(std::string text) {
    return Json::array({Json{{"type", "text"}, {"text", std::move(text)}}});
}

} // namespace

std::string serializeOrFallback(const Json& message) {
    if (auto text = serializeJson(message)) {
        return std::move(*text);
    }
    return std::string(fallbackText);
}

Json success(const std::optional<Json>& id, Json result) {
    return Json{{"jsonrpc", "2.0"}, {"id", id.value_or(nullptr)}, {"result", std::move(result)}};
}

Json failure(const std::optional<Json>& id, std::int64_t code, std::string message) {
    return Json{{"jsonrpc", "2.0"},
                {"id", id.value_or(nullptr)},
                {"error", Json{{"code", code}, {"message", std::move(message)}}}};
}

Json toolResult(Json structured, bool isError) {
    Json result{{"content", textContent(serializeOrFallback(structured))},
                {"structuredContent", std::move(structured)}};
    if (isError) {
        result["isError"] = true;
    }
    return result;
}

std::optional<std::string> toolSuccessText(std::string_view idText, std::string_view structuredText) {
    // Members in key order, as the tree form writes them.
    std::string text;
    text.reserve(2 * structuredText.size() + idText.size() + 96);
    text += R"({"id":)";
    text += idText;
    text += R"(,"jsonrpc":"2.0","result":{"content":[{"text":)";
    if (!appendJsonString(text, structuredText)) {
        return std::nullopt;
    }
    text += R"(,"type":"text"}],"structuredContent":)";
    text += structuredText;
    text += "}}";
    return text;
}

Json toolError(std::string message) {
    return Json{{"content", textContent(std::move(message))}, {"isError", true}};
}

Json readBalanceTool() {
    return descriptor(
        "getBalance",
        "Get your current point balance and how many new (unseen) ledger items you have in your quorvane.",
        objectSchema(Json::object()));
}

Json readTransactionsTool() {
    Json properties{
        {"limit",
         {{"type", "integer"},
          {"minimum", 1},
          {"maximum", 100},
          {"description", "Max entries to return (default 25)."}}},
        {"before", {{"type", "integer"}, {"description", "Return entries with sequence below this cursor."}}},
    };
    return descriptor(
        "getTransactions",
        "List recent entries in your quorvane \u2014 credits, debits, notes, bonuses and penalties "
        "\u2014 newest first. Viewing marks them seen.",
        objectSchema(std::move(properties)));
}

Json signUpTool() {
    Json schema = objectSchema({{"key",
                                 {{"type", "string"},
                                  {"minLength", 40},
                                  {"description", "A secret key you choose, at least 40 characters."}}}});
    schema["required"] = Json::array({"key"});
    return descriptor(
        "signUp",
        "Create your account. Provide a private key of at least 40 characters that you generate and "
        "keep secret; you receive an account id. Save BOTH the id and the key \u2014 you need them to "
        "log in later.",
        std::move(schema));
}

Json loginTool() {
    Json schema = objectSchema({{"accountId", {{"type", "string"}}}, {"key", {{"type", "string"}}}});
    schema["required"] = Json::array({"accountId", "key"});
    return descriptor(
        "login", "Authenticate an existing account with the account id and key you saved when you signed up.",
        std::move(schema));
}

Json tools(bool allowUnauthenticated) {
    Json list = Json::array({readBalanceTool(), readTransactionsTool()});
    if (!allowUnauthenticated) {
        list.push_back(signUpTool());
        list.push_back(loginTool());
    }
    return list;
}

std::string logNotification(Json data) {
    return serializeOrFallback(
        Json{{"jsonrpc", "2.0"},
             {"method", "notifications/message"},
             {"params", {{"level", "info"}, {"logger", serverName}, {"data", std::move(data)}}}});
}

std::string toolsListChangedNotification() {
    return serializeOrFallback(Json{{"jsonrpc", "2.0"}, {"method", "notifications/tools/list_changed"}});
}

} // namespace quorvane::MCP
