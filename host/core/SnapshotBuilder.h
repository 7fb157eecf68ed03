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
//
// Size: a snapshot always fits its budget (Limits::snapshotBudgetBytes, half a
// frame), whatever the ledger file and the API log hold; what is left out to
// get there is counted in Snapshot::omitted.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/Limits.h"
#include "common/Records.h"
#include "host/core/ApiLog.h"
#include "host/core/ConnectionRegistry.h"
#include "host/core/LedgerStore.h"

namespace quorvane {

class SnapshotBuilder {
public:
    // Entries carried by a snapshot, newest first.
    static constexpr auto entryLimit = static_cast<std::int64_t>(Limits::snapshotEntries);

    SnapshotBuilder(LedgerStore& store, ConnectionRegistry& registry, const ApiLog& apiLog,
                    std::size_t budgetBytes = Limits::snapshotBudgetBytes);

    SnapshotBuilder(const SnapshotBuilder&) = delete;
    SnapshotBuilder& operator=(const SnapshotBuilder&) = delete;

    // The whole state, within the budget (see fitToBudget). Every text in it is
    // valid UTF-8 (damaged stored text is repaired), so it can always be encoded.
    [[nodiscard]] Snapshot build();

    // Makes the encoded snapshot at most `budgetBytes` long (a budget below a
    // few KiB may leave only the settings and version). Nothing is touched when
    // it fits. Otherwise, in this order and each only while still too long:
    //   1. the oldest API log lines are dropped;
    //   2. texts longer than Limits::snapshotTextBytes (memos, display names)
    //      are shortened with the cut marker, and account client information
    //      longer than its stored bound is dropped from the account's view;
    //   3. the oldest entries are dropped;
    //   4. client information views are dropped, newest account first;
    //   5. the newest accounts, then the newest connections, are dropped.
    // Whatever was left out is counted in `omitted`. Every text must be valid
    // UTF-8.
    static void fitToBudget(Snapshot& snapshot, std::size_t budgetBytes);

    // The key/value view of a client information JSON text: name, title,
    // version first, then the other keys in code point order. nullopt for no
    // text, text that is not a JSON object, or an empty object.
    [[nodiscard]] static std::optional<std::vector<ClientInfoField>>
    clientInfoFields(const std::optional<std::string>& json);

private:
    LedgerStore& store_;
    ConnectionRegistry& registry_;
    const ApiLog& apiLog_;
    const std::size_t budgetBytes_;
};

} // namespace quorvane
