#include "host/core/ControlHandler.h"

#include <algorithm>
#include <set>
#include <utility>

#include "common/Coding.h"
#include "common/Utf8Text.h"
#include "common/transport/Frame.h"
#include "host/core/LedgerBackup.h"

namespace quorvane {
namespace {

constexpr std::string_view encodeFailedResponse = R"({"failure":{"_0":"encode failed"}})";
constexpr std::string_view noSuchAccountMessage = "No account with this id.";

// A page's records and the few bytes around them fit the frame from the host.
static_assert(maxPageBytes + 4096 <= maxFrameFromHost);

// Stored text is normally valid UTF-8; a damaged row must not make its page
// unwritable.
void makeValid(std::string& text) {
    if (!Utf8Text::isValid(text)) {
        text = Utf8Text::sanitize(text);
    }
}

void makeValid(LedgerEntry& entry) {
    makeValid(entry.id);
    makeValid(entry.accountId);
    makeValid(entry.memo);
}

// The page size asked for, cut to `most`; a limit below 1 is refused.
Result<std::int64_t> pageLimit(std::optional<std::int64_t> asked, std::int64_t most) {
    if (!asked) {
        return most;
    }
    if (*asked < 1) {
        return fail("The page limit must be at least 1.");
    }
    return std::min(*asked, most);
}

template <class T>
struct Page {
    std::vector<T> records;
    bool more = false;
};

std::string describe(const LedgerEntry& entry) {
    return "Entry " + entry.id + " (sequence " + std::to_string(entry.sequence) + ")";
}
std::string describe(const Account& account) {
    return "Account " + account.id;
}

// Takes records from `rows` (read with one more than `limit`, so that a full
// page knows whether more follow) while the page stays within `limit` and
// maxPageBytes. Fails when the first record alone is larger than a page.
template <class T>
Result<Page<T>> fillPage(std::vector<T> rows, std::int64_t limit) {
    Page<T> page;
    std::size_t bytes = 0;
    for (T& row : rows) {
        if (static_cast<std::int64_t>(page.records.size()) >= limit) {
            page.more = true;
            break;
        }
        const std::optional<std::string> text = QuorvaneCoding::encodeToString(row);
        const std::size_t size = text ? text->size() + 1 : 0; // and its comma
        if (bytes + size > maxPageBytes) {
            if (page.records.empty()) {
                return fail(describe(row) + " is too large to send (" + std::to_string(size) +
                            " bytes of JSON, a page holds " + std::to_string(maxPageBytes) +
                            "); a backup copies it.");
            }
            page.more = true;
            break;
        }
        bytes += size;
        page.records.push_back(std::move(row));
    }
    return page;
}

// The entries page of rows read as fillPage needs them, with texts made valid.
ControlResponse entriesPageOf(std::vector<LedgerEntry> rows, std::int64_t limit) {
    for (LedgerEntry& entry : rows) {
        makeValid(entry);
    }
    Result<Page<LedgerEntry>> page = fillPage(std::move(rows), limit);
    if (!page) {
        return ControlResponse::failure(page.error().message);
    }
    return ControlResponse::entriesPage(std::move(page->records), page->more);
}

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

} // namespace

ControlHandler::ControlHandler(LedgerStore& store, ConnectionRegistry& registry, AgentIdentity& identity,
                               AgentDispatch& dispatch, SnapshotBuilder& snapshots,
                               const std::string& ledgerPath)
    : store_(store), registry_(registry), identity_(identity), dispatch_(dispatch), snapshots_(snapshots),
      reader_(ledgerPath) {
}

std::string ControlHandler::handle(const std::string& text, const std::string& connectionId) {
    registry_.markControl(connectionId);
    const std::optional<ControlRequest> request = QuorvaneCoding::decode<ControlRequest>(text);
    const ControlResponse response =
        request ? handle(*request) : ControlResponse::failure("Malformed control request");
    if (auto encoded = QuorvaneCoding::encodeToString(response)) {
        return std::move(*encoded);
    }
    return std::string(encodeFailedResponse);
}

ControlResponse ControlHandler::handle(const ControlRequest& request) {
    const auto dataChanged = [&] { registry_.broadcast(ControlEvent::dataChanged()); };
    return std::visit(
        Overloaded{
            [&](const ControlRequest::Snapshot&) { return ControlResponse::snapshot(snapshots_.build()); },
            [&](const ControlRequest::CreateEntry& r) {
                const std::optional<LedgerEntry> created = store_.insertEntry(r.entry);
                if (!created) {
                    return ControlResponse::failure("Could not create entry \u2014 account not found.");
                }
                dataChanged();
                dispatch_.notifyNewItem(r.entry.accountId, *created);
                return ControlResponse::ok();
            },
            [&](const ControlRequest::UpdateEntry& r) {
                if (!store_.updateEntry(r.entry)) {
                    return ControlResponse::failure("Update failed.");
                }
                dataChanged();
                return ControlResponse::ok();
            },
            [&](const ControlRequest::DeleteEntry& r) {
                if (!store_.deleteEntry(r.id)) {
                    return ControlResponse::failure("Delete failed.");
                }
                dataChanged();
                return ControlResponse::ok();
            },
            [&](const ControlRequest::RenameAccount& r) {
                if (!store_.renameAccount(r.id, r.displayName)) {
                    return ControlResponse::failure("Rename failed.");
                }
                dataChanged();
                return ControlResponse::ok();
            },
            [&](const ControlRequest::DeleteAccount& r) {
                if (!store_.deleteAccount(r.id)) {
                    return ControlResponse::failure("Delete failed.");
                }
                dataChanged();
                registry_.broadcast(ControlEvent::connectionsChanged());
                return ControlResponse::ok();
            },
            [&](const ControlRequest::SetAllowUnauthenticated& r) {
                if (!identity_.setAllowUnauthenticated(r.value)) {
                    return ControlResponse::failure("Settings change failed.");
                }
                return ControlResponse::ok();
            },
            [&](const ControlRequest::SetStartingPoints& r) {
                if (!store_.setStartingPoints(r.value)) {
                    return ControlResponse::failure("Settings change failed.");
                }
                dataChanged();
                return ControlResponse::ok();
            },
            [&](const ControlRequest::AccountHistory& r) { return accountHistory(r); },
            [&](const ControlRequest::ExportEntries& r) { return exportEntries(r); },
            [&](const ControlRequest::ExportAccounts& r) { return exportAccounts(r); },
            [&](const ControlRequest::Backup& r) { return backup(r); },
        },
        request.value);
}

ControlResponse ControlHandler::accountHistory(const ControlRequest::AccountHistory& request) {
    const Result<std::int64_t> limit = pageLimit(request.limit, maxPageEntries);
    if (!limit) {
        return ControlResponse::failure(limit.error().message);
    }
    // The file would see the id cut at a NUL: another account's.
    if (request.accountId.find('\0') != std::string::npos) {
        return ControlResponse::failure(std::string(noSuchAccountMessage));
    }
    Result<std::vector<LedgerEntry>> rows =
        reader_.accountEntries(request.accountId, request.before, *limit + 1);
    if (!rows) {
        return ControlResponse::failure(rows.error().message);
    }
    if (rows->empty()) {
        const Result<bool> exists = reader_.accountExists(request.accountId);
        if (!exists) {
            return ControlResponse::failure(exists.error().message);
        }
        if (!*exists) {
            return ControlResponse::failure(std::string(noSuchAccountMessage));
        }
    }
    return entriesPageOf(std::move(*rows), *limit);
}

ControlResponse ControlHandler::exportEntries(const ControlRequest::ExportEntries& request) {
    const Result<std::int64_t> limit = pageLimit(request.limit, maxPageEntries);
    if (!limit) {
        return ControlResponse::failure(limit.error().message);
    }
    Result<std::vector<LedgerEntry>> rows = reader_.entriesAfter(request.after, *limit + 1);
    if (!rows) {
        return ControlResponse::failure(rows.error().message);
    }
    return entriesPageOf(std::move(*rows), *limit);
}

ControlResponse ControlHandler::exportAccounts(const ControlRequest::ExportAccounts& request) {
    const Result<std::int64_t> limit = pageLimit(request.limit, maxPageAccounts);
    if (!limit) {
        return ControlResponse::failure(limit.error().message);
    }
    if (request.after && request.after->find('\0') != std::string::npos) {
        return ControlResponse::failure("The account cursor holds a NUL character.");
    }
    Result<std::vector<LedgerReader::AccountRow>> rows = reader_.accountsAfter(request.after, *limit + 1);
    if (!rows) {
        return ControlResponse::failure(rows.error().message);
    }
    std::set<std::string, std::less<>> connected;
    for (const LiveConnection& connection : registry_.agentConnections()) {
        if (connection.accountId) {
            connected.insert(*connection.accountId);
        }
    }
    // As the snapshot shows an account.
    std::vector<Account> accounts;
    std::vector<std::int64_t> unseenCounts;
    accounts.reserve(rows->size());
    unseenCounts.reserve(rows->size());
    for (const auto& [row, unseenCount] : *rows) {
        Account account;
        account.id = row.id;
        account.displayName = row.displayName;
        account.identityMode = row.identityMode;
        if (row.clientInfoJSON) {
            account.clientInfo = QuorvaneCoding::decode<ClientInfo>(*row.clientInfoJSON);
        }
        account.clientInfoFields = SnapshotBuilder::clientInfoFields(row.clientInfoJSON);
        account.balance = store_.balance(row.id);
        account.createdAt = row.createdAt;
        account.isConnected = connected.contains(row.id);
        makeValid(account.id);
        makeValid(account.displayName);
        accounts.push_back(std::move(account));
        unseenCounts.push_back(unseenCount);
    }
    Result<Page<Account>> page = fillPage(std::move(accounts), *limit);
    if (!page) {
        return ControlResponse::failure(page.error().message);
    }
    unseenCounts.resize(page->records.size()); // the page keeps the first accounts
    return ControlResponse::accountsPage(std::move(page->records), page->more, std::move(unseenCounts));
}

ControlResponse ControlHandler::backup(const ControlRequest::Backup& request) {
    const Result<void> copied = LedgerBackup::copyLedger(reader_.path(), request.path, request.force);
    if (!copied) {
        return ControlResponse::failure(copied.error().message);
    }
    return ControlResponse::ok();
}

} // namespace quorvane
