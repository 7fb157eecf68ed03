#pragma once

// Points as the operator types them, read by one rule everywhere: the app's
// entry editors and settings, and quorvanectl. Pure; safe on any thread.

#include <cstdint>
#include <optional>
#include <string_view>

namespace quorvane {

// A signed 64-bit decimal integer: an optional single leading '+' or '-', then
// at least one ASCII digit, and nothing else (no spaces, group separators or
// decimal point). nullopt for any other text and for a value outside 64 bits.
[[nodiscard]] std::optional<std::int64_t> parseAmount(std::string_view text);

} // namespace quorvane
