// quorvanectl's values: grouped numbers, terminal-safe text, CSV fields,
// aligned tables and naming accounts.

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <sstream>

#include "common/Limits.h"
#include "ctl/Lookup.h"
#include "ctl/Text.h"

namespace quorvane::ctl {
namespace {

TEST(CtlText, GroupsThousandsOfEveryValue) {
    const std::pair<std::int64_t, std::string> cases[] = {
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {-1234567, "-1,234,567"},
        {std::numeric_limits<std::int64_t>::max(), "9,223,372,036,854,775,807"},
        {std::numeric_limits<std::int64_t>::min(), "-9,223,372,036,854,775,808"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(groupedNumber(value), text);
    }
}

TEST(CtlText, TextFromAgentsCannotSteerTheTerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain één 🙂", "plain één 🙂"},
        {"red\x1b[31mtext", "red\\x1B[31mtext"},
        {"two\nlines\r\tand tab", "two\\nlines\\r\\tand tab"},
        {"bell\x07 del\x7f", "bell\\x07 del\\x7F"},
        {"c1 \xc2\x9b"
         "31m",
         "c1 \\x9B31m"},
        {"bidi \xe2\x80\xae"
         "gnp.exe",
         "bidi \\u202Egnp.exe"},
        {"broken \xff utf8", "broken \xef\xbf\xbd utf8"},
        {"back\\slash", "back\\slash"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(terminalSafe(text), shown) << text;
    }
}

TEST(CtlText, ClipsByColumnsNotBytes) {
    EXPECT_EQ(clipToWidth("short", 10), "short");
    EXPECT_EQ(clipToWidth("abcdefghij", 5), "abcd\u2026");
    // Wide characters take two columns each and are never cut in half.
    EXPECT_EQ(clipToWidth("日本語テキスト", 6), "日本\u2026");
    EXPECT_EQ(displayWidth("日本"), 4u);
    EXPECT_EQ(displayWidth("e\u0301"), 1u) << "a combining mark takes no column";
    EXPECT_EQ(clipToWidth("x\x1b[2J", 100), "x\\x1B[2J");
}

TEST(CtlText, CsvFieldsFollowRfc4180) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\rhere", "\"cr\rhere\""},
        {" spaced ", " spaced "},
        {"één", "één"},
    };
    for (const auto& [text, field] : cases) {
        EXPECT_EQ(csvField(text), field) << text;
    }
    EXPECT_EQ(csvRecord({"a", "b,c", ""}), "a,\"b,c\",\r\n");
}

TEST(CtlText, TablesAlignByDisplayWidth) {
    Table table({{"ID"}, {"LABEL"}, {"BALANCE", Table::Align::right}});
    table.addRow({"1", "日本", "5"});
    table.addRow({"22", "ab\x1b", "1,000"});
    std::ostringstream out;
    table.print(out);
    EXPECT_EQ(out.str(), "ID  LABEL   BALANCE\n"
                         "1   日本          5\n"
                         "22  ab\\x1B    1,000\n");
}

TEST(CtlLookup, NamesAnAccountByIdOrByAnUnambiguousLabel) {
    const std::vector<Account> accounts = {
        Account{"AAAA-1", "alpha", IdentityMode::clientInfo, {}, {}, 1, {}, false},
        Account{"BBBB-2", "twin", IdentityMode::clientInfo, {}, {}, 2, {}, false},
        Account{"CCCC-3", "twin", IdentityMode::credential, {}, {}, 3, {}, false},
        Account{"DDDD-4", "CCCC-3", IdentityMode::credential, {}, {}, 4, {}, false},
    };
    struct Case {
        std::string name;
        std::string id;    // empty: fails
        std::string error; // part of the failure
    };
    const Case cases[] = {
        {"AAAA-1", "AAAA-1", ""},    {"aaaa-1", "AAAA-1", ""},     {"alpha", "AAAA-1", ""},
        {"CCCC-3", "CCCC-3", ""}, // an id wins over a label that spells it
        {"Alpha", "", "no account"}, {"nobody", "", "no account"}, {"twin", "", "BBBB-2, CCCC-3"},
    };
    for (const auto& c : cases) {
        Result<Account> found = findAccount(accounts, c.name);
        if (c.id.empty()) {
            ASSERT_FALSE(found.ok()) << c.name;
            EXPECT_NE(found.error().message.find(c.error), std::string::npos) << found.error().message;
        } else {
            ASSERT_TRUE(found.ok()) << c.name << ": " << found.error().message;
            EXPECT_EQ(found->id, c.id);
        }
    }
}

// A snapshot cut to its budget may carry few entries yet not the whole
// ledger: its entry counts would then be too small.
TEST(CtlLookup, TrustsASnapshotForTheWholeLedgerOnlyWhenNothingWasLeftOut) {
    struct Case {
        std::size_t entries;
        std::optional<SnapshotOmissions> omitted;
        bool whole;
    };
    SnapshotOmissions entriesLeftOut;
    entriesLeftOut.entries = 1;
    SnapshotOmissions logLeftOut;
    logLeftOut.apiLogEntries = 5;
    const Case cases[] = {
        {0, std::nullopt, true},
        {Limits::snapshotEntries - 1, std::nullopt, true},
        {Limits::snapshotEntries, std::nullopt, false},
        {3, entriesLeftOut, false},
        {3, logLeftOut, true},
        {3, SnapshotOmissions{}, true},
    };
    for (const auto& c : cases) {
        Snapshot snapshot;
        snapshot.entries.resize(c.entries);
        snapshot.omitted = c.omitted;
        EXPECT_EQ(holdsWholeLedger(snapshot), c.whole) << c.entries << " entries";
    }
}

} // namespace
} // namespace quorvane::ctl
