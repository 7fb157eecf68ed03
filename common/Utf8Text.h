#pragma once

// UTF-8 text as a user sees it: characters are extended grapheme clusters.
// Pure functions, safe on any thread.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvane::Utf8Text {

// Whether the bytes are well-formed UTF-8 (no overlongs, no surrogates).
[[nodiscard]] bool isValid(std::string_view text);

// The text with every ill-formed sequence replaced by U+FFFD.
[[nodiscard]] std::string sanitize(std::string_view text);

// The number of extended grapheme clusters. Ill-formed bytes count as one
// character each (as U+FFFD would).
[[nodiscard]] std::size_t graphemeCount(std::string_view text);

// The longest prefix of sanitize(text) that holds at most maxGraphemes clusters
// and at most maxBytes bytes, cut only between clusters (so never inside a UTF-8
// sequence or a cluster). The whole sanitized text when it fits.
[[nodiscard]] std::string truncate(std::string_view text, std::size_t maxGraphemes, std::size_t maxBytes);

} // namespace quorvane::Utf8Text
