#include "ctl/Commands.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <filesystem>
#include <istream>
#include <map>
#include <ostream>
#include <set>
#include <thread>

#include "app/AtomicFile.h"
#include "app/RegistrationController.h"
#include "common/Amount.h"
#include "common/Coding.h"
#include "common/Json.h"
#include "common/ThreadSafety.h"
#include "control/OperatorClient.h"
#include "ctl/LedgerFiles.h"
#include "ctl/Lookup.h"
#include "ctl/Text.h"

namespace quorvane::ctl {

namespace {

using namespace std::chrono_literals;

// ---- Reporting -------------------------------------------------------------------

// How the operator client's error begins when no host answers at all.
constexpr std::string_view unreachableHost = "The host could not be reached";

int report(Console& console, std::string_view message, int status = exitFailure) {
    console.err << "quorvanectl: " << terminalSafe(message);
    if (message.rfind(unreachableHost, 0) == 0) {
        console.err << " Start it with: quorvanectl status --start";
    }
    console.err << '\n';
    console.err.flush();
    return status;
}

// Columns of a label and of a memo in tables; --json shows them whole.
constexpr std::size_t labelColumns = 40;
constexpr std::size_t memoColumns = 60;

void printJson(Console& console, const Json& value) {
    // The host sends valid UTF-8 only; should a string not be, its bad bytes
    // are written as U+FFFD rather than the answer lost.
    std::optional<std::string> text = serializeJson(value);
    console.out << (text ? *text : value.dump(-1, ' ', false, Json::error_handler_t::replace)) << '\n';
}

// ---- Talking to the host ---------------------------------------------------------

// ---- Values shown ----------------------------------------------------------------

std::string typeName(const LedgerEntry& entry) {
    switch (entry.kind) {
    case TransactionKind::credit:
        return entry.flag == LedgerFlag::bonus ? "bonus" : "credit";
    case TransactionKind::debit:
        return entry.flag == LedgerFlag::penalty ? "penalty" : "debit";
    case TransactionKind::note:
        break;
    }
    return "note";
}

std::string signedText(std::int64_t value) {
    return value > 0 ? "+" + groupedNumber(value) : groupedNumber(value);
}

Json entryJson(const LedgerEntry& entry) {
    return Json{
        {"id", entry.id},
        {"accountId", entry.accountId},
        {"sequence", entry.sequence},
        {"type", typeName(entry)},
        {"kind", std::string(rawValue(entry.kind))},
        {"flag", std::string(rawValue(entry.flag))},
        {"amount", entry.amount},
        {"signedAmount", entry.signedAmount()},
        {"memo", entry.memo},
        {"createdAt", formatIsoDate(entry.createdAt)},
        {"updatedAt", formatIsoDate(entry.updatedAt)},
    };
}

std::string clientLabel(const std::optional<ClientInfo>& info) {
    return info ? info->displayLabel() : std::string();
}

std::map<std::string, std::string> labelsById(const std::vector<Account>& accounts) {
    std::map<std::string, std::string> labels;
    for (const auto& account : accounts) {
        labels[account.id] = account.displayName;
    }
    return labels;
}

} // namespace

// ---- status ------------------------------------------------------------------------

namespace {

namespace Registration = RegistrationController;

std::string_view mechanismName(Registration::AutostartMechanism mechanism) {
    return mechanism == Registration::AutostartMechanism::systemdUserService ? "systemdUserService"
                                                                             : "xdgAutostartEntry";
}

std::string_view stateName(Registration::RegistrationState state) {
    switch (state) {
    case Registration::RegistrationState::enabled:
        return "enabled";
    case Registration::RegistrationState::needsApproval:
        return "needsApproval";
    case Registration::RegistrationState::failed:
        break;
    }
    return "failed";
}

std::string registrationText(const Registration::RegistrationStatus& status) {
    const std::string how = status.mechanism == Registration::AutostartMechanism::systemdUserService
                                ? "systemd user service"
                                : "XDG autostart entry";
    switch (status.state) {
    case Registration::RegistrationState::enabled:
        return how + ", enabled";
    case Registration::RegistrationState::needsApproval:
        return how + ", switched off by you (approval needed): " + status.approval;
    case Registration::RegistrationState::failed:
        break;
    }
    return how + ", not registered: " + status.description;
}

} // namespace

int runStatus(Console& console, const StatusOptions& options) {
    std::optional<int> registrationExit;
    Registration::RegistrationStatus registration;
    if (options.start) {
        registration = Registration::registerHost();
        registrationExit = Registration::exitCode(registration.state);
    } else {
        registration = Registration::currentStatus();
    }

    OperatorClient host(console.connection);
    Result<Snapshot> snapshot = host.snapshot();
    const std::string ledger = ledgerFilePath();

    if (options.json) {
        Json status{
            {"running", snapshot.ok()},
            {"version", snapshot ? Json(snapshot->hostVersion) : Json(nullptr)},
            {"ledger", ledger},
            {"registration",
             {{"mechanism", mechanismName(registration.mechanism)},
              {"state", stateName(registration.state)},
              {"description", registration.description},
              {"approval", registration.approval}}},
            {"connections", snapshot ? Json(snapshot->connections.size()) : Json(nullptr)},
        };
        if (!snapshot) {
            status["error"] = snapshot.error().message;
        }
        printJson(console, status);
    } else {
        console.out << "Host:          "
                    << (snapshot ? "running, version " + snapshot->hostVersion
                                 : "not answering (" + snapshot.error().message + ")")
                    << '\n';
        console.out << "Ledger:        " << terminalSafe(ledger) << '\n';
        console.out << "Registration:  " << terminalSafe(registrationText(registration)) << '\n';
        if (snapshot) {
            console.out << "Connections:   " << snapshot->connections.size() << " agent"
                        << (snapshot->connections.size() == 1 ? "" : "s") << '\n';
        }
    }
    console.out.flush();
    if (registrationExit) {
        return *registrationExit;
    }
    return snapshot ? exitSuccess : exitFailure;
}

// ---- Entries and accounts ----------------------------------------------------------

namespace {

// The amount of a credit or debit: the app's own rule (a plain signed decimal
// integer), and more than 0.
Result<std::int64_t> positiveAmount(std::string_view text) {
    const std::optional<std::int64_t> value = parseAmount(text);
    if (!value || *value <= 0) {
        return fail("bad amount \"" + terminalSafe(text) +
                    "\": give a whole number of points above 0, digits only (25, +25)");
    }
    return *value;
}

int addEntry(Console& console, const std::string& accountName, TransactionKind kind, LedgerFlag flag,
             std::int64_t amount, const std::string& memo) {
    OperatorClient host(console.connection);
    Result<Snapshot> snapshot = host.snapshot();
    if (!snapshot) {
        return report(console, snapshot.error().message);
    }
    Result<Account> account = findAccount(snapshot->accounts, accountName);
    if (!account) {
        return report(console, account.error().message);
    }
    NewLedgerEntry entry{account->id, kind, flag, amount, memo};
    if (auto done = host.change(ControlRequest::createEntry(entry)); !done) {
        return report(console, done.error().message);
    }
    const LedgerEntry shown{"", account->id, kind, flag, amount, memo, {}, {}, 0};
    console.out << typeName(shown);
    if (kind != TransactionKind::note) {
        console.out << ' ' << groupedNumber(amount);
    }
    console.out << " added to " << terminalSafe(account->displayName) << " (" << account->id << ")\n";
    return exitSuccess;
}

int addAmountEntry(Console& console, const EntryOptions& options, TransactionKind kind, LedgerFlag flag) {
    Result<std::int64_t> amount = positiveAmount(options.amount);
    if (!amount) {
        return report(console, amount.error().message, exitUsage);
    }
    return addEntry(console, options.account, kind, options.flagged ? flag : LedgerFlag::none, *amount,
                    options.memo);
}

} // namespace

int runCredit(Console& console, const EntryOptions& options) {
    return addAmountEntry(console, options, TransactionKind::credit, LedgerFlag::bonus);
}

int runDebit(Console& console, const EntryOptions& options) {
    return addAmountEntry(console, options, TransactionKind::debit, LedgerFlag::penalty);
}

int runNote(Console& console, const std::string& account, const std::string& memo) {
    if (memo.empty()) {
        return report(console, "a note needs a memo", exitUsage);
    }
    return addEntry(console, account, TransactionKind::note, LedgerFlag::none, 0, memo);
}

int runRename(Console& console, const std::string& accountName, const std::string& label) {
    OperatorClient host(console.connection);
    Result<Snapshot> snapshot = host.snapshot();
    if (!snapshot) {
        return report(console, snapshot.error().message);
    }
    Result<Account> account = findAccount(snapshot->accounts, accountName);
    if (!account) {
        return report(console, account.error().message);
    }
    if (auto done = host.change(ControlRequest::renameAccount(account->id, label)); !done) {
        return report(console, done.error().message);
    }
    console.out << "renamed " << account->id << " to " << terminalSafe(label) << '\n';
    return exitSuccess;
}

int runDeleteAccount(Console& console, const DeleteAccountOptions& options) {
    if (!options.yes && !console.inputIsTerminal) {
        return report(console, "deleting an account needs --yes when standard input is not a terminal",
                      exitUsage);
    }
    OperatorClient host(console.connection);
    Result<Snapshot> snapshot = host.snapshot();
    if (!snapshot) {
        return report(console, snapshot.error().message);
    }
    Result<Account> account = findAccount(snapshot->accounts, options.account);
    if (!account) {
        return report(console, account.error().message);
    }
    if (!options.yes) {
        console.err << "Delete the account " << terminalSafe(account->displayName) << " (" << account->id
                    << ") with a balance of " << groupedNumber(account->balance)
                    << " and all its entries? This cannot be undone. [y/N] ";
        console.err.flush();
        std::string answer;
        std::getline(console.in, answer);
        if (answer != "y" && answer != "Y" && answer != "yes" && answer != "YES" && answer != "Yes") {
            return report(console, "nothing deleted");
        }
    }
    if (auto done = host.change(ControlRequest::deleteAccount(account->id)); !done) {
        return report(console, done.error().message);
    }
    console.out << "deleted the account " << terminalSafe(account->displayName) << " (" << account->id
                << ")\n";
    return exitSuccess;
}

// ---- settings ----------------------------------------------------------------------

int runSettings(Console& console, const SettingsOptions& options) {
    std::optional<bool> allow;
    if (options.unauthenticated) {
        if (*options.unauthenticated != "on" && *options.unauthenticated != "off") {
            return report(console, "--unauthenticated takes on or off", exitUsage);
        }
        allow = *options.unauthenticated == "on";
    }
    std::optional<std::int64_t> startingPoints;
    if (options.startingPoints) {
        startingPoints = parseAmount(*options.startingPoints);
        if (!startingPoints) {
            return report(console,
                          "bad number \"" + terminalSafe(*options.startingPoints) +
                              "\" for --starting-points: give a whole number, digits only",
                          exitUsage);
        }
    }
    OperatorClient host(console.connection);
    if (allow) {
        if (auto done = host.change(ControlRequest::setAllowUnauthenticated(*allow)); !done) {
            return report(console, done.error().message);
        }
    }
    if (startingPoints) {
        if (auto done = host.change(ControlRequest::setStartingPoints(*startingPoints)); !done) {
            return report(console, done.error().message);
        }
    }
    Result<Snapshot> snapshot = host.snapshot();
    if (!snapshot) {
        return report(console, snapshot.error().message);
    }
    const Settings& settings = snapshot->settings;
    if (options.json) {
        printJson(console, Json{{"allowUnauthenticated", settings.allowUnauthenticated},
                                {"startingPoints", settings.startingPoints}});
    } else {
        console.out << "Unauthenticated agents:  " << (settings.allowUnauthenticated ? "on" : "off") << '\n'
                    << "Starting points:         " << groupedNumber(settings.startingPoints) << '\n';
    }
    return exitSuccess;
}

// ---- connections -------------------------------------------------------------------

int runConnections(Console& console, const ListOptions& options) {
    OperatorClient host(console.connection);
    Result<Snapshot> snapshot = host.snapshot();
    if (!snapshot) {
        return report(console, snapshot.error().message);
    }
    const auto labels = labelsById(snapshot->accounts);
    if (options.json) {
        Json list = Json::array();
        for (const auto& connection : snapshot->connections) {
            list.push_back(Json{
                {"id", connection.id},
                {"client",
                 connection.clientInfo ? Json(connection.clientInfo->displayLabel()) : Json(nullptr)},
                {"clientVersion", connection.clientInfo && connection.clientInfo->version
                                      ? Json(*connection.clientInfo->version)
                                      : Json(nullptr)},
                {"accountId", connection.accountId ? Json(*connection.accountId) : Json(nullptr)},
                {"authenticated", connection.authenticated},
                {"connectedAt", formatIsoDate(connection.connectedAt)},
            });
        }
        printJson(console, list);
        return exitSuccess;
    }
    Table table({{"CONNECTION"}, {"CLIENT"}, {"ACCOUNT"}, {"AUTHENTICATED"}, {"SINCE"}});
    for (const auto& connection : snapshot->connections) {
        std::string account;
        if (connection.accountId) {
            auto label = labels.find(*connection.accountId);
            account = label != labels.end() ? label->second + " (" + *connection.accountId + ")"
                                            : *connection.accountId;
        }
        table.addRow({connection.id, clientLabel(connection.clientInfo), account,
                      connection.authenticated ? "yes" : "no", formatIsoDate(connection.connectedAt)});
    }
    if (table.empty()) {
        console.out << "no agent is connected\n";
    } else {
        table.print(console.out);
    }
    return exitSuccess;
}

// ---- activity ----------------------------------------------------------------------

namespace {

// Log lines waiting to be written by `activity -f`; past this many the
// newest are dropped and counted, so a flood cannot outgrow the memory of a
// slow terminal's writer.
constexpr std::size_t maxPendingLogLines = 10000;

// How many columns of a payload a log line shows; --json shows it whole.
constexpr std::size_t payloadColumns = 160;

std::string padded(std::string text, std::size_t columns) {
    const std::size_t width = displayWidth(text);
    if (width < columns) {
        text.append(columns - width, ' ');
    }
    return text;
}

std::string logLine(const ApiLogEntry& entry) {
    return formatIsoDate(entry.timestamp) + "  " + padded(std::string(rawValue(entry.direction)), 12) + "  " +
           padded(clipToWidth(entry.clientLabel.value_or("-"), 24), 24) + "  " +
           padded(clipToWidth(entry.method.value_or("-"), 28), 28) + "  " +
           clipToWidth(entry.payload, payloadColumns);
}

void printLogEntry(Console& console, const ApiLogEntry& entry, bool json) {
    if (json) {
        printJson(console, QuorvaneCoding::encode(entry));
    } else {
        console.out << logLine(entry) << '\n';
    }
}

// What the follower shares with the connection's thread and the signal waiter.
struct Follow {
    Mutex lock;
    std::condition_variable_any changed;
    std::deque<ApiLogEntry> pending QUORVANE_GUARDED_BY(lock);
    std::size_t dropped QUORVANE_GUARDED_BY(lock) = 0;
    bool lost QUORVANE_GUARDED_BY(lock) = false;
    bool interrupted QUORVANE_GUARDED_BY(lock) = false;
};

// Blocks the stop signals in this thread and in every thread it starts
// afterwards, and waits for them on a thread of its own, which marks the
// follower interrupted.
void waitForStopSignals(const std::shared_ptr<Follow>& follow) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread([follow, stops] {
        int signal = 0;
        sigwait(&stops, &signal);
        MutexLock guard(follow->lock);
        follow->interrupted = true;
        follow->changed.notify_all();
    }).detach();
}

} // namespace

int runActivity(Console& console, const ActivityOptions& options) {
    auto follow = std::make_shared<Follow>();
    if (options.follow) {
        waitForStopSignals(follow); // before the connection starts its threads
    }
    OperatorClient host(console.connection);
    if (options.follow) {
        host.setEventHandler([follow](const ControlEvent& event) {
            if (const auto* call = std::get_if<ControlEvent::ApiCall>(&event.value)) {
                MutexLock guard(follow->lock);
                if (follow->pending.size() < maxPendingLogLines) {
                    follow->pending.push_back(call->entry);
                } else {
                    ++follow->dropped;
                }
                follow->changed.notify_all();
            }
        });
        host.setDropHandler([follow] {
            MutexLock guard(follow->lock);
            follow->lost = true;
            follow->changed.notify_all();
        });
    }
    // The first request makes this an operator's connection: every line
    // logged from then on is also pushed to it.
    Result<Snapshot> snapshot = host.snapshot();
    if (!snapshot) {
        return report(console, snapshot.error().message);
    }
    if (!options.follow) {
        if (options.json) {
            Json list = Json::array();
            for (const auto& entry : snapshot->recentApiLog) {
                list.push_back(QuorvaneCoding::encode(entry));
            }
            printJson(console, list);
        } else if (snapshot->recentApiLog.empty()) {
            console.out << "the log is empty\n";
        } else {
            for (const auto& entry : snapshot->recentApiLog) {
                printLogEntry(console, entry, false);
            }
        }
        return exitSuccess;
    }

    // Lines pushed while the snapshot was on its way may be in it too.
    std::set<std::string> shown;
    for (const auto& entry : snapshot->recentApiLog) {
        printLogEntry(console, entry, options.json);
        shown.insert(entry.id);
    }
    console.out.flush();
    for (;;) {
        std::deque<ApiLogEntry> batch;
        std::size_t dropped = 0;
        bool lost = false;
        bool interrupted = false;
        {
            MutexLock guard(follow->lock);
            while (follow->pending.empty() && follow->dropped == 0 && !follow->lost && !follow->interrupted) {
                follow->changed.wait(guard);
            }
            batch.swap(follow->pending);
            std::swap(dropped, follow->dropped);
            lost = follow->lost;
            interrupted = follow->interrupted;
        }
        for (const auto& entry : batch) {
            if (!shown.empty() && shown.erase(entry.id) > 0) {
                continue;
            }
            printLogEntry(console, entry, options.json);
        }
        console.out.flush();
        if (dropped > 0) {
            report(console,
                   std::to_string(dropped) + " log lines were dropped: they came faster than written");
        }
        if (interrupted) {
            return exitSuccess;
        }
        if (lost) {
            return report(console, "the connection to the host was lost");
        }
        if (!console.out) {
            return exitFailure;
        }
    }
}

// ---- accounts ----------------------------------------------------------------------

namespace {

struct AccountTotals {
    std::int64_t entries = 0;
    std::optional<Date> lastActivity;
};

// Each account's number of entries and the time of its newest one. The
// snapshot holds every entry while the ledger has fewer than it can carry;
// otherwise the whole ledger is read page by page.
Result<std::map<std::string, AccountTotals>> accountTotals(OperatorClient& host, const Snapshot& snapshot) {
    std::map<std::string, AccountTotals> totals;
    auto count = [&](const LedgerEntry& entry) {
        AccountTotals& account = totals[entry.accountId];
        ++account.entries;
        if (!account.lastActivity || entry.createdAt > *account.lastActivity) {
            account.lastActivity = entry.createdAt;
        }
        return true;
    };
    if (holdsWholeLedger(snapshot)) {
        for (const auto& entry : snapshot.entries) {
            count(entry);
        }
        return totals;
    }
    if (auto walked = host.forEachExportedEntry(count); !walked) {
        return walked.error();
    }
    return totals;
}

struct ListedAccount {
    Account account;
    std::optional<std::int64_t> unseen; // absent from a host that does not count them
};

// Every account, page by page: the snapshot may leave accounts out to stay
// within its budget, and carries no unseen counts.
Result<std::vector<ListedAccount>> listedAccounts(OperatorClient& host) {
    std::vector<ListedAccount> listed;
    std::optional<std::string> after;
    for (;;) {
        auto page = host.exportAccounts(after);
        if (!page) {
            return page.error();
        }
        for (std::size_t i = 0; i < page->accounts.size(); ++i) {
            // The decoder checked one count per account.
            listed.push_back({page->accounts[i], page->unseenCounts
                                                     ? std::optional<std::int64_t>((*page->unseenCounts)[i])
                                                     : std::nullopt});
        }
        if (!page->more || page->accounts.empty()) {
            return listed;
        }
        after = page->accounts.back().id;
    }
}

std::string lowerCase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

} // namespace

int runAccounts(Console& console, const ListOptions& options) {
    OperatorClient host(console.connection);
    Result<Snapshot> snapshot = host.snapshot();
    if (!snapshot) {
        return report(console, snapshot.error().message);
    }
    auto totals = accountTotals(host, *snapshot);
    if (!totals) {
        return report(console, totals.error().message);
    }
    auto listed = listedAccounts(host);
    if (!listed) {
        return report(console, listed.error().message);
    }
    std::vector<ListedAccount> accounts = std::move(*listed);
    // By label as people read it, then by id, so that equal labels keep one order.
    std::stable_sort(accounts.begin(), accounts.end(), [](const ListedAccount& a, const ListedAccount& b) {
        const std::string left = lowerCase(a.account.displayName);
        const std::string right = lowerCase(b.account.displayName);
        return left != right ? left < right : a.account.id < b.account.id;
    });
    if (options.json) {
        Json list = Json::array();
        for (const auto& [account, unseen] : accounts) {
            const AccountTotals& total = (*totals)[account.id];
            list.push_back(Json{
                {"id", account.id},
                {"label", account.displayName},
                {"identityMode", std::string(rawValue(account.identityMode))},
                {"balance", account.balance},
                {"unseen", unseen ? Json(*unseen) : Json(nullptr)},
                {"entries", total.entries},
                {"lastActivity",
                 total.lastActivity ? Json(formatIsoDate(*total.lastActivity)) : Json(nullptr)},
                {"connected", account.isConnected},
                {"createdAt", formatIsoDate(account.createdAt)},
            });
        }
        printJson(console, list);
        return exitSuccess;
    }
    if (accounts.empty()) {
        console.out << "no accounts yet\n";
        return exitSuccess;
    }
    Table table({{"ID"},
                 {"LABEL"},
                 {"BALANCE", Table::Align::right},
                 {"UNSEEN", Table::Align::right},
                 {"ENTRIES", Table::Align::right},
                 {"LAST ACTIVITY"},
                 {"CONNECTED"}});
    for (const auto& [account, unseen] : accounts) {
        const AccountTotals& total = (*totals)[account.id];
        table.addRow({account.id, clipToWidth(account.displayName, labelColumns),
                      groupedNumber(account.balance), unseen ? groupedNumber(*unseen) : "-",
                      groupedNumber(total.entries),
                      total.lastActivity ? formatIsoDate(*total.lastActivity) : "-",
                      account.isConnected ? "yes" : "no"});
    }
    table.print(console.out);
    return exitSuccess;
}

// ---- history -----------------------------------------------------------------------

int runHistory(Console& console, const HistoryOptions& options) {
    OperatorClient host(console.connection);
    Result<Snapshot> snapshot = host.snapshot();
    if (!snapshot) {
        return report(console, snapshot.error().message);
    }
    Result<Account> account = findAccount(snapshot->accounts, options.account);
    if (!account) {
        return report(console, account.error().message);
    }
    // One more than asked for tells whether older entries follow.
    std::vector<LedgerEntry> entries;
    bool more = false;
    auto walked = host.forEachHistoryEntry(
        account->id,
        [&](const LedgerEntry& entry) {
            if (options.limit && static_cast<std::int64_t>(entries.size()) >= *options.limit) {
                more = true;
                return false;
            }
            entries.push_back(entry);
            return true;
        },
        options.before);
    if (!walked) {
        return report(console, walked.error().message);
    }
    const bool hasNext = more && !entries.empty();
    const std::int64_t nextBefore = hasNext ? entries.back().sequence : 0;
    if (options.json) {
        Json list = Json::array();
        for (const auto& entry : entries) {
            list.push_back(entryJson(entry));
        }
        printJson(console, Json{{"account", {{"id", account->id}, {"label", account->displayName}}},
                                {"balance", account->balance},
                                {"entries", list},
                                {"nextBefore", hasNext ? Json(nextBefore) : Json(nullptr)}});
        return exitSuccess;
    }
    console.out << terminalSafe(account->displayName) << " (" << account->id << "), balance "
                << groupedNumber(account->balance) << '\n';
    if (entries.empty()) {
        console.out << (options.before ? "no entries before that sequence\n" : "no entries\n");
        return exitSuccess;
    }
    Table table({{"SEQ", Table::Align::right},
                 {"ENTRY"},
                 {"DATE"},
                 {"TYPE"},
                 {"AMOUNT", Table::Align::right},
                 {"MEMO"}});
    for (const auto& entry : entries) {
        table.addRow({std::to_string(entry.sequence), entry.id, formatIsoDate(entry.createdAt),
                      typeName(entry),
                      entry.kind == TransactionKind::note ? "" : signedText(entry.signedAmount()),
                      clipToWidth(entry.memo, memoColumns)});
    }
    table.print(console.out);
    if (hasNext) {
        console.out << "older entries follow: --before " << nextBefore << '\n';
    }
    return exitSuccess;
}

// ---- edit, delete-entry ------------------------------------------------------------

namespace {

// The entry with this id: from the snapshot's newest entries, else from the
// history of each account in turn.
Result<LedgerEntry> findEntry(OperatorClient& host, const Snapshot& snapshot, std::string_view name) {
    const std::string id = canonicalId(name);
    for (const auto& entry : snapshot.entries) {
        if (entry.id == id) {
            return entry;
        }
    }
    if (!holdsWholeLedger(snapshot)) {
        std::optional<LedgerEntry> found;
        auto walked = host.forEachExportedEntry([&](const LedgerEntry& entry) {
            if (entry.id == id) {
                found = entry;
                return false;
            }
            return true;
        });
        if (!walked) {
            return walked.error();
        }
        if (found) {
            return *found;
        }
    }
    return fail("no entry has the id \"" + terminalSafe(name) + "\"");
}

std::optional<TransactionKind> kindNamed(std::string_view type, LedgerFlag& flag) {
    flag = LedgerFlag::none;
    if (type == "credit" || type == "bonus") {
        flag = type == "bonus" ? LedgerFlag::bonus : LedgerFlag::none;
        return TransactionKind::credit;
    }
    if (type == "debit" || type == "penalty") {
        flag = type == "penalty" ? LedgerFlag::penalty : LedgerFlag::none;
        return TransactionKind::debit;
    }
    if (type == "note") {
        return TransactionKind::note;
    }
    return std::nullopt;
}

} // namespace

int runEdit(Console& console, const EditOptions& options) {
    if (!options.type && !options.amount && !options.memo) {
        return report(console, "nothing to change: give --type, --amount or --memo", exitUsage);
    }
    std::optional<TransactionKind> kind;
    LedgerFlag flag = LedgerFlag::none;
    if (options.type) {
        kind = kindNamed(*options.type, flag);
        if (!kind) {
            return report(console,
                          "unknown type \"" + terminalSafe(*options.type) +
                              "\": credit, bonus, debit, penalty or note",
                          exitUsage);
        }
    }
    std::optional<std::int64_t> amount;
    if (options.amount) {
        Result<std::int64_t> parsed = positiveAmount(*options.amount);
        if (!parsed) {
            return report(console, parsed.error().message, exitUsage);
        }
        amount = *parsed;
    }
    OperatorClient host(console.connection);
    Result<Snapshot> snapshot = host.snapshot();
    if (!snapshot) {
        return report(console, snapshot.error().message);
    }
    Result<LedgerEntry> found = findEntry(host, *snapshot, options.entry);
    if (!found) {
        return report(console, found.error().message);
    }
    LedgerEntry entry = *found;
    if (kind) {
        entry.kind = *kind;
        entry.flag = flag;
    }
    if (amount) {
        entry.amount = *amount;
    }
    if (options.memo) {
        entry.memo = *options.memo;
    }
    if (entry.kind == TransactionKind::note) {
        if (amount) {
            return report(console, "a note carries no amount", exitUsage);
        }
        entry.amount = 0; // as the app's editor does
    } else if (entry.amount <= 0) {
        return report(console, "a " + typeName(entry) + " needs an amount above 0: give --amount", exitUsage);
    }
    if (auto done = host.change(ControlRequest::updateEntry(entry)); !done) {
        return report(console, done.error().message);
    }
    console.out << "entry " << entry.id << " is now a " << typeName(entry);
    if (entry.kind != TransactionKind::note) {
        console.out << " of " << groupedNumber(entry.amount);
    }
    console.out << '\n';
    return exitSuccess;
}

int runDeleteEntry(Console& console, const std::string& entryName) {
    OperatorClient host(console.connection);
    Result<Snapshot> snapshot = host.snapshot();
    if (!snapshot) {
        return report(console, snapshot.error().message);
    }
    // The host answers ok for an id it does not have; say so instead.
    Result<LedgerEntry> entry = findEntry(host, *snapshot, entryName);
    if (!entry) {
        return report(console, entry.error().message);
    }
    if (auto done = host.change(ControlRequest::deleteEntry(entry->id)); !done) {
        return report(console, done.error().message);
    }
    console.out << "deleted entry " << entry->id << '\n';
    return exitSuccess;
}

// ---- export ------------------------------------------------------------------------

namespace {

// Text of several lines made terminal-safe line by line.
std::string terminalSafeLines(std::string_view text) {
    std::string safe;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const std::size_t stop = end == std::string_view::npos ? text.size() : end;
        std::string_view line = text.substr(start, stop - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        safe += terminalSafe(line);
        if (end == std::string_view::npos) {
            break;
        }
        safe += '\n';
        start = end + 1;
    }
    return safe;
}

// The export as text: JSON {"accounts": [...], "entries": [...]}, or CSV.
// CSV holds one table: a heading row, then one row per account (record
// "account") and one per entry (record "entry"), with the columns of both.
Result<std::string> exportText(OperatorClient& host, const std::string& format) {
    std::vector<Account> accounts;
    if (auto walked = host.forEachExportedAccount([&](const Account& account) {
            accounts.push_back(account);
            return true;
        });
        !walked) {
        return walked.error();
    }
    std::vector<LedgerEntry> entries;
    if (auto walked = host.forEachExportedEntry([&](const LedgerEntry& entry) {
            entries.push_back(entry);
            return true;
        });
        !walked) {
        return walked.error();
    }
    if (format == "json") {
        Json accountList = Json::array();
        for (const auto& account : accounts) {
            Json record = QuorvaneCoding::encode(account);
            record.erase("isConnected"); // a moment's state, not the ledger's
            accountList.push_back(std::move(record));
        }
        Json entryList = Json::array();
        for (const auto& entry : entries) {
            entryList.push_back(entryJson(entry));
        }
        std::optional<std::string> text =
            serializeJson(Json{{"accounts", accountList}, {"entries", entryList}});
        if (!text) {
            return fail("the ledger holds text that cannot be written as JSON");
        }
        return *text + "\n";
    }
    std::string csv =
        csvRecord({"record", "id", "accountId", "label", "identityMode", "balance", "sequence", "type",
                   "kind", "flag", "amount", "signedAmount", "memo", "createdAt", "updatedAt"});
    for (const auto& account : accounts) {
        csv += csvRecord({"account", account.id, "", account.displayName,
                          std::string(rawValue(account.identityMode)), std::to_string(account.balance), "",
                          "", "", "", "", "", "", formatIsoDate(account.createdAt), ""});
    }
    const auto labels = labelsById(accounts);
    for (const auto& entry : entries) {
        const auto label = labels.find(entry.accountId);
        csv += csvRecord({"entry", entry.id, entry.accountId, label != labels.end() ? label->second : "", "",
                          "", std::to_string(entry.sequence), typeName(entry),
                          std::string(rawValue(entry.kind)), std::string(rawValue(entry.flag)),
                          std::to_string(entry.amount), std::to_string(entry.signedAmount()), entry.memo,
                          formatIsoDate(entry.createdAt), formatIsoDate(entry.updatedAt)});
    }
    return csv;
}

} // namespace

int runExport(Console& console, const ExportOptions& options) {
    if (options.format != "json" && options.format != "csv") {
        return report(console, "unknown format \"" + terminalSafe(options.format) + "\": json or csv",
                      exitUsage);
    }
    OperatorClient host(console.connection);
    Result<std::string> text = exportText(host, options.format);
    if (!text) {
        return report(console, text.error().message);
    }
    if (!options.output || *options.output == "-") {
        // CSV keeps the ledger's bytes; a terminal gets no control characters.
        console.out << (console.outputIsTerminal && options.format == "csv" ? terminalSafeLines(*text)
                                                                            : *text);
        console.out.flush();
        return console.out ? exitSuccess : report(console, "cannot write to standard output");
    }
    // The ledger is private: the file is made for this user alone.
    if (auto written = autostart::writeFileAtomically(absolutePath(*options.output), *text, 0600); !written) {
        return report(console, "cannot write " + *options.output + ": " + written.error().message);
    }
    return exitSuccess;
}

// ---- backup ------------------------------------------------------------------------

int runBackup(Console& console, const BackupOptions& options) {
    const std::filesystem::path target = absolutePath(options.file);
    // Checked here for a clear message; the host checks again as it writes.
    std::error_code error;
    const auto type = std::filesystem::symlink_status(target, error).type();
    if (!options.force && type != std::filesystem::file_type::not_found &&
        type != std::filesystem::file_type::none) {
        return report(console, target.string() + " exists; --force replaces it");
    }
    OperatorClient host(console.connection);
    if (auto done = host.backup(target.string(), options.force); !done) {
        return report(console, done.error().message);
    }
    console.out << "backed up the ledger to " << terminalSafe(target.string()) << " (integrity checked)\n";
    return exitSuccess;
}

} // namespace quorvane::ctl
