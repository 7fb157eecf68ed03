#include "bridge/BridgeMessages.h"

#include <string>

#include <gtest/gtest.h>

namespace quorvane {
namespace {

std::string unavailableFor(const std::string& line) {
    const std::optional<RequestId> id = requestId(line);
    return id ? errorLine(*id, hostUnavailableMessage) : std::string("<no id>");
}

TEST(BridgeMessagesTest, ErrorLineEchoesTheRequestsOwnId) {
    struct Case {
        std::string line;
        std::string expected;
    };
    const std::string tail = R"(,"error":{"code":-32000,"message":"Quorvane host unavailable"}})";
    const Case cases[] = {
        {R"({"jsonrpc":"2.0","id":7,"method":"tools/call"})", R"({"jsonrpc":"2.0","id":7)" + tail},
        {R"({"jsonrpc":"2.0","id":-12,"method":"ping"})", R"({"jsonrpc":"2.0","id":-12)" + tail},
        // Numbers keep the agent's own spelling, also beyond 64 bits.
        {R"({"id":1.50,"method":"ping"})", R"({"jsonrpc":"2.0","id":1.50)" + tail},
        {R"({"id":2E3,"method":"ping"})", R"({"jsonrpc":"2.0","id":2E3)" + tail},
        {R"({"id":123456789012345678901234567890,"method":"ping"})",
         R"({"jsonrpc":"2.0","id":123456789012345678901234567890)" + tail},
        {R"({"id":18446744073709551615,"method":"ping"})",
         R"({"jsonrpc":"2.0","id":18446744073709551615)" + tail},
        {R"({"jsonrpc":"2.0","id":"req-1","method":"ping"})", R"({"jsonrpc":"2.0","id":"req-1")" + tail},
        {R"({"id":"a/b \"q\" é","method":"ping"})", R"({"jsonrpc":"2.0","id":"a\/b \"q\" é")" + tail},
        {R"({"jsonrpc":"2.0","id":null,"method":"ping"})", R"({"jsonrpc":"2.0","id":null)" + tail},
        {R"({"id":{"b":[1,true],"a":"x"},"method":"ping"})",
         R"({"jsonrpc":"2.0","id":{"a":"x","b":[1,true]})" + tail},
        // The last "id" counts when the key repeats.
        {R"({"id":5,"id":"late","method":"ping"})", R"({"jsonrpc":"2.0","id":"late")" + tail},
        {R"({"id":"early","id":6.0,"method":"ping"})", R"({"jsonrpc":"2.0","id":6.0)" + tail},
        // A nested "id" is not the request's.
        {R"({"params":{"id":3},"id":4,"method":"ping"})", R"({"jsonrpc":"2.0","id":4)" + tail},
        // Notifications and text that is not a JSON object have no id.
        {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", "<no id>"},
        {R"({"params":{"id":3},"method":"ping"})", "<no id>"},
        {R"([{"id":1}])", "<no id>"},
        {"hello", "<no id>"},
        {R"({"id":1)", "<no id>"},
        {"   ", "<no id>"},
    };
    for (const Case& c : cases) {
        const std::string line = unavailableFor(c.line);
        EXPECT_EQ(line, c.expected) << c.line;
        if (c.expected != "<no id>") {
            const std::optional<Json> parsed = parseJson(line);
            ASSERT_TRUE(parsed) << line;
            EXPECT_EQ((*parsed)["error"]["code"], -32000);
            EXPECT_EQ((*parsed)["jsonrpc"], "2.0");
        }
    }
}

TEST(BridgeMessagesTest, ErrorLineFallsBackWhenTheIdOrMessageCannotBeWritten) {
    const RequestId badId{Json(std::string("\xff\xfe")), std::nullopt};
    EXPECT_EQ(errorLine(badId, hostUnavailableMessage), errorLineFallback);
    EXPECT_EQ(errorLine(RequestId{Json(7), std::nullopt}, "\xc3"), errorLineFallback);
    EXPECT_EQ(errorLineFallback,
              R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":"host unavailable"}})");
    // A message of its own is written in the shared text form.
    EXPECT_EQ(errorLine(RequestId{Json(nullptr), std::nullopt}, "a/b\n"),
              R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":"a\/b\n"}})");
}

TEST(BridgeMessagesTest, RequestIdKeepsTheValueAndTheNumbersText) {
    const std::optional<RequestId> number = requestId(R"({"id":1.50})");
    ASSERT_TRUE(number);
    EXPECT_EQ(number->value, Json(1.5));
    EXPECT_EQ(number->numberLexeme, "1.50");

    const std::optional<RequestId> text = requestId(R"({"id":"7"})");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->value, Json("7"));
    EXPECT_FALSE(text->numberLexeme);
}

TEST(BridgeMessagesTest, RecognisesOnlyTheNotAuthenticatedToolResult) {
    struct Case {
        std::string reply;
        bool expected;
    };
    const Case cases[] = {
        {R"({"jsonrpc":"2.0","id":3,"result":{"content":[],"isError":true,"structuredContent":{"error":"not_authenticated"}}})",
         true},
        {R"({"result":{"isError":true,"structuredContent":{"error":"not_authenticated","detail":1}}})", true},
        {R"({"result":{"isError":false,"structuredContent":{"error":"not_authenticated"}}})", false},
        {R"({"result":{"structuredContent":{"error":"not_authenticated"}}})", false},
        {R"({"result":{"isError":"true","structuredContent":{"error":"not_authenticated"}}})", false},
        {R"({"result":{"isError":1,"structuredContent":{"error":"not_authenticated"}}})", false},
        {R"({"result":{"isError":true,"structuredContent":{"error":"invalid_key"}}})", false},
        {R"({"result":{"isError":true,"structuredContent":"not_authenticated"}})", false},
        {R"({"result":{"isError":true}})", false},
        {R"({"result":"not_authenticated"})", false},
        {R"({"error":{"code":-32000,"message":"not_authenticated","data":{"error":"not_authenticated"}}})",
         false},
        {R"({"isError":true,"structuredContent":{"error":"not_authenticated"}})", false},
        {"not json", false},
        {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isNotAuthenticated(c.reply), c.expected) << c.reply;
    }
}

// Replies are screened for the word before they are parsed; a word spelled
// with escapes must still be recognised, as parsing would.
TEST(BridgeMessagesTest, NotAuthenticatedSpelledWithEscapesIsStillRecognised) {
    struct Case {
        std::string reply;
        bool expected;
    };
    const Case cases[] = {
        {R"({"result":{"isError":true,"structuredContent":{"error":"not\u005fauthenticated"}}})", true},
        {R"({"result":{"isError":true,"structuredContent":{"\u0065rror":"\u006eot_authenticated"}}})", true},
        {R"({"result":{"isError":true,"structuredContent":{"error":"not\/authenticated"}}})", false},
        {R"({"result":{"isError":true,"structuredContent":{"error":"not_authenticate\u0064!"}}})", false},
        {R"({"jsonrpc":"2.0","id":3,"result":{"content":[{"type":"text","text":"ok"}]}})", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isNotAuthenticated(c.reply), c.expected) << c.reply;
    }
}

} // namespace
} // namespace quorvane
