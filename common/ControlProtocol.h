#pragma once

// The service contract between the host and its two kinds of peers (bridges and
// operator apps): the service name, the peer identity requirements, the two
// protocols and the control messages. JSON forms: see Coding.h.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/Records.h"

namespace quorvane {

// ---- Service name and peer identities -----------------------------------------

inline constexpr std::string_view quorvaneServiceName = "K7QW2ZR5VD.com.zentrafell.quorvane.host";

// Requirement texts: the host admits callers that satisfy the first, clients
// admit a host that satisfies the second. The transport maps them to its peer
// checks in one place.
inline constexpr std::string_view quorvaneCallerRequirement =
    R"(anchor apple generic and certificate leaf[subject.OU] = "K7QW2ZR5VD" and (identifier "com.zentrafell.quorvane.bridge" or identifier "com.zentrafell.quorvane"))";
inline constexpr std::string_view quorvaneHostRequirement =
    R"(anchor apple generic and certificate leaf[subject.OU] = "K7QW2ZR5VD" and identifier "com.zentrafell.quorvane.host")";

inline constexpr std::string_view quorvaneTeamIdentifier = "K7QW2ZR5VD";
inline constexpr std::string_view quorvaneHostIdentifier = "com.zentrafell.quorvane.host";
inline constexpr std::string_view quorvaneBridgeIdentifier = "com.zentrafell.quorvane.bridge";
inline constexpr std::string_view quorvaneAppIdentifier = "com.zentrafell.quorvane";

// ---- Control messages -----------------------------------------------------------

// Bounds of the paged answers (accountHistory, exportEntries, exportAccounts),
// so that every answer fits one frame from the host whatever the records hold.
// A page carries at most this many records; a smaller limit may be asked for.
inline constexpr std::int64_t maxPageEntries = 1000;
inline constexpr std::int64_t maxPageAccounts = 500;
// The JSON text of a page's records takes at most this many bytes. A page
// ends early (with more set) rather than pass it; a record that alone is
// larger is not sent: the request fails and names it.
inline constexpr std::size_t maxPageBytes = std::size_t{16} << 20;

// What an operator app asks of the host. Cases in declaration order.
struct ControlRequest {
    struct Snapshot {
        bool operator==(const Snapshot&) const = default;
    };
    struct CreateEntry {
        NewLedgerEntry entry;
        bool operator==(const CreateEntry&) const = default;
    };
    struct UpdateEntry {
        LedgerEntry entry;
        bool operator==(const UpdateEntry&) const = default;
    };
    struct DeleteEntry {
        std::string id;
        bool operator==(const DeleteEntry&) const = default;
    };
    struct RenameAccount {
        std::string id;
        std::string displayName;
        bool operator==(const RenameAccount&) const = default;
    };
    struct DeleteAccount {
        std::string id;
        bool operator==(const DeleteAccount&) const = default;
    };
    struct SetAllowUnauthenticated {
        bool value = false;
        bool operator==(const SetAllowUnauthenticated&) const = default;
    };
    struct SetStartingPoints {
        std::int64_t value = 0;
        bool operator==(const SetStartingPoints&) const = default;
    };

    // Paged reads and the backup. JSON forms (absent optionals left out, as
    // everywhere):
    //   {"accountHistory":{"accountId":"A1","before":120,"limit":50}}
    //   {"exportEntries":{"after":120,"limit":1000}}
    //   {"exportAccounts":{"after":"A1","limit":500}}
    //   {"backup":{"path":"/home/me/ledger-copy.sqlite","force":false}}
    // answered by {"entriesPage":{"entries":[LedgerEntry...],"more":true}},
    // {"accountsPage":{"accounts":[Account...],"more":false}}, {"ok":{}} or a
    // failure. A limit below 1 is refused; a larger one than the page bound is
    // cut to it. A missing force reads as false.
    //
    // Export: exportAccounts from no cursor, then from the last id of each
    // page, while more is set; then exportEntries the same way by sequence.
    // Every entry stored when the export began is delivered exactly once (an
    // entry deleted meanwhile may be missing; one added meanwhile may come
    // too). Accounts are read one page at a time, so a page reflects the
    // ledger of its own moment.
    //
    // One account's history, newest first: its entries with a sequence below
    // `before` (all when absent), at most `limit` of them (absent: and never
    // more than maxPageEntries). Answered by entriesPage.
    struct AccountHistory {
        std::string accountId;
        std::optional<std::int64_t> before;
        std::optional<std::int64_t> limit;
        bool operator==(const AccountHistory&) const = default;
    };
    // The whole ledger for export, oldest first: every account's entries with
    // a sequence above `after` (all when absent). Answered by entriesPage.
    struct ExportEntries {
        std::optional<std::int64_t> after;
        std::optional<std::int64_t> limit;
        bool operator==(const ExportEntries&) const = default;
    };
    // Every account for export, in byte order of their ids: those with an id
    // above `after` (all when absent). Answered by accountsPage.
    struct ExportAccounts {
        std::optional<std::string> after;
        std::optional<std::int64_t> limit;
        bool operator==(const ExportAccounts&) const = default;
    };
    // A consistent copy of the live ledger, written by the host to `path`
    // (absolute, in an existing folder): mode 0600, checked with SQLite's
    // integrity check before ok is answered. An existing file at `path` is
    // refused unless `force`; a failed backup leaves nothing at `path`.
    struct Backup {
        std::string path;
        bool force = false;
        bool operator==(const Backup&) const = default;
    };

    using Value = std::variant<Snapshot, CreateEntry, UpdateEntry, DeleteEntry, RenameAccount, DeleteAccount,
                               SetAllowUnauthenticated, SetStartingPoints, AccountHistory, ExportEntries,
                               ExportAccounts, Backup>;
    Value value;

    static ControlRequest snapshot() { return {Snapshot{}}; }
    static ControlRequest createEntry(NewLedgerEntry e) { return {CreateEntry{std::move(e)}}; }
    static ControlRequest updateEntry(LedgerEntry e) { return {UpdateEntry{std::move(e)}}; }
    static ControlRequest deleteEntry(std::string id) { return {DeleteEntry{std::move(id)}}; }
    static ControlRequest renameAccount(std::string id, std::string displayName) {
        return {RenameAccount{std::move(id), std::move(displayName)}};
    }
    static ControlRequest deleteAccount(std::string id) { return {DeleteAccount{std::move(id)}}; }
    static ControlRequest setAllowUnauthenticated(bool v) { return {SetAllowUnauthenticated{v}}; }
    static ControlRequest setStartingPoints(std::int64_t v) { return {SetStartingPoints{v}}; }
    static ControlRequest accountHistory(std::string accountId, std::optional<std::int64_t> before = {},
                                         std::optional<std::int64_t> limit = {}) {
        return {AccountHistory{std::move(accountId), before, limit}};
    }
    static ControlRequest exportEntries(std::optional<std::int64_t> after = {},
                                        std::optional<std::int64_t> limit = {}) {
        return {ExportEntries{after, limit}};
    }
    static ControlRequest exportAccounts(std::optional<std::string> after = {},
                                         std::optional<std::int64_t> limit = {}) {
        return {ExportAccounts{std::move(after), limit}};
    }
    static ControlRequest backup(std::string path, bool force) { return {Backup{std::move(path), force}}; }

    bool operator==(const ControlRequest&) const = default;
};

// The host's answer to one request. Cases in declaration order.
struct ControlResponse {
    struct Snapshot {
        quorvane::Snapshot snapshot;
        bool operator==(const Snapshot&) const = default;
    };
    struct Ok {
        bool operator==(const Ok&) const = default;
    };
    struct Failure {
        std::string message;
        bool operator==(const Failure&) const = default;
    };

    // One page of entries (accountHistory: newest first; exportEntries: oldest
    // first). `more`: entries follow beyond the last one; ask again from its
    // sequence. An empty page never has more.
    struct EntriesPage {
        std::vector<LedgerEntry> entries;
        bool more = false;
        bool operator==(const EntriesPage&) const = default;
    };
    // One page of accounts (exportAccounts), by id. `more`: ask again from the
    // last one's id.
    //
    // unseenCounts: each account's entries its agent has not yet read, in the
    // order of `accounts` (one count each), as of the page's own moment.
    // JSON: "unseenCounts":[3,0,...] beside "accounts"; absent from hosts that
    // predate it (older readers ignore the member). A list of another length
    // does not decode.
    struct AccountsPage {
        std::vector<Account> accounts;
        bool more = false;
        std::optional<std::vector<std::int64_t>> unseenCounts;
        bool operator==(const AccountsPage&) const = default;
    };

    using Value = std::variant<Snapshot, Ok, Failure, EntriesPage, AccountsPage>;
    Value value;

    static ControlResponse snapshot(quorvane::Snapshot s) { return {Snapshot{std::move(s)}}; }
    static ControlResponse ok() { return {Ok{}}; }
    static ControlResponse failure(std::string message) { return {Failure{std::move(message)}}; }
    static ControlResponse entriesPage(std::vector<LedgerEntry> entries, bool more) {
        return {EntriesPage{std::move(entries), more}};
    }
    static ControlResponse accountsPage(std::vector<Account> accounts, bool more,
                                        std::optional<std::vector<std::int64_t>> unseenCounts = {}) {
        return {AccountsPage{std::move(accounts), more, std::move(unseenCounts)}};
    }

    bool operator==(const ControlResponse&) const = default;
};

// A push from the host to every operator app. Cases in declaration order.
struct ControlEvent {
    struct ApiCall {
        ApiLogEntry entry;
        bool operator==(const ApiCall&) const = default;
    };
    struct DataChanged {
        bool operator==(const DataChanged&) const = default;
    };
    struct ConnectionsChanged {
        bool operator==(const ConnectionsChanged&) const = default;
    };

    using Value = std::variant<ApiCall, DataChanged, ConnectionsChanged>;
    Value value;

    static ControlEvent apiCall(ApiLogEntry e) { return {ApiCall{std::move(e)}}; }
    static ControlEvent dataChanged() { return {DataChanged{}}; }
    static ControlEvent connectionsChanged() { return {ConnectionsChanged{}}; }

    bool operator==(const ControlEvent&) const = default;
};

// ---- The two protocols ----------------------------------------------------------

// Exported by the host on every accepted connection. Each reply callback is
// called exactly once; it may be called on any thread.
class QuorvaneServiceProtocol {
public:
    virtual ~QuorvaneServiceProtocol() = default;

    // One JSON-RPC line in (no terminator); the reply line, or nullopt when the
    // message needs no answer.
    virtual void handleAgentMessage(const std::string& message,
                                    std::function<void(std::optional<std::string>)> reply) = 0;

    // The JSON form of a ControlRequest in; the JSON form of a ControlResponse out.
    virtual void control(const std::string& request, std::function<void(std::string)> reply) = 0;
};

// Exported by every bridge and operator app. One-way pushes from the host:
// they never block the caller and have no reply.
class QuorvaneClientProtocol {
public:
    virtual ~QuorvaneClientProtocol() = default;

    // One MCP notification line (no terminator) for an agent.
    virtual void deliverAgentNotification(const std::string& line) = 0;

    // The JSON form of a ControlEvent for an operator app.
    virtual void controlEvent(const std::string& json) = 0;
};

} // namespace quorvane
