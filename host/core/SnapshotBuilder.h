#pragma once

// Builds the operator app's snapshot: accounts with balances and client info,
// the newest entries, the live agent connections, the settings and the API log.
//
// Ownership: the engine owns one instance; it refers to the engine's store,
// registry and API log, which outlive it.
//
// Threading: holds no state and no lock; any thread may build a snapshot at any
// time. The parts are read one after the other, so a snapshot taken while
// others write may mix states from a few moments apart.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/Records.h"
#include "host/core/ApiLog.h"
#include "host/core/ConnectionRegistry.h"
#include "host/core/LedgerStore.h"

namespace quorvane {

class SnapshotBuilder {
public:
    // Entries carried by a snapshot, newest first.
    static constexpr std::int64_t entryLimit = 2000;

    SnapshotBuilder(LedgerStore& store, ConnectionRegistry& registry, const ApiLog& apiLog);

    SnapshotBuilder(const SnapshotBuilder&) = delete;
    SnapshotBuilder& operator=(const SnapshotBuilder&) = delete;

    // The whole state. Every text in it is valid UTF-8 (damaged stored text is
    // repaired), so it can always be encoded.
    [[nodiscard]] Snapshot build();

    // The key/value view of a client information JSON text: name, title,
    // version first, then the other keys in code point order. nullopt for no
    // text, text that is not a JSON object, or an empty object.
    [[nodiscard]] static std::optional<std::vector<ClientInfoField>>
    clientInfoFields(const std::optional<std::string>& json);

private:
    LedgerStore& store_;
    ConnectionRegistry& registry_;
    const ApiLog& apiLog_;
};

} // namespace quorvane
