#pragma once

// The operator app's control requests: snapshots, entry and account changes and
// the two settings. Each change that took effect is announced to the apps
// (dataChanged, and connectionsChanged where bindings may have changed); a new
// entry is also pushed to its account's agents.
//
// Ownership: the engine owns one instance; it refers to the engine's store,
// registry, identity, dispatch and snapshot builder, which outlive it.
//
// Threading: holds no state and no lock; any thread may call it, concurrently
// with agent traffic. Events go out after the change they announce; a failed
// change announces nothing.

#include <string>

#include "common/ControlProtocol.h"
#include "host/core/AgentDispatch.h"
#include "host/core/AgentIdentity.h"
#include "host/core/ConnectionRegistry.h"
#include "host/core/LedgerStore.h"
#include "host/core/SnapshotBuilder.h"

namespace quorvane {

class ControlHandler {
public:
    ControlHandler(LedgerStore& store, ConnectionRegistry& registry, AgentIdentity& identity,
                   AgentDispatch& dispatch, SnapshotBuilder& snapshots);

    ControlHandler(const ControlHandler&) = delete;
    ControlHandler& operator=(const ControlHandler&) = delete;

    // One encoded ControlRequest from the operator app on `connectionId`, which
    // becomes a control connection (even when the text is malformed). Answers
    // the encoded ControlResponse: always a text.
    [[nodiscard]] std::string handle(const std::string& text, const std::string& connectionId);

    // One decoded request. Answers ok, a snapshot, or a failure with the
    // message the app shows.
    [[nodiscard]] ControlResponse handle(const ControlRequest& request);

private:
    LedgerStore& store_;
    ConnectionRegistry& registry_;
    AgentIdentity& identity_;
    AgentDispatch& dispatch_;
    SnapshotBuilder& snapshots_;
};

} // namespace quorvane
