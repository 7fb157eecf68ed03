#include "app/ui/EntryInput.h"

#include <charconv>
#include <system_error>

namespace quorvane::EntryInput {

std::optional<std::int64_t> parseAmount(std::string_view text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) {
        return std::nullopt;
    }
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    // from_chars reads the sign itself, so "-9223372036854775808" fits while
    // its positive twin overflows.
    std::string_view number = negative ? text.substr(text.size() - digits.size() - 1) : digits;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc{} || end != number.data() + number.size()) {
        return std::nullopt;
    }
    return value;
}

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
