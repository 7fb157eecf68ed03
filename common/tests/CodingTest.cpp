#include "common/Coding.h"

#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>
#include <vector>

namespace quorvane {
namespace {

using namespace std::chrono_literals;
namespace Coding = QuorvaneCoding;

constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();
const Date sampleDate = makeDate(2025, 3, 4, 5, 6, 7);

ClientInfo fullClient() {
    return {"claude-code", std::string("1.2.3"), std::string("Claude Code")};
}

Account fullAccount() {
    return {"A1",
            "Agent One",
            IdentityMode::clientInfo,
            fullClient(),
            std::vector<ClientInfoField>{{"name", "x"}},
            -1234567,
            sampleDate,
            true};
}
Account minimalAccount() {
    return {"A2", "Two", IdentityMode::credential, std::nullopt, std::nullopt, 50000, sampleDate, false};
}
LedgerEntry sampleEntry() {
    return {"E1", "A1", TransactionKind::debit, LedgerFlag::penalty, 5, "late", sampleDate, sampleDate + 1h,
            42};
}
NewLedgerEntry sampleNewEntry() {
    return {"A1", TransactionKind::credit, LedgerFlag::bonus, 100, "well done"};
}
LiveConnection fullConnection() {
    return {"C1", fullClient(), std::string("A1"), true, sampleDate};
}
LiveConnection minimalConnection() {
    return {"C2", std::nullopt, std::nullopt, false, sampleDate};
}
ApiLogEntry fullLog() {
    return {"L1",
            "C1",
            std::string("A1"),
            std::string("Claude Code"),
            ApiLogEntry::Direction::request,
            std::string("tools/call"),
            R"({"jsonrpc":"2.0","id":1,"method":"tools/call"})",
            sampleDate};
}
ApiLogEntry minimalLog() {
    return {"L2",         "C1", std::nullopt, std::nullopt, ApiLogEntry::Direction::notification,
            std::nullopt, "{}", sampleDate};
}
Snapshot sampleSnapshot() {
    return {{fullAccount(), minimalAccount()},
            {sampleEntry(),
             {"E2", "A2", TransactionKind::note, LedgerFlag::none, 0, "", sampleDate, sampleDate, 43}},
            {fullConnection(), minimalConnection()},
            {true, 50000},
            {fullLog(), minimalLog()},
            std::string(QuorvaneVersion::displayString),
            std::nullopt};
}

std::set<std::string> keysOf(const Json& object) {
    std::set<std::string> keys;
    for (const auto& [key, value] : object.items()) {
        keys.insert(key);
    }
    return keys;
}

template <class T>
void expectRoundTrip(const T& value) {
    const auto text = Coding::encodeToString(value);
    ASSERT_TRUE(text);
    std::string error;
    const auto back = Coding::decode<T>(*text, &error);
    ASSERT_TRUE(back) << *text << "\n" << error;
    EXPECT_EQ(*back, value) << *text;
    EXPECT_EQ(Coding::decodeTree<T>(Coding::encode(value)), value);
}

TEST(Coding, WorkedLedgerEntryExample) {
    const LedgerEntry entry{
        "E1", "A1", TransactionKind::debit, LedgerFlag::penalty, 5, "late", sampleDate, sampleDate, 42};
    const Json expected =
        Json::parse(R"({"id":"E1","accountId":"A1","kind":"debit","flag":"penalty","amount":5,
        "memo":"late","createdAt":"2025-03-04T05:06:07Z","updatedAt":"2025-03-04T05:06:07Z","sequence":42})");
    EXPECT_EQ(Coding::encode(entry), expected);
    EXPECT_EQ(Coding::encodeToString(entry),
              R"({"accountId":"A1","amount":5,"createdAt":"2025-03-04T05:06:07Z","flag":"penalty","id":"E1",)"
              R"("kind":"debit","memo":"late","sequence":42,"updatedAt":"2025-03-04T05:06:07Z"})");
    EXPECT_EQ(entry.signedAmount(), -5);
}

TEST(Coding, RoundTripsEveryRecord) {
    expectRoundTrip(fullClient());
    expectRoundTrip(ClientInfo{"bare", std::nullopt, std::nullopt});
    expectRoundTrip(ClientInfo{"", std::string(""), std::string("")});
    expectRoundTrip(ClientInfoField{"title", "Zoë's agent"});
    expectRoundTrip(fullAccount());
    expectRoundTrip(minimalAccount());
    Account noFields = fullAccount();
    noFields.clientInfoFields = std::vector<ClientInfoField>{};
    expectRoundTrip(noFields); // present but empty stays distinct from absent
    expectRoundTrip(sampleEntry());
    expectRoundTrip(LedgerEntry{"E", "A", TransactionKind::credit, LedgerFlag::bonus, int64Max, "",
                                sampleDate, sampleDate, int64Max});
    expectRoundTrip(LedgerEntry{"E", "A", TransactionKind::debit, LedgerFlag::none, int64Min, "", sampleDate,
                                sampleDate, 1});
    expectRoundTrip(sampleNewEntry());
    expectRoundTrip(fullConnection());
    expectRoundTrip(minimalConnection());
    expectRoundTrip(fullLog());
    expectRoundTrip(minimalLog());
    expectRoundTrip(ApiLogEntry{"L3", "C", std::nullopt, std::nullopt, ApiLogEntry::Direction::response,
                                std::nullopt, "", sampleDate});
    expectRoundTrip(Settings{true, 50000});
    expectRoundTrip(Settings{false, int64Min});
    expectRoundTrip(sampleSnapshot());
    expectRoundTrip(Snapshot{});
}

// The exact text of a record whose fields of one type all hold different
// values, and that text read back: a field table row pairing a key with the
// wrong member shows up here even where a round trip cannot see it (two rows
// with swapped members).
template <class T>
void expectWireText(const T& value, const std::string& expected) {
    EXPECT_EQ(Coding::encodeToString(value), expected);
    EXPECT_EQ(Coding::decode<T>(expected), value) << expected;
}

TEST(Coding, EveryFieldIsWrittenUnderItsOwnKey) {
    expectWireText(fullClient(), R"({"name":"claude-code","title":"Claude Code","version":"1.2.3"})");
    expectWireText(ClientInfoField{"title", "Zoë's agent"}, R"({"key":"title","value":"Zoë's agent"})");
    expectWireText(fullAccount(),
                   R"({"balance":-1234567,"clientInfo":{"name":"claude-code","title":"Claude Code",)"
                   R"("version":"1.2.3"},"clientInfoFields":[{"key":"name","value":"x"}],)"
                   R"("createdAt":"2025-03-04T05:06:07Z","displayName":"Agent One","id":"A1",)"
                   R"("identityMode":"clientInfo","isConnected":true})");
    expectWireText(sampleEntry(),
                   R"({"accountId":"A1","amount":5,"createdAt":"2025-03-04T05:06:07Z","flag":"penalty",)"
                   R"("id":"E1","kind":"debit","memo":"late","sequence":42,)"
                   R"("updatedAt":"2025-03-04T06:06:07Z"})");
    expectWireText(sampleNewEntry(),
                   R"({"accountId":"A1","amount":100,"flag":"bonus","kind":"credit","memo":"well done"})");
    expectWireText(fullConnection(),
                   R"({"accountId":"A1","authenticated":true,"clientInfo":{"name":"claude-code",)"
                   R"("title":"Claude Code","version":"1.2.3"},"connectedAt":"2025-03-04T05:06:07Z",)"
                   R"("id":"C1"})");
    expectWireText(fullLog(), R"({"accountId":"A1","clientLabel":"Claude Code","connectionId":"C1",)"
                              R"("direction":"request","id":"L1","method":"tools\/call",)"
                              R"("payload":"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"tools\/call\"}",)"
                              R"("timestamp":"2025-03-04T05:06:07Z"})");
    expectWireText(Settings{true, 50000}, R"({"allowUnauthenticated":true,"startingPoints":50000})");
}

// One row per field of a record: its key, whether it is required, and values of
// a wrong JSON type (or an unknown raw string, or a bad date) for it.
struct FieldRule {
    const char* key;
    bool required;
    std::vector<Json> wrong;
};

const std::vector<Json> notString{5, true, Json::array(), Json::object()};
const std::vector<Json> notInteger{"5", 5.5, true, 9223372036854775808ULL, -1e19, Json::object()};
const std::vector<Json> notBool{1, 0, "true", Json::array()};
const std::vector<Json> notDate{"2025-03-04",           "2025-03-04T05:06:07",  "2025-03-04T05:06:07.5Z",
                                "2025-03-04 05:06:07Z", "9999-12-31T23:59:59Z", 1741064767,
                                Json::object()};
const std::vector<Json> notObject{"x", 5, Json::array()};
const std::vector<Json> notArray{"x", Json::object(), Json::array({nullptr}), Json::array({5})};

std::vector<Json> enumWrong(std::initializer_list<const char*> texts) {
    std::vector<Json> out{0, Json::array()};
    for (const char* t : texts) {
        out.emplace_back(t);
    }
    return out;
}

// Encodes `full` (every optional present) and checks, field by field: exactly
// these keys are written; a missing, null or mistyped required field fails the
// whole value; a missing or null optional reads as absent; a mistyped optional
// fails.
template <class T>
void expectFieldRules(const T& full, const std::vector<FieldRule>& rules) {
    const Json tree = Coding::encode(full);
    std::set<std::string> expectedKeys;
    for (const auto& rule : rules) {
        expectedKeys.insert(rule.key);
    }
    EXPECT_EQ(keysOf(tree), expectedKeys);
    ASSERT_EQ(Coding::decodeTree<T>(tree), full);

    for (const auto& rule : rules) {
        Json missing = tree;
        missing.erase(rule.key);
        Json null = tree;
        null[rule.key] = nullptr;
        if (rule.required) {
            std::string error;
            EXPECT_FALSE(Coding::decodeTree<T>(missing, &error)) << rule.key;
            EXPECT_NE(error.find(rule.key), std::string::npos) << error;
            EXPECT_FALSE(Coding::decodeTree<T>(null)) << rule.key;
        } else {
            const auto fromMissing = Coding::decodeTree<T>(missing);
            ASSERT_TRUE(fromMissing) << rule.key;
            EXPECT_NE(*fromMissing, full) << rule.key;
            EXPECT_EQ(Coding::decodeTree<T>(null), fromMissing) << rule.key;
            EXPECT_EQ(Coding::encode(*fromMissing), missing) << rule.key; // absent: no key, never null
        }
        for (const auto& wrong : rule.wrong) {
            Json bad = tree;
            bad[rule.key] = wrong;
            EXPECT_FALSE(Coding::decodeTree<T>(bad)) << rule.key << " = " << wrong.dump();
        }
    }
}

TEST(Coding, FieldRulesOfEveryRecord) {
    expectFieldRules(fullClient(),
                     {{"name", true, notString}, {"version", false, notString}, {"title", false, notString}});
    expectFieldRules(ClientInfoField{"k", "v"}, {{"key", true, notString}, {"value", true, notString}});
    expectFieldRules(fullAccount(), {{"id", true, notString},
                                     {"displayName", true, notString},
                                     {"identityMode", true, enumWrong({"credentials", "ClientInfo", ""})},
                                     {"clientInfo", false, notObject},
                                     {"clientInfoFields", false, notArray},
                                     {"balance", true, notInteger},
                                     {"createdAt", true, notDate},
                                     {"isConnected", true, notBool}});
    expectFieldRules(sampleEntry(), {{"id", true, notString},
                                     {"accountId", true, notString},
                                     {"kind", true, enumWrong({"refund", "Credit", "debit "})},
                                     {"flag", true, enumWrong({"bonus ", "Penalty", "fine"})},
                                     {"amount", true, notInteger},
                                     {"memo", true, notString},
                                     {"createdAt", true, notDate},
                                     {"updatedAt", true, notDate},
                                     {"sequence", true, notInteger}});
    expectFieldRules(sampleNewEntry(), {{"accountId", true, notString},
                                        {"kind", true, enumWrong({"refund"})},
                                        {"flag", true, enumWrong({"fine"})},
                                        {"amount", true, notInteger},
                                        {"memo", true, notString}});
    expectFieldRules(fullConnection(), {{"id", true, notString},
                                        {"clientInfo", false, notObject},
                                        {"accountId", false, notString},
                                        {"authenticated", true, notBool},
                                        {"connectedAt", true, notDate}});
    expectFieldRules(fullLog(), {{"id", true, notString},
                                 {"connectionId", true, notString},
                                 {"accountId", false, notString},
                                 {"clientLabel", false, notString},
                                 {"direction", true, enumWrong({"inbound", "Request"})},
                                 {"method", false, notString},
                                 {"payload", true, notString},
                                 {"timestamp", true, notDate}});
    expectFieldRules(Settings{true, 50000},
                     {{"allowUnauthenticated", true, notBool}, {"startingPoints", true, notInteger}});
    expectFieldRules(sampleSnapshot(), {{"accounts", true, notArray},
                                        {"entries", true, notArray},
                                        {"connections", true, notArray},
                                        {"settings", true, notObject},
                                        {"recentApiLog", true, notArray},
                                        {"hostVersion", true, notString}});
}

TEST(Coding, AbsentOptionalsAreNotWritten) {
    EXPECT_EQ(Coding::encodeToString(minimalAccount()),
              R"({"balance":50000,"createdAt":"2025-03-04T05:06:07Z","displayName":"Two","id":"A2",)"
              R"("identityMode":"credential","isConnected":false})");
    EXPECT_EQ(keysOf(Coding::encode(ClientInfo{"n", std::nullopt, std::nullopt})),
              std::set<std::string>{"name"});
    EXPECT_EQ(keysOf(Coding::encode(minimalConnection())),
              (std::set<std::string>{"id", "authenticated", "connectedAt"}));
    EXPECT_EQ(keysOf(Coding::encode(minimalLog())),
              (std::set<std::string>{"id", "connectionId", "direction", "payload", "timestamp"}));

    // Missing and null read as the same absent value.
    const auto missing = Coding::decode<Account>(
        R"({"id":"A2","displayName":"Two","identityMode":"credential","balance":50000,)"
        R"("createdAt":"2025-03-04T05:06:07Z","isConnected":false})");
    const auto null = Coding::decode<Account>(
        R"({"id":"A2","displayName":"Two","identityMode":"credential","clientInfo":null,"clientInfoFields":null,)"
        R"("balance":50000,"createdAt":"2025-03-04T05:06:07Z","isConnected":false})");
    EXPECT_EQ(missing, minimalAccount());
    EXPECT_EQ(null, minimalAccount());
}

TEST(Coding, UnknownKeysAreIgnoredAtEveryLevel) {
    const auto account = Coding::decode<Account>(
        R"({"id":"A1","displayName":"Agent One","identityMode":"clientInfo","extra":[1,{"x":null}],)"
        R"("clientInfo":{"name":"claude-code","version":"1.2.3","title":"Claude Code","displayLabel":"zzz",)"
        R"("capabilities":{}},"clientInfoFields":[{"key":"name","value":"x","id":"other"}],)"
        R"("balance":-1234567,"createdAt":"2025-03-04T05:06:07Z","isConnected":true})");
    EXPECT_EQ(account, fullAccount());
    // A signedAmount key (a derived value) is neither written nor read.
    Json entry = Coding::encode(sampleEntry());
    EXPECT_FALSE(entry.contains("signedAmount"));
    entry["signedAmount"] = "not a number";
    EXPECT_EQ(Coding::decodeTree<LedgerEntry>(entry), sampleEntry());
}

TEST(Coding, IntegersAcceptIntegralNumbersThatFit) {
    struct Case {
        const char* number;
        std::optional<std::int64_t> expected;
    };
    const Case cases[] = {
        {"5", 5},
        {"5.0", 5},
        {"1e3", 1000},
        {"-0", 0},
        {"-9223372036854775808", int64Min},
        {"9223372036854775807", int64Max},
        {"5.5", std::nullopt},
        {"9223372036854775808", std::nullopt},
        {"1e300", std::nullopt},
        {"\"5\"", std::nullopt},
        {"true", std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string text =
            std::string(R"({"allowUnauthenticated":false,"startingPoints":)") + c.number + "}";
        const auto settings = Coding::decode<Settings>(text);
        ASSERT_EQ(settings.has_value(), c.expected.has_value()) << text;
        if (settings) {
            EXPECT_EQ(settings->startingPoints, *c.expected) << text;
        }
    }
}

TEST(Coding, SettingsWithoutStartingPointsFail) {
    std::string error;
    EXPECT_FALSE(Coding::decode<Settings>(R"({"allowUnauthenticated":true})", &error));
    EXPECT_EQ(error, "startingPoints: required value is missing");
}

TEST(Coding, DatesAreWholeSecondsInUtc) {
    Account account = minimalAccount();
    account.createdAt = sampleDate + 900ms;
    const auto text = Coding::encodeToString(account);
    ASSERT_TRUE(text);
    EXPECT_NE(text->find(R"("createdAt":"2025-03-04T05:06:07Z")"), std::string::npos) << *text;
    const auto back = Coding::decode<Account>(*text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->createdAt, sampleDate);

    struct Case {
        const char* text;
        std::optional<Date> expected;
    };
    const Case cases[] = {
        {"2025-03-04T05:06:07Z", sampleDate},
        {"2025-03-04T07:06:07+02:00", sampleDate},
        {"2025-03-04T00:36:07-04:30", sampleDate},
        {"2262-04-11T23:47:16Z", makeDate(2262, 4, 11, 23, 47, 16)},
        {"1677-09-21T00:12:44Z", makeDate(1677, 9, 21, 0, 12, 44)},
        // Moments the clock type cannot hold are refused rather than wrapped.
        {"2262-04-11T23:47:17Z", std::nullopt},
        {"1677-09-21T00:12:43Z", std::nullopt},
        {"9999-12-31T23:59:59Z", std::nullopt},
        {"0001-01-01T00:00:00Z", std::nullopt},
        {"2025-03-04T05:06:07.000Z", std::nullopt},
        {"2025-03-04T05:06:07z", std::nullopt},
        {"2025-03-04T05:06:07+0200", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        Json tree = Coding::encode(minimalConnection());
        tree["connectedAt"] = c.text;
        const auto connection = Coding::decodeTree<LiveConnection>(tree);
        ASSERT_EQ(connection.has_value(), c.expected.has_value()) << c.text;
        if (connection) {
            EXPECT_EQ(connection->connectedAt, *c.expected) << c.text;
        }
    }
}

TEST(Coding, TextFormEscapesSlashesAndKeepsUtf8) {
    LedgerEntry entry = sampleEntry();
    entry.memo = "a/b Zoë ✓ 🎉\n\"q\"\\";
    const auto text = Coding::encodeToString(entry);
    ASSERT_TRUE(text);
    EXPECT_NE(text->find(R"("memo":"a\/b Zoë ✓ 🎉\n\"q\"\\")"), std::string::npos) << *text;
    EXPECT_EQ(Coding::decode<LedgerEntry>(*text), entry);

    // A string that is not UTF-8 cannot be written; no text at all comes out.
    entry.memo = "bad \xff byte";
    EXPECT_FALSE(Coding::encodeToString(entry));
    Snapshot snapshot = sampleSnapshot();
    snapshot.accounts[1].displayName = "\xc3";
    EXPECT_FALSE(Coding::encodeToString(snapshot));
}

TEST(Coding, OneBadItemFailsTheWholeValue) {
    Json tree = Coding::encode(sampleSnapshot());
    tree["entries"][1]["kind"] = "refund";
    std::string error;
    EXPECT_FALSE(Coding::decodeTree<Snapshot>(tree, &error));
    EXPECT_EQ(error, "entries[1].kind: unknown TransactionKind value");

    tree = Coding::encode(sampleSnapshot());
    tree["accounts"][0]["clientInfoFields"][0]["value"] = nullptr;
    EXPECT_FALSE(Coding::decodeTree<Snapshot>(tree, &error));
    EXPECT_EQ(error, "accounts[0].clientInfoFields[0].value: required value is null");

    tree = Coding::encode(sampleSnapshot());
    tree["recentApiLog"].push_back(nullptr);
    EXPECT_FALSE(Coding::decodeTree<Snapshot>(tree));
}

TEST(Coding, TopLevelMustBeAnObject) {
    for (const char* text : {"[]", "5", "null", "\"x\"", "true", "", "{", "{} {}"}) {
        std::string error;
        EXPECT_FALSE(Coding::decode<Settings>(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_FALSE(Coding::decode<Snapshot>(text)) << text;
    }
}

TEST(Coding, ErrorIsLeftAloneOnSuccess) {
    std::string error = "unchanged";
    EXPECT_TRUE(Coding::decode<Settings>(R"({"allowUnauthenticated":true,"startingPoints":1})", &error));
    EXPECT_EQ(error, "unchanged");
}

TEST(Coding, DeepNestingFailsWithoutCrashing) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_FALSE(Coding::decode<Snapshot>(deep));
    EXPECT_FALSE(Coding::decode<ClientInfo>(deep));
    const std::string deepObjects = [] {
        std::string s;
        for (int i = 0; i < 100000; ++i) {
            s += R"({"name":)";
        }
        s += "\"x\"";
        s += std::string(100000, '}');
        return s;
    }();
    EXPECT_FALSE(Coding::decode<ClientInfo>(deepObjects));
    const std::string underKnownKey = R"({"accounts":)" + deep + "}";
    EXPECT_FALSE(Coding::decode<Snapshot>(underKnownKey));

    // A tree built in code is not depth-bounded; decoding never descends into
    // anything the record does not expect.
    Json tree = Coding::encode(sampleSnapshot());
    Json* inner = &tree["unknown"];
    *inner = Json::array();
    for (int i = 0; i < 100000; ++i) {
        inner->push_back(Json::array());
        inner = &inner->back();
    }
    EXPECT_EQ(Coding::decodeTree<Snapshot>(tree), sampleSnapshot());
    tree["accounts"] = std::move(tree["unknown"]);
    EXPECT_FALSE(Coding::decodeTree<Snapshot>(tree));
}

} // namespace
} // namespace quorvane
