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

TEST(JsonParse, AcceptsContainersAndRefusesEverythingElse) {
    struct Case {
        std::string text;
        bool ok;
    };
    const Case cases[] = {
        {R"({"a":1})", true},   {"[1,2]", true},        {"  {} ", true},   {"5", false},
        {"\"x\"", false},       {"hello", false},       {"{} x", false},   {"", false},
        {"{\"a\":\"\xff\"}", false}, {"[1e400]", false}, {"{\"a\":1,}", false},
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
    std::string ok(kMaxJsonDepth, '[');
    ok += std::string(kMaxJsonDepth, ']');
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
    EXPECT_EQ(jsonInt64(Json(5.0)), 5);
    EXPECT_EQ(jsonInt64(Json(-9223372036854775807LL - 1)), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(jsonInt64(Json(-9223372036854775808.0)), std::numeric_limits<std::int64_t>::min());
    EXPECT_FALSE(jsonInt64(Json(9223372036854775808.0)));
    EXPECT_FALSE(jsonInt64(Json(18446744073709551615ULL)));
    EXPECT_FALSE(jsonInt64(Json(5.5)));
    EXPECT_FALSE(jsonInt64(Json("5")));
    EXPECT_FALSE(jsonInt64(Json(true)));
    EXPECT_FALSE(jsonInt64(Json(nullptr)));
}

} // namespace
} // namespace quorvane
