#pragma once

// The operator's requests to the host as blocking calls, for programs without
// Qt (the command-line operator tool, tests). The windowed app keeps its own
// asynchronous ControlClient; both speak the same control protocol.
//
// The host admits an operator client only from a program that carries an
// operator's identity note (as the app does by linking the objects of
// quorvane_identity_app into its executable); this library links none.
//
// One OperatorClient holds one service connection, made at the first call
// and made again at the next call after the host went away. The host counts
// the connection as an operator's from its first control request on; only
// then do pushed events (API log lines, data and connection changes) arrive.
//
// Errors: every call answers a Result. The error message is one sentence for
// a person: the host could not be reached, gave no answer in time, answered
// something this program cannot read, or refused (its own failure text; for a
// request the host does not know, a sentence saying it may be older than this
// program).
//
// Threads: calls may be made from any thread, also concurrently; each blocks
// its caller until the answer, a failure or its time-out. Never call from the
// event or drop handler (they run on the connection's reader thread, which
// delivers the answer the call waits for). Set the handlers before the first
// call. Destroying the client closes the connection and waits for its threads;
// no handler runs afterwards.
//
// Paging: the host answers listings in pages that always fit one reply
// (ControlProtocol.h: maxPageEntries, maxPageAccounts, maxPageBytes). The
// forEach... calls walk every page for their caller.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/ControlProtocol.h"
#include "common/Records.h"
#include "common/Result.h"
#include "common/transport/ServiceConnection.h"

namespace quorvane {

class OperatorClient {
public:
    // Time-out of one request (backup: backupTimeout).
    static constexpr std::chrono::milliseconds defaultTimeout{30'000};
    // A backup copies the whole ledger file before it answers.
    static constexpr std::chrono::milliseconds backupTimeout{600'000};

    using EventHandler = std::function<void(const ControlEvent&)>;
    using DropHandler = std::function<void()>;

    // `options`: where to find the host (empty: this user's runtime folder).
    explicit OperatorClient(ConnectionOptions options = {});
    ~OperatorClient();

    OperatorClient(const OperatorClient&) = delete;
    OperatorClient& operator=(const OperatorClient&) = delete;

    // Pushed events, decoded (an undecodable one is dropped); runs on the
    // connection's reader thread.
    void setEventHandler(EventHandler handler);
    // The live connection dropped (the host ended or went away); runs on a
    // transport thread. The next call connects again.
    void setDropHandler(DropHandler handler);

    // ---- Any request ----------------------------------------------------------

    // The host's decoded response, whatever its case (a failure response is a
    // success here); an Error only when there is no readable response.
    [[nodiscard]] Result<ControlResponse> request(const ControlRequest& request,
                                                  std::chrono::milliseconds timeout = defaultTimeout);

    // ---- Typed calls: a failure response becomes an Error with its text ------

    [[nodiscard]] Result<Snapshot> snapshot();
    // A change (createEntry, updateEntry, deleteEntry, renameAccount,
    // deleteAccount, the two settings): success when the host answers ok.
    [[nodiscard]] Result<void> change(const ControlRequest& request);

    // One page of an account's history, newest first, below `before` when
    // given; `limit` absent: the host's page size.
    [[nodiscard]] Result<ControlResponse::EntriesPage> accountHistory(const std::string& accountId,
                                                                      std::optional<std::int64_t> before = {},
                                                                      std::optional<std::int64_t> limit = {});
    // One page of the whole ledger, oldest first, above sequence `after`.
    [[nodiscard]] Result<ControlResponse::EntriesPage> exportEntries(std::optional<std::int64_t> after = {},
                                                                     std::optional<std::int64_t> limit = {});
    // One page of accounts, in byte order of their ids, above `after`.
    [[nodiscard]] Result<ControlResponse::AccountsPage>
    exportAccounts(std::optional<std::string> after = {}, std::optional<std::int64_t> limit = {});

    // Walks pages until the end or until `visit` answers false (a success).
    // An error of any page ends the walk with that error; what was visited
    // stays visited.
    [[nodiscard]] Result<void> forEachHistoryEntry(const std::string& accountId,
                                                   const std::function<bool(const LedgerEntry&)>& visit,
                                                   std::optional<std::int64_t> before = {});
    // The whole ledger for an export: every account, then every entry (see
    // ControlRequest::ExportEntries for what "every" means while others write).
    [[nodiscard]] Result<void> forEachExportedAccount(const std::function<bool(const Account&)>& visit);
    [[nodiscard]] Result<void> forEachExportedEntry(const std::function<bool(const LedgerEntry&)>& visit);

    // Asks the host to copy the live ledger to `path` (made absolute against
    // this process's working folder before it is sent). See
    // ControlRequest::Backup for what the host guarantees.
    [[nodiscard]] Result<void> backup(const std::string& path, bool force,
                                      std::chrono::milliseconds timeout = backupTimeout);

    class Core;

private:
    std::shared_ptr<Core> core_;
};

} // namespace quorvane
