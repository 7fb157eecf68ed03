#pragma once

// What the entry editors make of typed text: the amount rule shared by the add
// form and the edit sheet, when the add form may submit, and the records the
// editors hand to the model. Pure functions; no Qt.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/ui/EntryType.h"
#include "common/Amount.h"
#include "common/Records.h"

namespace quorvane::EntryInput {

// The one amount rule (common/Amount.h), shared with quorvanectl.
using quorvane::parseAmount;

// The amount an entry of this type gets: 0 for a note whatever the text says;
// otherwise the parsed value, 0 when the text does not parse, and 0 for a
// negative value.
[[nodiscard]] std::int64_t entryAmount(EntryType type, std::string_view amountText);

// Whether the add form may submit: a note needs a memo (not trimmed: spaces
// count), any other type an amount that parses and is greater than 0.
[[nodiscard]] bool canSubmit(EntryType type, std::string_view amountText, std::string_view memo);

// The record the add form creates; the memo is kept exactly as typed.
[[nodiscard]] NewLedgerEntry newEntry(std::string accountId, EntryType type, std::string_view amountText,
                                      std::string memo);

// The edit sheet's result: `entry` with kind, flag, amount and memo replaced;
// id, account, dates and sequence kept.
[[nodiscard]] LedgerEntry editedEntry(LedgerEntry entry, EntryType type, std::string_view amountText,
                                      std::string memo);

} // namespace quorvane::EntryInput
