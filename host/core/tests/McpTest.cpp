#include "host/core/Mcp.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvane {
namespace {

Json parsed(std::string_view text) {
    auto tree = parseJson(text);
    EXPECT_TRUE(tree) << text;
    return tree.value_or(Json());
}

TEST(McpEnvelope, EchoesTheIdAsGivenAndNullWhenAbsent) {
    struct Case {
        const char* name;
        std::optional<Json> id;
        Json expectedId;
    };
    const Case cases[] = {
        {"absent", std::nullopt, nullptr},          {"null", Json(nullptr), nullptr},
        {"string", Json("a-1"), Json("a-1")},       {"number", Json(7), Json(7)},
        {"object", Json{{"k", 1}}, Json{{"k", 1}}},
    };
    for (const auto& c : cases) {
        Json ok = MCP::success(c.id, Json{{"x", 1}});
        EXPECT_EQ(ok, (Json{{"jsonrpc", "2.0"}, {"id", c.expectedId}, {"result", {{"x", 1}}}})) << c.name;
        Json error = MCP::failure(c.id, -32601, "Method not found: x");
        EXPECT_EQ(error, (Json{{"jsonrpc", "2.0"},
                               {"id", c.expectedId},
                               {"error", {{"code", -32601}, {"message", "Method not found: x"}}}}))
            << c.name;
    }
    EXPECT_TRUE(MCP::success(std::nullopt, Json::object())["id"].is_null());
    EXPECT_TRUE(MCP::success(Json(7), Json::object())["id"].is_number_integer());
}

TEST(McpToolResult, CarriesTheTextOfItsStructuredContent) {
    Json structured{{"accountId", "A/1"}, {"balance", 5}};
    Json result = MCP::toolResult(structured);
    EXPECT_FALSE(result.contains("isError"));
    EXPECT_EQ(result["structuredContent"], structured);
    EXPECT_EQ(result["content"],
              parsed(R"([{"type":"text","text":"{\"accountId\":\"A\\\/1\",\"balance\":5}"}])"));
    EXPECT_EQ(result["content"][0]["text"], *serializeJson(structured));
    EXPECT_EQ(result.size(), 2u);

    Json flagged = MCP::toolResult(structured, true);
    EXPECT_EQ(flagged["isError"], Json(true));
    EXPECT_EQ(flagged.size(), 3u);
}

TEST(McpToolResult, UnwritableContentFallsBackInTheTextOnly) {
    Json structured{{"memo", std::string("\xff\xfe")}};
    Json result = MCP::toolResult(structured);
    EXPECT_EQ(result["content"][0]["text"], std::string(MCP::fallbackText));
    EXPECT_EQ(result["structuredContent"], structured);
}

TEST(McpToolResult, ToolErrorHasNoStructuredContent) {
    EXPECT_EQ(MCP::toolError("Unknown tool: x"),
              parsed(R"({"content":[{"type":"text","text":"Unknown tool: x"}],"isError":true})"));
}

TEST(McpFixedTexts, FallbackAndServerName) {
    EXPECT_EQ(MCP::fallbackText, R"({"jsonrpc":"2.0","error":{"code":-32603,"message":"encode failed"}})");
    EXPECT_EQ(MCP::fallbackText.size(), 67u);
    EXPECT_EQ(MCP::serverName, "quorvane");
    EXPECT_EQ(MCP::serializeOrFallback(Json{{"x", std::string("\xc3")}}), MCP::fallbackText);
}

TEST(McpNotifications, AreSingleLinesWithoutId) {
    const std::string log = MCP::logNotification(Json{{"event", "new_item"}, {"memo", "a/b"}});
    EXPECT_EQ(log,
              R"({"jsonrpc":"2.0","method":"notifications\/message","params":{"data":{"event":"new_item",)"
              R"("memo":"a\/b"},"level":"info","logger":"quorvane"}})");
    const std::string changed = MCP::toolsListChangedNotification();
    EXPECT_EQ(changed, R"({"jsonrpc":"2.0","method":"notifications\/tools\/list_changed"})");
    for (const auto& line : {log, changed}) {
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_FALSE(parsed(line).contains("id"));
    }
    EXPECT_FALSE(parsed(changed).contains("params"));
    EXPECT_EQ(MCP::logNotification(Json{{"memo", std::string("\xff")}}), MCP::fallbackText);
}

TEST(McpToolCatalogue, ListsTwoOrFourToolsInOrder) {
    auto names = [](const Json& tools) {
        std::vector<std::string> list;
        for (const auto& tool : tools) {
            list.push_back(tool["name"].get<std::string>());
        }
        return list;
    };
    EXPECT_EQ(names(MCP::tools(true)), (std::vector<std::string>{"getBalance", "getTransactions"}));
    EXPECT_EQ(names(MCP::tools(false)),
              (std::vector<std::string>{"getBalance", "getTransactions", "signUp", "login"}));
    EXPECT_EQ(MCP::tools(false), Json::array({MCP::readBalanceTool(), MCP::readTransactionsTool(),
                                              MCP::signUpTool(), MCP::loginTool()}));
}

TEST(McpToolCatalogue, DescriptorsAreExact) {
    struct Case {
        Json descriptor;
        const char* expected;
    };
    const Case cases[] = {
        {MCP::readBalanceTool(), R"({"name":"getBalance",
            "description":"Get your current point balance and how many new (unseen) ledger items you have in your quorvane.",
            "inputSchema":{"type":"object","properties":{},"additionalProperties":false}})"},
        {MCP::readTransactionsTool(), R"({"name":"getTransactions",
            "description":"List recent entries in your quorvane — credits, debits, notes, bonuses and penalties — newest first. Viewing marks them seen.",
            "inputSchema":{"type":"object","properties":{
                "limit":{"type":"integer","minimum":1,"maximum":100,"description":"Max entries to return (default 25)."},
                "before":{"type":"integer","description":"Return entries with sequence below this cursor."}},
              "additionalProperties":false}})"},
        {MCP::signUpTool(), R"({"name":"signUp",
            "description":"Create your account. Provide a private key of at least 40 characters that you generate and keep secret; you receive an account id. Save BOTH the id and the key — you need them to log in later.",
            "inputSchema":{"type":"object","properties":{
                "key":{"type":"string","minLength":40,"description":"A secret key you choose, at least 40 characters."}},
              "required":["key"],"additionalProperties":false}})"},
        {MCP::loginTool(), R"({"name":"login",
            "description":"Authenticate an existing account with the account id and key you saved when you signed up.",
            "inputSchema":{"type":"object","properties":{"accountId":{"type":"string"},"key":{"type":"string"}},
              "required":["accountId","key"],"additionalProperties":false}})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.descriptor, parsed(c.expected)) << c.descriptor.dump();
    }
    // The dashes are U+2014 EM DASH.
    EXPECT_NE(MCP::readTransactionsTool()["description"].get<std::string>().find("\xE2\x80\x94"),
              std::string::npos);
    EXPECT_NE(MCP::signUpTool()["description"].get<std::string>().find("\xE2\x80\x94"), std::string::npos);
}

} // namespace
} // namespace quorvane
