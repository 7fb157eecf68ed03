#pragma once

// UTF-8 text as a user sees it: characters are extended grapheme clusters.
// Pure functions, safe on any thread.

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvane::Utf8Text {

// Whether the bytes are well-formed UTF-8 (no overlongs, no surrogates).
[[nodiscard]] bool isValid(std::string_view text);

// The text with every ill-formed sequence replaced by U+FFFD. An ill-formed
// sequence is the longest start of a well-formed sequence (at least one byte),
// so "\xE2\x82" becomes one U+FFFD and "\xC0\xAF" two. Well-formed text is
// returned unchanged.
[[nodiscard]] std::string sanitize(std::string_view text);

// The number of extended grapheme clusters of sanitize(text): each ill-formed
// sequence counts as the U+FFFD that replaces it.
[[nodiscard]] std::size_t graphemeCount(std::string_view text);

// The longest prefix of sanitize(text) that holds at most maxGraphemes clusters
// and at most maxBytes bytes, cut only between clusters (so never inside a UTF-8
// sequence or a cluster). The whole sanitized text when it fits. When the first
// cluster alone exceeds maxBytes the result is empty. Reads only as much of the
// text as the result needs, plus one character.
[[nodiscard]] std::string truncate(std::string_view text, std::size_t maxGraphemes, std::size_t maxBytes);

} // namespace quorvane::Utf8Text
