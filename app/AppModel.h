#pragma once

// The operator app's single source of truth: a local copy of what the host
// reports, whether the host answers, and the operator's selection. Every
// change goes to the host as a control request; the copy is replaced from a
// fresh snapshot afterwards. Only the API log also grows locally, from pushed
// events.
//
// Each property has a change signal that fires only when the property gets a
// value different from the old one (record equality, element by element);
// assigning an equal value signals nothing. Signals carry no arguments: read
// the property.
//
// Threads: the model lives on the main thread. Construct, call and destroy it
// there; its signals are emitted there. It holds no widgets, so it works under
// a QCoreApplication.

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/ControlClient.h"
#include "app/HandOver.h"
#include "common/ControlProtocol.h"
#include "common/Records.h"
#include "common/Result.h"

namespace quorvane {

class AppModel : public QObject {
    Q_OBJECT

public:
    // Registers the host to start for this user, quietly (failures are logged,
    // never shown). Runs on a background thread; may block for seconds.
    using Registrar = std::function<void()>;

    // The most API log lines kept when calls are pushed.
    static constexpr std::size_t apiLogCapacity = 500;

    // The production model: a default ControlClient and
    // RegistrationController::registerQuietly.
    explicit AppModel(QObject* parent = nullptr);
    // For tests and tools: a given client (not null) and registrar (may be
    // empty: nothing is registered).
    AppModel(std::unique_ptr<ControlClient> client, Registrar registrar, QObject* parent = nullptr);
    // Waits for a registration still running in the background.
    ~AppModel() override;

    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    // ---- Properties (as last reported by the host) ----------------------------

    // Oldest account first.
    [[nodiscard]] const std::vector<Account>& accounts() const { return accounts_; }
    // All accounts' entries, newest first.
    [[nodiscard]] const std::vector<LedgerEntry>& entries() const { return entries_; }
    [[nodiscard]] const std::vector<LiveConnection>& connections() const { return connections_; }
    // Until the first snapshot: unauthenticated access on, 50000 starting points.
    [[nodiscard]] const Settings& settings() const { return settings_; }
    // Newest first.
    [[nodiscard]] const std::vector<ApiLogEntry>& apiLog() const { return apiLog_; }
    [[nodiscard]] const std::string& hostVersion() const { return hostVersion_; }
    // Whether the host answered last time.
    [[nodiscard]] bool isConnected() const { return isConnected_; }
    // Started, and the last try to reach the host failed (or the connection
    // dropped): the model is reconnecting by itself. Live connections are
    // cleared then (nobody can vouch for them); accounts and entries stay as
    // last reported.
    [[nodiscard]] bool isOffline() const { return isOffline_; }
    // The account shown in the detail pane. May name an account that is no
    // longer listed.
    [[nodiscard]] const std::optional<std::string>& selectedAccountID() const { return selectedAccountID_; }
    void setSelectedAccountID(std::optional<std::string> id);

    // ---- Derived values (computed on each call) ----------------------------------

    // The listed account whose id is the selection, if any.
    [[nodiscard]] std::optional<Account> selectedAccount() const;
    // The entries of one account, in the order of entries().
    [[nodiscard]] std::vector<LedgerEntry> entriesFor(const std::string& accountId) const;

    // ---- Operations: each sends one request and returns at once ----------------
    // Whatever the host answers (ok, failure or nothing), the follow-up is a
    // refresh(). The editors' operations also report what became of them:
    // `done` (may be empty) runs once on the main thread, before the refresh,
    // with success or an error whose message is the host's failure text or
    // hostUnreachableMessage. It never runs once the model is destroyed.

    using Outcome = std::function<void(const Result<void>&)>;
    static constexpr std::string_view hostUnreachableMessage = "The host could not be reached.";

    // Once per model; later calls do nothing. Registers the host (in the
    // background), installs the client's event and reachability callbacks, and
    // refreshes when the registration has returned. From then on, whenever
    // the host cannot be reached, the model tries again by itself: the first
    // retry after reconnectFirstDelay, each next one after twice the last, at
    // most reconnectMaxDelay apart, until the host answers.
    void start();
    static constexpr std::chrono::milliseconds reconnectFirstDelay{250};
    static constexpr std::chrono::milliseconds reconnectMaxDelay{5000};
    // For tests: other retry delays (first > 0, max >= first).
    void setReconnectDelays(std::chrono::milliseconds first, std::chrono::milliseconds max);
    // Tries to reach the host now and starts the retry delays afresh.
    void retryNow();
    // Asks for a snapshot and applies it; any other answer changes nothing.
    void refresh();
    void createEntry(const NewLedgerEntry& entry, Outcome done = {});
    void updateEntry(const LedgerEntry& entry, Outcome done = {});
    void deleteEntry(const std::string& id);
    void renameAccount(const std::string& id, const std::string& displayName, Outcome done = {});
    // Clears the selection first when it names this account.
    void deleteAccount(const std::string& id);
    void setAllowUnauthenticated(bool value);
    // Negative values are sent as 0.
    void setStartingPoints(std::int64_t value);

    // ---- Reads beyond the snapshot -----------------------------------------------

    // One page of an account's history (newest first, below `before` when
    // given, the host's page size). `done` runs once on the main thread with
    // the page, or an error whose message is the host's failure text or
    // hostUnreachableMessage; never once the model is destroyed. Changes
    // nothing in the model.
    using HistoryDone = std::function<void(Result<ControlResponse::EntriesPage>)>;
    void fetchHistory(const std::string& accountId, std::optional<std::int64_t> before, HistoryDone done);

    // ---- Applying what the host reports (public for views' tests and tools) ------

    // Replaces the copy: accounts, entries, connections, settings, API log
    // (newest first; the snapshot lists it oldest first, so of lines with the
    // same time the one listed later comes first), host version; marks the
    // host reachable; selects the first account when nothing is selected.
    void applySnapshot(const Snapshot& snapshot);
    // apiCall: the line goes to the front of the API log, which is then cut to
    // apiLogCapacity. dataChanged, connectionsChanged: refresh().
    void apply(const ControlEvent& event);

signals:
    void accountsChanged();
    void entriesChanged();
    void connectionsChanged();
    void settingsChanged();
    void apiLogChanged();
    void hostVersionChanged();
    void isConnectedChanged();
    void isOfflineChanged();
    void selectedAccountIDChanged();
    // The host announced a change of the ledger (dataChanged), just before
    // the refresh it leads to: history fetched beyond the snapshot may be stale.
    void ledgerChanged();

private:
    void sendThenRefresh(const ControlRequest& request, Outcome done);
    void setIsConnected(bool value);
    void hostReachable(bool reachable);

    std::vector<Account> accounts_;
    std::vector<LedgerEntry> entries_;
    std::vector<LiveConnection> connections_;
    Settings settings_{true, 50000};
    std::vector<ApiLogEntry> apiLog_;
    std::string hostVersion_;
    bool isConnected_ = false;
    bool isOffline_ = false;
    std::optional<std::string> selectedAccountID_;

    std::unique_ptr<ControlClient> client_;
    Registrar registrar_;
    bool started_ = false;
    QTimer reconnectTimer_;
    std::chrono::milliseconds firstReconnectDelay_ = reconnectFirstDelay;
    std::chrono::milliseconds maxReconnectDelay_ = reconnectMaxDelay;
    std::chrono::milliseconds nextReconnectDelay_ = reconnectFirstDelay;
    // Carries the end of the registration to the model's thread (a child, so
    // it follows the model). The destructor joins the thread before it goes.
    HandOver handOver_{this};
    std::thread registration_;
};

} // namespace quorvane
