#pragma once

// JSON value trees and their one text form.
//
// Every program of Quorvane reads and writes JSON through these functions so
// that the wire form is the same everywhere: compact, UTF-8 as is, control
// characters escaped, and every '/' inside a string written as "\/".

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quorvane {

// Object members are kept in key order; member order carries no meaning on the wire.
using Json = nlohmann::json;

// Deeper nesting than this is refused by the parser, so that no reader or
// writer of a tree can exhaust the stack.
inline constexpr std::size_t maxJsonDepth = 256;

enum class JsonTopLevel {
    containerOnly, // an object or an array, as a message must be
    anyValue,      // also a bare string, number, boolean or null
};

// What the parser found for the member "id" of a top-level object.
struct TopLevelIdText {
    // The number exactly as it was written, when the top-level "id" member is a
    // number (the last one, when the key repeats). Empty otherwise.
    std::optional<std::string> numberLexeme;
};

// Parses one JSON text. Never throws: any syntax error, invalid UTF-8 inside a
// string, a number that does not fit a double, nesting deeper than
// maxJsonDepth or (with containerOnly) a bare top-level value answers nullopt.
// Surrounding white space is allowed; trailing garbage is not.
[[nodiscard]] std::optional<Json> parseJson(std::string_view text,
                                            JsonTopLevel topLevel = JsonTopLevel::containerOnly,
                                            TopLevelIdText* idText = nullptr);

// Serializes a tree compactly. Answers nullopt (never throws) when the tree holds
// a string that is not valid UTF-8, a non-finite number or a binary value.
[[nodiscard]] std::optional<std::string> serializeJson(const Json& value);

// Serializes a string as one JSON string literal, in the same form as serializeJson.
// Answers nullopt when the text is not valid UTF-8.
[[nodiscard]] std::optional<std::string> serializeJsonString(std::string_view text);

// Appends the same literal as serializeJsonString to `out`, without a tree or a
// temporary copy, for replies written straight to text. False, with `out`
// unchanged, when the text is not valid UTF-8.
[[nodiscard]] bool appendJsonString(std::string& out, std::string_view text);

// Whether JSON text may hold `word` (ASCII letters, digits and '_') inside a
// string: written out, or with characters spelled as \u escapes, the only
// escape that can stand for them. False means it certainly does not, so the
// text need not be parsed to look for it.
[[nodiscard]] bool jsonTextMayMention(std::string_view text, std::string_view word);

// The value of a JSON number whose value is integral and fits a signed 64-bit
// integer. The parser stores every number whose written value is such an
// integer as an integer ("5", "5.0" and "5e0" all give 5), so a double here
// always stands for a fraction or an out-of-range value and gives nullopt, as
// do strings, booleans and null.
[[nodiscard]] std::optional<std::int64_t> jsonInt64(const Json& value);

// Lenient member lookup: the member `key` of `object` when `object` is an object
// that has it, else nullptr.
[[nodiscard]] const Json* jsonMember(const Json& object, std::string_view key);

// The member as a string / object, or nullptr when missing or of another type.
[[nodiscard]] const std::string* jsonStringMember(const Json& object, std::string_view key);
[[nodiscard]] const Json* jsonObjectMember(const Json& object, std::string_view key);

} // namespace quorvane
