#include "common/Json.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvane {
namespace {

TEST(JsonText, SerializesCompactWithEscapedSlashesAndRawUtf8) {
    Json v = {{"url", "a/b"}, {"name", "Zoë ✓"}, {"ctl", std::string("x\n\x01", 3)}, {"n", 5}};
    EXPECT_EQ(serializeJson(v), R"({"ctl":"x\n\u0001","n":5,"name":"Zoë ✓","url":"a\/b"})");
}

TEST(JsonText, RefusesWhatCannotBeWritten) {
    EXPECT_FALSE(serializeJson(Json(std::string("\xff\xfe"))));
    EXPECT_FALSE(serializeJson(Json::array({1.0, std::numeric_limits<double>::infinity()})));
    EXPECT_FALSE(serializeJsonString("\xc3"));
}

// Replies written straight to text must hold the same bytes as the tree form.
TEST(JsonText, AppendedStringsAreTheTreeFormsBytes) {
    std::string everyControl;
    for (char c = 0; c < 0x20; ++c) {
        everyControl.push_back(c);
    }
    const std::string cases[] = {
        "",
        "plain",
        everyControl,
        "quote \" backslash \\ slash / escaped slash \\/ DEL \x7f",
        "caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x8f\x86 line sep \xe2\x80\xa8 bom \xef\xbb\xbf",
        std::string("nul \0 inside", 12),
    };
    for (const std::string& text : cases) {
        std::string out = "prefix:";
        ASSERT_TRUE(appendJsonString(out, text)) << text;
        EXPECT_EQ(out, "prefix:" + serializeJsonString(text).value()) << text;
    }
    for (const std::string bad : {"\xff", "\xc3", "\xed\xa0\x80", "\xc0\xaf", "ok\xf5\x80\x80\x80"}) {
        std::string out = "kept";
        EXPECT_FALSE(appendJsonString(out, bad));
        EXPECT_EQ(out, "kept");
        EXPECT_FALSE(serializeJsonString(bad));
    }
}

// The screen may say yes too often, never too seldom: a word or a \u escape
// anywhere, including across the blocks the text is scanned in.
TEST(JsonText, MayMentionFindsTheWordOrAnyUnicodeEscapeWherever) {
    const std::string filler(40, 'x');
    for (std::size_t at = 0; at + 2 <= filler.size(); ++at) {
        std::string escaped = filler;
        escaped.replace(at, 2, "\\u");
        EXPECT_TRUE(jsonTextMayMention(escaped, "login")) << at;
        EXPECT_FALSE(jsonTextMayMention(escaped.substr(0, at + 1), "login")) << at; // the backslash alone

        std::string spelled = filler;
        spelled.replace(at, 2, "lo");
        EXPECT_EQ(jsonTextMayMention(spelled, "lo"), true) << at;
    }
    // Backslashes and u's that never meet, as in a reply's escaped quotes.
    std::string quoted;
    while (quoted.size() < 200) {
        quoted += "\\\"amount\\\":1,\\\"unseen\\\" u\\ ";
    }
    EXPECT_FALSE(jsonTextMayMention(quoted, "not_authenticated"));
    EXPECT_TRUE(jsonTextMayMention(quoted + "not_authenticated", "not_authenticated"));
    EXPECT_TRUE(jsonTextMayMention(quoted + "\\u005f", "not_authenticated"));
    EXPECT_FALSE(jsonTextMayMention("", "login"));
}

TEST(JsonParse, AcceptsContainersAndRefusesEverythingElse) {
    struct Case {
        std::string text;
        bool ok;
    };
    const Case cases[] = {
        {R"({"a":1})", true}, {"[1,2]", true},       {"  {} ", true},
        {"5", false},         {"\"x\"", false},      {"hello", false},
        {"{} x", false},      {"", false},           {"{\"a\":\"\xff\"}", false},
        {"[1e400]", false},   {"{\"a\":1,}", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseJson(c.text).has_value(), c.ok) << c.text;
    }
    EXPECT_TRUE(parseJson("5", JsonTopLevel::anyValue));
}

TEST(JsonParse, DeepNestingFailsWithoutCrashing) {
    std::string deep(100000, '[');
    deep += std::string(100000, ']');
    EXPECT_FALSE(parseJson(deep));
    std::string ok(maxJsonDepth, '[');
    ok += std::string(maxJsonDepth, ']');
    EXPECT_TRUE(parseJson(ok));
}

TEST(JsonParse, RemembersTheTextOfATopLevelNumericId) {
    struct Case {
        std::string text;
        std::optional<std::string> lexeme;
    };
    const Case cases[] = {
        {R"({"id":1.50,"method":"x"})", "1.50"},
        {R"({"id":123456789012345678901234567890})", "123456789012345678901234567890"},
        {R"({"id":7})", "7"},
        {R"({"id":"7"})", std::nullopt},
        {R"({"params":{"id":1.5}})", std::nullopt},
        {R"({"id":1.5,"id":"s"})", std::nullopt},
        {R"({"id":[1.5]})", std::nullopt},
        {R"([{"id":1.5}])", std::nullopt},
    };
    for (const auto& c : cases) {
        TopLevelIdText idText;
        ASSERT_TRUE(parseJson(c.text, JsonTopLevel::containerOnly, &idText)) << c.text;
        EXPECT_EQ(idText.numberLexeme, c.lexeme) << c.text;
    }
}

TEST(JsonInt64, AcceptsIntegralNumbersThatFit) {
    EXPECT_EQ(jsonInt64(Json(5)), 5);
    EXPECT_FALSE(jsonInt64(Json(5.0))) << "only the parser decides that a written number is integral";
    EXPECT_EQ(jsonInt64(Json(-9223372036854775807LL - 1)), std::numeric_limits<std::int64_t>::min());
    EXPECT_FALSE(jsonInt64(Json(9223372036854775808.0)));
    EXPECT_FALSE(jsonInt64(Json(18446744073709551615ULL)));
    EXPECT_FALSE(jsonInt64(Json(5.5)));
    EXPECT_FALSE(jsonInt64(Json("5")));
    EXPECT_FALSE(jsonInt64(Json(true)));
    EXPECT_FALSE(jsonInt64(Json(nullptr)));
}

TEST(JsonParse, KeepsExactIntegersWrittenWithFractionOrExponent) {
    struct Case {
        std::string lexeme;
        std::optional<std::int64_t> integer; // what jsonInt64 reads from the parsed number
    };
    const Case cases[] = {
        {"5.0", 5},
        {"1e3", 1000},
        {"1E+2", 100},
        {"-0.0", 0},
        {"2.50e1", 25},
        {"12000e-3", 12},
        {"4611686018427387905.0", 4611686018427387905LL},
        {"-9223372036854775808.0", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775807.0", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775809", std::nullopt},
        {"-9223372036854775810.0", std::nullopt},
        {"9223372036854775808", std::nullopt},
        {"123456789012345678901234567890", std::nullopt},
        {"5.5", std::nullopt},
        {"1e-3", std::nullopt},
        {"1e-9999999", std::nullopt},
        {"1.0000000000000000001", std::nullopt},
    };
    for (const auto& c : cases) {
        auto parsed = parseJson("[" + c.lexeme + "]");
        ASSERT_TRUE(parsed) << c.lexeme;
        EXPECT_EQ(jsonInt64((*parsed)[0]), c.integer) << c.lexeme;
    }
    EXPECT_EQ(serializeJson(*parseJson("[5.0,1.5,18446744073709551615.0]")), "[5,1.5,18446744073709551615]");
}

} // namespace
} // namespace quorvane
