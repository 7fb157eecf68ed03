#pragma once

// The one JSON encoder and decoder configuration of Quorvane, for the records
// (Records.h) and the control messages (ControlProtocol.h).
//
// Encoding: one object per record, keys exactly the field names, absent
// optionals left out, enumerations as their raw strings, dates as
// "YYYY-MM-DDTHH:MM:SSZ"; text form as serializeJson (Json.h).
// Decoding: all or nothing. Unknown keys are ignored; a null or missing optional
// is absent; a missing, null or mistyped required field, an unknown enumeration
// string or a date in any other form fails the whole value. Integers accept any
// JSON number with an integral value that fits 64 bits.
//
// Thread-safe: no shared mutable state.

#include <optional>
#include <string>
#include <string_view>

#include "common/ControlProtocol.h"
#include "common/Json.h"
#include "common/Records.h"

namespace quorvane::QuorvaneCoding {

// The failure reason of a control message whose object does not hold exactly
// one key naming a case of its type.
inline constexpr std::string_view invalidKeyCountMessage = "Invalid number of keys found, expected one.";

// Defined for ClientInfo, ClientInfoField, Account, LedgerEntry, NewLedgerEntry,
// LiveConnection, ApiLogEntry, Settings, Snapshot, ControlRequest,
// ControlResponse and ControlEvent.

// The JSON tree of a value. Never fails (text validity is checked when the tree
// is serialized).
template <class T>
[[nodiscard]] Json encode(const T& value);

// The value from a JSON tree, or nullopt when the tree does not decode. On
// failure, a non-null `error` receives the reason: for a control message with
// other than one case key exactly invalidKeyCountMessage,
// otherwise a message naming the offending place (for example
// "entries[2].kind: unknown TransactionKind value"). On success `error` is
// left as it was.
template <class T>
[[nodiscard]] std::optional<T> decodeTree(const Json& tree, std::string* error = nullptr);

// The JSON text of a value, or nullopt when it cannot be written (for example a
// string that is not valid UTF-8).
template <class T>
[[nodiscard]] std::optional<std::string> encodeToString(const T& value) {
    return serializeJson(encode(value));
}

// The value from JSON text, or nullopt on any failure. The reason goes to a
// non-null `error` only (as for decodeTree); callers that do not ask drop it.
template <class T>
[[nodiscard]] std::optional<T> decode(std::string_view text, std::string* error = nullptr) {
    auto tree = parseJson(text, JsonTopLevel::anyValue);
    if (!tree) {
        if (error != nullptr) {
            *error = "The text is not valid JSON, or nests too deeply.";
        }
        return std::nullopt;
    }
    return decodeTree<T>(*tree, error);
}

} // namespace quorvane::QuorvaneCoding
