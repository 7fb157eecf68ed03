#include "common/Amount.h"

#include <charconv>
#include <system_error>

namespace quorvane {

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

} // namespace quorvane
