#include "common/ControlProtocol.h"
#include "common/Coding.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quorvane {
namespace {

namespace Coding = QuorvaneCoding;

const Date sampleDate = makeDate(2025, 3, 4, 5, 6, 7);

NewLedgerEntry sampleNewEntry() {
    return {"A1", TransactionKind::debit, LedgerFlag::penalty, 5, "late"};
}
LedgerEntry sampleEntry() {
    return {"E1", "A1", TransactionKind::credit, LedgerFlag::bonus, 7, "a/b", sampleDate, sampleDate, 3};
}
ApiLogEntry sampleLog() {
    return {"L1",
            "C1",
            std::string("A1"),
            std::nullopt,
            ApiLogEntry::Direction::response,
            std::nullopt,
            R"({"jsonrpc":"2.0","id":1,"result":{}})",
            sampleDate};
}
Snapshot sampleSnapshot() {
    return {{{"A1", "Agent", IdentityMode::clientInfo, ClientInfo{"cli", std::nullopt, std::string("")},
              std::vector<ClientInfoField>{{"name", "cli"}}, 7, sampleDate, true}},
            {sampleEntry()},
            {{"C1", std::nullopt, std::string("A1"), true, sampleDate}},
            {false, 50000},
            {sampleLog()},
            std::string(QuorvaneVersion::displayString),
            std::nullopt};
}

template <class T>
struct FormCase {
    T message;
    const char* json;
};

// Each case's exact JSON form; every form also decodes back to its message.
template <class T>
void expectForms(const std::vector<FormCase<T>>& cases) {
    for (const auto& c : cases) {
        const Json expected = Json::parse(c.json);
        EXPECT_EQ(Coding::encode(c.message), expected) << c.json;
        const auto text = Coding::encodeToString(c.message);
        ASSERT_TRUE(text) << c.json;
        std::string error;
        EXPECT_EQ(Coding::decode<T>(*text, &error), c.message) << *text << "\n" << error;
        EXPECT_EQ(Coding::decode<T>(c.json), c.message) << c.json;
    }
}

TEST(ControlProtocol, RequestForms) {
    expectForms<ControlRequest>({
        {ControlRequest::snapshot(), R"({"snapshot":{}})"},
        {ControlRequest::createEntry(sampleNewEntry()),
         R"({"createEntry":{"_0":{"accountId":"A1","kind":"debit","flag":"penalty","amount":5,"memo":"late"}}})"},
        {ControlRequest::updateEntry(sampleEntry()),
         R"({"updateEntry":{"_0":{"id":"E1","accountId":"A1","kind":"credit","flag":"bonus","amount":7,)"
         R"("memo":"a/b","createdAt":"2025-03-04T05:06:07Z","updatedAt":"2025-03-04T05:06:07Z","sequence":3}}})"},
        {ControlRequest::deleteEntry("E1"), R"({"deleteEntry":{"id":"E1"}})"},
        {ControlRequest::renameAccount("A1", "New name"),
         R"({"renameAccount":{"id":"A1","displayName":"New name"}})"},
        {ControlRequest::deleteAccount("A1"), R"({"deleteAccount":{"id":"A1"}})"},
        {ControlRequest::setAllowUnauthenticated(true), R"({"setAllowUnauthenticated":{"_0":true}})"},
        {ControlRequest::setAllowUnauthenticated(false), R"({"setAllowUnauthenticated":{"_0":false}})"},
        {ControlRequest::setStartingPoints(-9223372036854775807LL - 1),
         R"({"setStartingPoints":{"_0":-9223372036854775808}})"},
        {ControlRequest::setStartingPoints(50000), R"({"setStartingPoints":{"_0":50000}})"},
        {ControlRequest::accountHistory("A1"), R"({"accountHistory":{"accountId":"A1"}})"},
        {ControlRequest::accountHistory("A1", 120, 50),
         R"({"accountHistory":{"accountId":"A1","before":120,"limit":50}})"},
        {ControlRequest::exportEntries(), R"({"exportEntries":{}})"},
        {ControlRequest::exportEntries(0, 1000), R"({"exportEntries":{"after":0,"limit":1000}})"},
        {ControlRequest::exportAccounts(), R"({"exportAccounts":{}})"},
        {ControlRequest::exportAccounts("A1", 2), R"({"exportAccounts":{"after":"A1","limit":2}})"},
        {ControlRequest::backup("/tmp/copy.sqlite", false),
         R"({"backup":{"path":"\/tmp\/copy.sqlite","force":false}})"},
        {ControlRequest::backup("/c", true), R"({"backup":{"path":"\/c","force":true}})"},
    });
}

TEST(ControlProtocol, ResponseForms) {
    Json snapshotForm = Json::object();
    snapshotForm["snapshot"]["_0"] = Coding::encode(sampleSnapshot());
    const std::string snapshotText = snapshotForm.dump();
    expectForms<ControlResponse>({
        {ControlResponse::snapshot(sampleSnapshot()), snapshotText.c_str()},
        {ControlResponse::snapshot(Snapshot{}),
         R"({"snapshot":{"_0":{"accounts":[],"entries":[],"connections":[],)"
         R"("settings":{"allowUnauthenticated":false,"startingPoints":0},"recentApiLog":[],"hostVersion":""}}})"},
        {ControlResponse::ok(), R"({"ok":{}})"},
        {ControlResponse::failure("x"), R"({"failure":{"_0":"x"}})"},
        {ControlResponse::failure(""), R"({"failure":{"_0":""}})"},
        {ControlResponse::entriesPage({}, false), R"({"entriesPage":{"entries":[],"more":false}})"},
        {ControlResponse::accountsPage({}, false), R"({"accountsPage":{"accounts":[],"more":false}})"},
    });
    // Pages of records: each record in its own JSON form.
    Json entriesForm = Json::object();
    entriesForm["entriesPage"]["entries"] = Json::array({Coding::encode(sampleEntry())});
    entriesForm["entriesPage"]["more"] = true;
    Json accountsForm = Json::object();
    accountsForm["accountsPage"]["accounts"] = Json::array({Coding::encode(sampleSnapshot().accounts[0])});
    accountsForm["accountsPage"]["more"] = true;
    const std::string entriesText = entriesForm.dump();
    const std::string accountsText = accountsForm.dump();
    expectForms<ControlResponse>({
        {ControlResponse::entriesPage({sampleEntry()}, true), entriesText.c_str()},
        {ControlResponse::accountsPage(sampleSnapshot().accounts, true), accountsText.c_str()},
    });
    EXPECT_EQ(Coding::encodeToString(ControlResponse::failure("x")), R"({"failure":{"_0":"x"}})");
    EXPECT_EQ(Coding::encodeToString(ControlResponse::ok()), R"({"ok":{}})");
    EXPECT_EQ(Coding::encodeToString(ControlResponse::failure("Malformed control request")),
              R"({"failure":{"_0":"Malformed control request"}})");
}

// Unseen counts ride beside the accounts of a page, leaving the account's
// own form (and the snapshot's) unchanged; pages without them still read.
TEST(ControlProtocol, AccountsPageUnseenCountsAreOptional) {
    const std::vector<Account> accounts = sampleSnapshot().accounts;
    Json withCounts = Coding::encode(ControlResponse::accountsPage(accounts, false));
    withCounts["accountsPage"]["unseenCounts"] = Json::array({3});
    const std::string withCountsText = withCounts.dump();
    expectForms<ControlResponse>({
        {ControlResponse::accountsPage(accounts, false, std::vector<std::int64_t>{3}),
         withCountsText.c_str()},
        {ControlResponse::accountsPage({}, true, std::vector<std::int64_t>{}),
         R"({"accountsPage":{"accounts":[],"more":true,"unseenCounts":[]}})"},
    });
    EXPECT_EQ(Coding::encode(accounts[0]), Coding::encode(sampleSnapshot()).at("accounts").at(0));

    const std::string accountText = Coding::encode(accounts[0]).dump();
    struct Case {
        std::string json;
        std::optional<ControlResponse> expected;
    };
    const Case cases[] = {
        // From a host that does not count them: absent, never zero.
        {R"({"accountsPage":{"accounts":[)" + accountText + R"(],"more":false}})",
         ControlResponse::accountsPage(accounts, false)},
        {R"({"accountsPage":{"accounts":[)" + accountText + R"(],"more":false,"unseenCounts":null}})",
         ControlResponse::accountsPage(accounts, false)},
        // A count for no account, or an account without one, would misname them.
        {R"({"accountsPage":{"accounts":[)" + accountText + R"(],"more":false,"unseenCounts":[]}})",
         std::nullopt},
        {R"({"accountsPage":{"accounts":[)" + accountText + R"(],"more":false,"unseenCounts":[1,2]}})",
         std::nullopt},
        {R"({"accountsPage":{"accounts":[)" + accountText + R"(],"more":false,"unseenCounts":["1"]}})",
         std::nullopt},
        {R"({"accountsPage":{"accounts":[)" + accountText + R"(],"more":false,"unseenCounts":{}}})",
         std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Coding::decode<ControlResponse>(c.json), c.expected) << c.json;
    }
    std::string error;
    EXPECT_FALSE(Coding::decode<ControlResponse>(cases[2].json, &error));
    EXPECT_EQ(error, "accountsPage.unseenCounts: one count per account expected");
}

TEST(ControlProtocol, EventForms) {
    expectForms<ControlEvent>({
        {ControlEvent::apiCall(sampleLog()),
         R"({"apiCall":{"_0":{"id":"L1","connectionId":"C1","accountId":"A1","direction":"response",)"
         R"("payload":"{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}","timestamp":"2025-03-04T05:06:07Z"}}})"},
        {ControlEvent::dataChanged(), R"({"dataChanged":{}})"},
        {ControlEvent::connectionsChanged(), R"({"connectionsChanged":{}})"},
    });
}

TEST(ControlProtocol, ExactlyOneCaseKeyCounts) {
    struct Case {
        const char* json;
        bool decodes;
    };
    const Case cases[] = {
        {R"({"ok":{}})", true},
        {R"({"ok":{},"extra":1})", true},
        {R"({"extra":null,"ok":{"note":"ignored"},"Failure":{}})", true},
        {R"({})", false},
        {R"({"extra":1})", false},
        {R"({"OK":{}})", false},
        {R"({"ok":{},"failure":{"_0":"x"}})", false},
        {R"({"ok":{},"snapshot":{}})", false},
        // Another type's case names do not count.
        {R"({"dataChanged":{}})", false},
    };
    for (const auto& c : cases) {
        std::string error;
        const auto response = Coding::decode<ControlResponse>(c.json, &error);
        EXPECT_EQ(response.has_value(), c.decodes) << c.json;
        if (c.decodes) {
            EXPECT_EQ(response, ControlResponse::ok()) << c.json;
        } else {
            EXPECT_EQ(error, "Invalid number of keys found, expected one.") << c.json;
            EXPECT_EQ(error, Coding::invalidKeyCountMessage);
        }
    }
    std::string error;
    EXPECT_FALSE(Coding::decode<ControlRequest>(R"({"snapshot":{},"deleteEntry":{"id":"E"}})", &error));
    EXPECT_EQ(error, Coding::invalidKeyCountMessage);
    EXPECT_FALSE(Coding::decode<ControlEvent>(R"({"snapshot":{}})", &error));
    EXPECT_EQ(error, Coding::invalidKeyCountMessage);
    EXPECT_FALSE(Coding::decode<ControlRequest>(R"({"ok":{}})", &error));
    EXPECT_EQ(error, Coding::invalidKeyCountMessage);
}

TEST(ControlProtocol, TheCaseValueMustBeAnObject) {
    for (const char* json :
         {R"({"ok":null})", R"({"ok":[]})", R"({"ok":1})", R"({"ok":"x"})", R"({"ok":true})"}) {
        std::string error;
        EXPECT_FALSE(Coding::decode<ControlResponse>(json, &error)) << json;
        EXPECT_NE(error, Coding::invalidKeyCountMessage) << json;
    }
    EXPECT_FALSE(Coding::decode<ControlRequest>(R"({"snapshot":null})"));
    EXPECT_FALSE(Coding::decode<ControlEvent>(R"({"dataChanged":[]})"));
    // The message itself must be an object.
    for (const char* text : {R"([{"ok":{}}])", R"("ok")", "null", "5", "", "not json"}) {
        EXPECT_FALSE(Coding::decode<ControlResponse>(text)) << text;
        EXPECT_FALSE(Coding::decode<ControlRequest>(text)) << text;
        EXPECT_FALSE(Coding::decode<ControlEvent>(text)) << text;
    }
}

TEST(ControlProtocol, PayloadRules) {
    struct Case {
        const char* json;
        std::optional<ControlRequest> expected;
    };
    const Case cases[] = {
        // Contents of a payload-less case and extra inner keys are ignored.
        {R"({"snapshot":{"_0":1,"x":[]}})", ControlRequest::snapshot()},
        {R"({"deleteEntry":{"id":"E1","x":1}})", ControlRequest::deleteEntry("E1")},
        {R"({"setStartingPoints":{"_0":10.0}})", ControlRequest::setStartingPoints(10)},
        {R"({"setStartingPoints":{"_0":10,"_1":"x"}})", ControlRequest::setStartingPoints(10)},
        // Missing, null and mistyped payload values.
        {R"({"setStartingPoints":{"_0":"10"}})", std::nullopt},
        {R"({"setStartingPoints":{"_0":10.5}})", std::nullopt},
        {R"({"setStartingPoints":{"_0":9223372036854775808}})", std::nullopt},
        {R"({"setStartingPoints":{}})", std::nullopt},
        {R"({"setStartingPoints":{"value":10}})", std::nullopt},
        {R"({"setAllowUnauthenticated":{"_0":1}})", std::nullopt},
        {R"({"setAllowUnauthenticated":{"_0":"true"}})", std::nullopt},
        {R"({"setAllowUnauthenticated":{"_0":null}})", std::nullopt},
        {R"({"renameAccount":{"id":"A1"}})", std::nullopt},
        {R"({"renameAccount":{"displayName":"N"}})", std::nullopt},
        {R"({"renameAccount":{"id":"A1","displayName":5}})", std::nullopt},
        {R"({"deleteEntry":{}})", std::nullopt},
        {R"({"deleteEntry":{"id":null}})", std::nullopt},
        {R"({"deleteEntry":{"_0":"E1"}})", std::nullopt},
        {R"({"deleteAccount":{"id":7}})", std::nullopt},
        {R"({"createEntry":{"_0":null}})", std::nullopt},
        {R"({"createEntry":{"accountId":"A1","kind":"debit","flag":"none","amount":5,"memo":""}})",
         std::nullopt},
        {R"({"createEntry":{"_0":{"accountId":"A1","kind":"debit","flag":"none","memo":""}}})", std::nullopt},
        {R"({"createEntry":{"_0":{"accountId":"A1","kind":"refund","flag":"none","amount":5,"memo":""}}})",
         std::nullopt},
        {R"({"updateEntry":{"_0":{"id":"E1"}}})", std::nullopt},
        // The paged reads: cursors and limits are optional, null reads as absent.
        {R"({"accountHistory":{"accountId":"A1","before":null,"limit":null,"x":1}})",
         ControlRequest::accountHistory("A1")},
        {R"({"accountHistory":{"before":5}})", std::nullopt},
        {R"({"accountHistory":{"accountId":"A1","before":"5"}})", std::nullopt},
        {R"({"accountHistory":{"accountId":"A1","limit":1.5}})", std::nullopt},
        {R"({"exportEntries":{"after":-1}})", ControlRequest::exportEntries(-1)},
        {R"({"exportEntries":{"after":"1"}})", std::nullopt},
        {R"({"exportAccounts":{"after":7}})", std::nullopt},
        {R"({"exportAccounts":{"limit":0}})", ControlRequest::exportAccounts(std::nullopt, 0)},
        // A backup request without force never replaces a file.
        {R"({"backup":{"path":"/b"}})", ControlRequest::backup("/b", false)},
        {R"({"backup":{"path":"/b","force":null}})", ControlRequest::backup("/b", false)},
        {R"({"backup":{"path":"/b","force":"yes"}})", std::nullopt},
        {R"({"backup":{"force":true}})", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Coding::decode<ControlRequest>(c.json), c.expected) << c.json;
    }

    EXPECT_FALSE(Coding::decode<ControlResponse>(R"({"failure":{"_0":5}})"));
    EXPECT_FALSE(Coding::decode<ControlResponse>(R"({"failure":{}})"));
    EXPECT_FALSE(Coding::decode<ControlResponse>(R"({"snapshot":{}})"));
    EXPECT_FALSE(Coding::decode<ControlEvent>(R"({"apiCall":{}})"));
    EXPECT_FALSE(Coding::decode<ControlResponse>(R"({"entriesPage":{"entries":[]}})"));
    EXPECT_FALSE(Coding::decode<ControlResponse>(R"({"entriesPage":{"more":false}})"));
    EXPECT_FALSE(Coding::decode<ControlResponse>(R"({"accountsPage":{"accounts":{},"more":false}})"));
    EXPECT_FALSE(
        Coding::decode<ControlResponse>(R"({"entriesPage":{"entries":[{"id":"E1"}],"more":false}})"));

    // A fault deep inside a payload fails the whole message and is located.
    Json event = Coding::encode(ControlEvent::apiCall(sampleLog()));
    event["apiCall"]["_0"]["direction"] = "inbound";
    std::string error;
    EXPECT_FALSE(Coding::decodeTree<ControlEvent>(event, &error));
    EXPECT_EQ(error, "apiCall._0.direction: unknown Direction value");

    Json response = Coding::encode(ControlResponse::snapshot(sampleSnapshot()));
    response["snapshot"]["_0"]["settings"].erase("startingPoints");
    EXPECT_FALSE(Coding::decodeTree<ControlResponse>(response, &error));
    EXPECT_EQ(error, "snapshot._0.settings.startingPoints: required value is missing");
}

TEST(ControlProtocol, HostileInputFailsCleanly) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_FALSE(Coding::decode<ControlRequest>(deep));
    EXPECT_FALSE(Coding::decode<ControlRequest>(R"({"snapshot":)" + deep + "}"));
    EXPECT_FALSE(Coding::decode<ControlResponse>(R"({"ok":{},"x":)" + deep + "}"));
    EXPECT_FALSE(Coding::decode<ControlEvent>(std::string(100000, '{')));
    // Invalid UTF-8 in the text never decodes; nor can it be encoded.
    EXPECT_FALSE(Coding::decode<ControlResponse>("{\"failure\":{\"_0\":\"\xff\"}}"));
    EXPECT_FALSE(Coding::encodeToString(ControlResponse::failure("\xff")));
    EXPECT_FALSE(Coding::encodeToString(ControlRequest::renameAccount("A1", "\xe2\x82")));
}

TEST(ControlProtocol, ServiceConstants) {
    EXPECT_EQ(quorvaneServiceName, "K7QW2ZR5VD.com.zentrafell.quorvane.host");
    EXPECT_EQ(quorvaneCallerRequirement,
              "anchor apple generic and certificate leaf[subject.OU] = \"K7QW2ZR5VD\" and (identifier "
              "\"com.zentrafell.quorvane.bridge\" or identifier \"com.zentrafell.quorvane\")");
    EXPECT_EQ(quorvaneHostRequirement,
              "anchor apple generic and certificate leaf[subject.OU] = \"K7QW2ZR5VD\" and "
              "identifier \"com.zentrafell.quorvane.host\"");
    EXPECT_EQ(quorvaneTeamIdentifier, "K7QW2ZR5VD");
    EXPECT_EQ(quorvaneHostIdentifier, "com.zentrafell.quorvane.host");
    EXPECT_EQ(quorvaneBridgeIdentifier, "com.zentrafell.quorvane.bridge");
    EXPECT_EQ(quorvaneAppIdentifier, "com.zentrafell.quorvane");
}

} // namespace
} // namespace quorvane
