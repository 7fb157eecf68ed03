#pragma once

// The operator app's control requests: snapshots, entry and account changes,
// the two settings, the paged reads (an account's history, the export) and
// the online backup. Each change that took effect is announced to the apps
// (dataChanged, and connectionsChanged where bindings may have changed); a new
// entry is also pushed to its account's agents. Reads and backups announce
// nothing.
//
// Paged answers always fit one frame from the host: at most maxPageEntries or
// maxPageAccounts records and maxPageBytes of record text
// (ControlProtocol.h). A page is read on a connection of its own
// (LedgerReader), so a failing file is reported, never taken for the end.
//
// Ownership: the engine owns one instance; it refers to the engine's store,
// registry, identity, dispatch and snapshot builder, which outlive it, and
// owns its reader of the ledger file.
//
// Threading: any thread may call it, concurrently with agent traffic; its
// only state is the reader, which has its own lock. Events go out after the
// change they announce; a failed change announces nothing. A backup blocks
// its caller while the file is copied, but neither the store nor other
// requests.

#include <string>

#include "common/ControlProtocol.h"
#include "host/core/AgentDispatch.h"
#include "host/core/AgentIdentity.h"
#include "host/core/ConnectionRegistry.h"
#include "host/core/LedgerReader.h"
#include "host/core/LedgerStore.h"
#include "host/core/SnapshotBuilder.h"

namespace quorvane {

class ControlHandler {
public:
    // `ledgerPath`: the store's file, read by the paged requests and copied
    // by the backup.
    ControlHandler(LedgerStore& store, ConnectionRegistry& registry, AgentIdentity& identity,
                   AgentDispatch& dispatch, SnapshotBuilder& snapshots, const std::string& ledgerPath);

    ControlHandler(const ControlHandler&) = delete;
    ControlHandler& operator=(const ControlHandler&) = delete;

    // One encoded ControlRequest from the operator app on `connectionId`, which
    // becomes a control connection (even when the text is malformed). Answers
    // the encoded ControlResponse: always a text.
    [[nodiscard]] std::string handle(const std::string& text, const std::string& connectionId);

    // One decoded request. Answers ok, a snapshot, a page, or a failure with
    // the message the app shows.
    [[nodiscard]] ControlResponse handle(const ControlRequest& request);

private:
    [[nodiscard]] ControlResponse accountHistory(const ControlRequest::AccountHistory& request);
    [[nodiscard]] ControlResponse exportEntries(const ControlRequest::ExportEntries& request);
    [[nodiscard]] ControlResponse exportAccounts(const ControlRequest::ExportAccounts& request);
    [[nodiscard]] ControlResponse backup(const ControlRequest::Backup& request);

    LedgerStore& store_;
    ConnectionRegistry& registry_;
    AgentIdentity& identity_;
    AgentDispatch& dispatch_;
    SnapshotBuilder& snapshots_;
    LedgerReader reader_;
};

} // namespace quorvane
