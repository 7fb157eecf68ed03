#pragma once

// The operator-facing kind of a ledger entry: five cases folded from the two
// shared fields `kind` and `flag`. Pure values and functions; no Qt, no state.

#include <array>
#include <string_view>

#include "common/Records.h"

namespace quorvane {

enum class EntryType { credit, bonus, debit, penalty, note };

// In the order pickers list them.
inline constexpr std::array<EntryType, 5> allEntryTypes{EntryType::credit, EntryType::bonus, EntryType::debit,
                                                        EntryType::penalty, EntryType::note};

// "credit", "bonus", "debit", "penalty", "note".
[[nodiscard]] std::string_view rawValue(EntryType type);
// "Credit", "Bonus", "Debit", "Penalty", "Note".
[[nodiscard]] std::string_view label(EntryType type);

[[nodiscard]] TransactionKind kindOf(EntryType type);
[[nodiscard]] LedgerFlag flagOf(EntryType type);

// A credit flagged bonus is bonus, any other credit is credit; a debit flagged
// penalty is penalty, any other debit is debit; a note is note whatever its flag.
[[nodiscard]] EntryType entryTypeOf(TransactionKind kind, LedgerFlag flag);
[[nodiscard]] inline EntryType entryTypeOf(const LedgerEntry& entry) {
    return entryTypeOf(entry.kind, entry.flag);
}

} // namespace quorvane
