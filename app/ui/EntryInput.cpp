#include "app/ui/EntryInput.h"

namespace quorvane::EntryInput {

std::int64_t entryAmount(EntryType type, std::string_view amountText) {
    if (type == EntryType::note) {
        return 0;
    }
    std::int64_t value = parseAmount(amountText).value_or(0);
    return value < 0 ? 0 : value;
}

bool canSubmit(EntryType type, std::string_view amountText, std::string_view memo) {
    if (type == EntryType::note) {
        return !memo.empty();
    }
    auto value = parseAmount(amountText);
    return value && *value > 0;
}

NewLedgerEntry newEntry(std::string accountId, EntryType type, std::string_view amountText,
                        std::string memo) {
    NewLedgerEntry entry;
    entry.accountId = std::move(accountId);
    entry.kind = kindOf(type);
    entry.flag = flagOf(type);
    entry.amount = entryAmount(type, amountText);
    entry.memo = std::move(memo);
    return entry;
}

LedgerEntry editedEntry(LedgerEntry entry, EntryType type, std::string_view amountText, std::string memo) {
    entry.kind = kindOf(type);
    entry.flag = flagOf(type);
    entry.amount = entryAmount(type, amountText);
    entry.memo = std::move(memo);
    return entry;
}

} // namespace quorvane::EntryInput
