// Entry types and the editors' amount rule: the values behind the add form,
// the edit sheet and the ledger badges.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/ui/EntryInput.h"
#include "app/ui/EntryType.h"

namespace quorvane {
namespace {

TEST(EntryType, MapsToKindAndFlagAndBack) {
    struct Case {
        EntryType type;
        TransactionKind kind;
        LedgerFlag flag;
        std::string_view raw;
        std::string_view label;
    };
    const Case cases[] = {
        {EntryType::credit, TransactionKind::credit, LedgerFlag::none, "credit", "Credit"},
        {EntryType::bonus, TransactionKind::credit, LedgerFlag::bonus, "bonus", "Bonus"},
        {EntryType::debit, TransactionKind::debit, LedgerFlag::none, "debit", "Debit"},
        {EntryType::penalty, TransactionKind::debit, LedgerFlag::penalty, "penalty", "Penalty"},
        {EntryType::note, TransactionKind::note, LedgerFlag::none, "note", "Note"},
    };
    ASSERT_EQ(std::size(cases), allEntryTypes.size());
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::string(c.raw));
        EXPECT_EQ(allEntryTypes[i], c.type) << "picker order";
        EXPECT_EQ(kindOf(c.type), c.kind);
        EXPECT_EQ(flagOf(c.type), c.flag);
        EXPECT_EQ(rawValue(c.type), c.raw);
        EXPECT_EQ(label(c.type), c.label);
        EXPECT_EQ(entryTypeOf(kindOf(c.type), flagOf(c.type)), c.type) << "round trip";
    }
}

TEST(EntryType, FoldsFlagsThatDoNotBelongToTheKind) {
    EXPECT_EQ(entryTypeOf(TransactionKind::credit, LedgerFlag::penalty), EntryType::credit);
    EXPECT_EQ(entryTypeOf(TransactionKind::debit, LedgerFlag::bonus), EntryType::debit);
    EXPECT_EQ(entryTypeOf(TransactionKind::note, LedgerFlag::bonus), EntryType::note);
    EXPECT_EQ(entryTypeOf(TransactionKind::note, LedgerFlag::penalty), EntryType::note);
}

TEST(EntryInput, ParsesOnlyPlainSignedDecimalIntegers) {
    struct Case {
        std::string text;
        std::optional<std::int64_t> value;
    };
    const Case cases[] = {
        {"5", 5},
        {"+5", 5},
        {"-5", -5},
        {"007", 7},
        {"0", 0},
        {"-0", 0},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-5", std::nullopt},
        {"--5", std::nullopt},
        {"++5", std::nullopt},
        {"5.0", std::nullopt},
        {"1,000", std::nullopt},
        {"1 000", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"5a", std::nullopt},
        {"0x10", std::nullopt},
        {"1e3", std::nullopt},
        {"\xEF\xBC\x95", std::nullopt}, // a full-width digit five
        {std::string("5\0", 2), std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EntryInput::parseAmount(c.text), c.value) << "text: \"" << c.text << "\"";
    }
}

TEST(EntryInput, DerivesTheEntryAmount) {
    EXPECT_EQ(EntryInput::entryAmount(EntryType::credit, "25"), 25);
    EXPECT_EQ(EntryInput::entryAmount(EntryType::penalty, "+25"), 25);
    EXPECT_EQ(EntryInput::entryAmount(EntryType::debit, "-25"), 0) << "negative becomes 0";
    EXPECT_EQ(EntryInput::entryAmount(EntryType::bonus, "abc"), 0) << "unparsable becomes 0";
    EXPECT_EQ(EntryInput::entryAmount(EntryType::note, "25"), 0) << "a note never carries an amount";
}

TEST(EntryInput, CanSubmitTable) {
    struct Case {
        EntryType type;
        std::string amount;
        std::string memo;
        bool enabled;
    };
    const Case cases[] = {
        {EntryType::credit, "", "memo", false},
        {EntryType::credit, "0", "", false},
        {EntryType::debit, "-5", "", false},
        {EntryType::credit, "+", "", false},
        {EntryType::credit, "5.0", "", false},
        {EntryType::credit, "1,000", "", false},
        {EntryType::credit, " 5", "", false},
        {EntryType::credit, "9223372036854775808", "", false},
        {EntryType::credit, "5", "", true},
        {EntryType::bonus, "+5", "", true},
        {EntryType::penalty, "007", "", true},
        {EntryType::credit, "9223372036854775807", "", true},
        {EntryType::note, "", "", false},
        {EntryType::note, "5", "", false},
        {EntryType::note, "", "x", true},
        {EntryType::note, "not a number", "   ", true}, // spaces count as a memo
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EntryInput::canSubmit(c.type, c.amount, c.memo), c.enabled)
            << rawValue(c.type) << " amount \"" << c.amount << "\" memo \"" << c.memo << "\"";
    }
}

TEST(EntryInput, BuildsTheRecordsTheEditorsSend) {
    NewLedgerEntry created = EntryInput::newEntry("A1", EntryType::note, "12", " as typed ");
    EXPECT_EQ(created, (NewLedgerEntry{"A1", TransactionKind::note, LedgerFlag::none, 0, " as typed "}));

    LedgerEntry original{"E1", "A1",   TransactionKind::credit,       LedgerFlag::none,
                         10,   "memo", makeDate(2024, 1, 2, 3, 4, 5), makeDate(2024, 1, 3, 3, 4, 5),
                         42};
    LedgerEntry asPenalty = EntryInput::editedEntry(original, EntryType::penalty, "10", "memo");
    LedgerEntry expected = original;
    expected.kind = TransactionKind::debit;
    expected.flag = LedgerFlag::penalty;
    EXPECT_EQ(asPenalty, expected) << "id, account, dates and sequence are kept";

    LedgerEntry asNote = EntryInput::editedEntry(original, EntryType::note, "10", "");
    EXPECT_EQ(asNote.kind, TransactionKind::note);
    EXPECT_EQ(asNote.flag, LedgerFlag::none);
    EXPECT_EQ(asNote.amount, 0);
    EXPECT_EQ(asNote.memo, "");

    LedgerEntry unparsable = EntryInput::editedEntry(original, EntryType::credit, "ten", "memo");
    EXPECT_EQ(unparsable.amount, 0) << "the edit sheet saves an unparsable amount as 0";
}

} // namespace
} // namespace quorvane
