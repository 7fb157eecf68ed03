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

// Defined for ClientInfo, ClientInfoField, Account, LedgerEntry, NewLedgerEntry,
// LiveConnection, ApiLogEntry, Settings, Snapshot, ControlRequest,
// ControlResponse and ControlEvent.

// The JSON tree of a value. Never fails (text validity is checked when the tree
// is serialized).
template <class T>
[[nodiscard]] Json encode(const T& value);

// The value from a JSON tree, or nullopt when the tree does not decode.
template <class T>
[[nodiscard]] std::optional<T> decodeTree(const Json& tree);

// The JSON text of a value, or nullopt when it cannot be written (for example a
// string that is not valid UTF-8).
template <class T>
[[nodiscard]] std::optional<std::string> encodeToString(const T& value) {
    return serializeJson(encode(value));
}

// The value from JSON text, or nullopt on any failure (the reason is dropped).
template <class T>
[[nodiscard]] std::optional<T> decode(std::string_view text) {
    auto tree = parseJson(text, JsonTopLevel::anyValue);
    if (!tree) {
        return std::nullopt;
    }
    return decodeTree<T>(*tree);
}

} // namespace quorvane::QuorvaneCoding
