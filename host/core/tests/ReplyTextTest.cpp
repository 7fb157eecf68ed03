// getBalance and getTransactions replies are written straight to text. These
// tests hold them to the bytes the tree form gives for the same reply: the
// tree is rebuilt here from what the ledger holds and serialized the one shared
// way, and the two texts must be equal byte for byte.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/IsoDate.h"
#include "common/Utf8Text.h"
#include "host/core/Mcp.h"
#include "host/core/tests/HostEngineTestSupport.h"

namespace quorvane {
namespace {

using test::EngineFixture;

// The reply of the tree form: success(id, toolResult(structured)), with a
// numeric id written as the agent wrote it.
std::string treeReply(const std::string& idText, const Json& structured) {
    Json reply = MCP::success(Json(nullptr), MCP::toolResult(structured));
    reply.erase("id");
    const std::string rest = *serializeJson(reply);
    return "{\"id\":" + idText + "," + rest.substr(1);
}

Json entryTree(const LedgerEntry& entry) {
    return Json{
        {"id", Utf8Text::sanitize(entry.id)},   {"kind", rawValue(entry.kind)},
        {"flag", rawValue(entry.flag)},         {"amount", entry.amount},
        {"signedAmount", entry.signedAmount()}, {"memo", Utf8Text::sanitize(entry.memo)},
        {"sequence", entry.sequence},           {"createdAt", formatIsoDate(entry.createdAt)},
    };
}

class ReplyText : public EngineFixture {
protected:
    std::string bind(const std::string& connection) {
        open(connection);
        initialize(connection, Json{{"name", "reply-text-" + connection}});
        const std::optional<std::string> account = boundAccount(connection);
        EXPECT_TRUE(account);
        return account.value_or("");
    }

    void addEntry(const std::string& account, TransactionKind kind, LedgerFlag flag, std::int64_t amount,
                  const std::string& memo) {
        ASSERT_EQ(control("setup", ControlRequest::createEntry({account, kind, flag, amount, memo})),
                  ControlResponse::ok());
    }

    std::string call(const std::string& connection, const std::string& idText, const std::string& name,
                     const std::string& argumentsText) {
        const std::string line = R"({"jsonrpc":"2.0","id":)" + idText +
                                 R"(,"method":"tools/call","params":{"name":")" + name + R"(","arguments":)" +
                                 argumentsText + "}}";
        return send(connection, line).value_or("<no reply>");
    }
};

TEST_F(ReplyText, TransactionsAreTheBytesOfTheTreeForm) {
    const std::string account = bind("c");
    // Everything the text writer escapes, and what it must leave alone.
    const std::vector<std::string> memos = {
        "",
        "plain words",
        "quote \" backslash \\ slash / and \\/",
        "controls \b\f\n\r\t \x01\x1f and DEL \x7f",
        "caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x8f\x86 \xe2\x80\xa8",
        R"({"json":"inside","n":[1,2]})",
    };
    for (std::size_t i = 0; i < memos.size(); ++i) {
        const auto kind = i % 3 == 0   ? TransactionKind::credit
                          : i % 3 == 1 ? TransactionKind::debit
                                       : TransactionKind::note;
        addEntry(account, kind, i % 2 == 0 ? LedgerFlag::bonus : LedgerFlag::none,
                 i == 1 ? -9223372036854775807 : static_cast<std::int64_t>(i * 1000), memos[i]);
    }
    // A damaged row, as only another program could write it.
    test::execOnFile(dbPath,
                     "UPDATE ledger SET memo = CAST(X'6461ff6d2f' AS TEXT) WHERE memo = 'plain words';");

    struct Case {
        const char* name;
        std::string idText;
        std::string arguments;
        std::int64_t limit;
    };
    const Case cases[] = {
        {"default page, integer id", "7", "{}", 25},
        {"small page, string id with escapes", R"("a/\"b\u00e9")", R"({"limit":3})", 3},
        {"number written with a fraction", "1.50", R"({"limit":100})", 100},
        {"null id", "null", R"({"limit":1})", 1},
    };
    for (const Case& c : cases) {
        const std::int64_t unseen = store().unseenCount(account);
        const std::int64_t balance = store().balance(account);
        const std::string reply = call("c", c.idText, "getTransactions", c.arguments);

        Json transactions = Json::array();
        for (const LedgerEntry& entry : store().entries(account, c.limit, std::nullopt)) {
            transactions.push_back(entryTree(entry));
        }
        const Json structured{{"accountId", account},
                              {"balance", balance},
                              {"unseenCount", unseen},
                              {"transactions", std::move(transactions)}};
        const std::string idText =
            c.idText == R"("a/\"b\u00e9")" ? *serializeJson(Json("a/\"b\u00e9")) : c.idText;
        EXPECT_EQ(reply, treeReply(idText, structured)) << c.name;
    }
}

TEST_F(ReplyText, BalanceIsTheBytesOfTheTreeForm) {
    const std::string account = bind("c");
    addEntry(account, TransactionKind::credit, LedgerFlag::none, 5, "new");
    for (const bool unseenLeft : {true, false}) {
        const Json structured{{"accountId", account},
                              {"balance", store().balance(account)},
                              {"unseenCount", store().unseenCount(account)},
                              {"hasNewItems", unseenLeft}};
        EXPECT_EQ(call("c", "\"b-1\"", "getBalance", "{}"), treeReply("\"b-1\"", structured));
        (void)call("c", "2", "getTransactions", "{}"); // marks everything seen
    }
}

} // namespace
} // namespace quorvane
