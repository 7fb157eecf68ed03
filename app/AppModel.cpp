#include "app/AppModel.h"

#include <QPointer>

#include <algorithm>
#include <iterator>
#include <utility>
#include <variant>

#include "app/RegistrationController.h"

namespace quorvane {

namespace {

// Assigns when the value differs (compared before anything is copied);
// answers whether it did.
template <class T, class U>
bool assignIfChanged(T& field, U&& value) {
    if (field == value) {
        return false;
    }
    field = std::forward<U>(value);
    return true;
}

} // namespace

AppModel::AppModel(QObject* parent)
    : AppModel(
          std::make_unique<ControlClient>(), [] { RegistrationController::registerQuietly(); }, parent) {
}

AppModel::AppModel(std::unique_ptr<ControlClient> client, Registrar registrar, QObject* parent)
    : QObject(parent), client_(std::move(client)), registrar_(std::move(registrar)) {
    Q_ASSERT(client_ != nullptr);
    reconnectTimer_.setSingleShot(true);
    connect(&reconnectTimer_, &QTimer::timeout, this, &AppModel::refresh);
}

AppModel::~AppModel() {
    if (registration_.joinable()) {
        registration_.join();
    }
}

void AppModel::setSelectedAccountID(std::optional<std::string> id) {
    if (assignIfChanged(selectedAccountID_, std::move(id))) {
        emit selectedAccountIDChanged();
    }
}

std::optional<Account> AppModel::selectedAccount() const {
    if (!selectedAccountID_) {
        return std::nullopt;
    }
    auto found = std::find_if(accounts_.begin(), accounts_.end(),
                              [&](const Account& account) { return account.id == *selectedAccountID_; });
    if (found == accounts_.end()) {
        return std::nullopt;
    }
    return *found;
}

std::vector<LedgerEntry> AppModel::entriesFor(const std::string& accountId) const {
    std::vector<LedgerEntry> result;
    std::copy_if(entries_.begin(), entries_.end(), std::back_inserter(result),
                 [&](const LedgerEntry& entry) { return entry.accountId == accountId; });
    return result;
}

void AppModel::start() {
    if (started_) {
        return;
    }
    started_ = true;
    QPointer<AppModel> self(this);
    client_->setOnEvent([self](const ControlEvent& event) {
        if (self) {
            self->apply(event);
        }
    });
    client_->setOnConnectionChange([self](bool reachable) {
        if (self) {
            self->hostReachable(reachable);
        }
    });
    if (!registrar_) {
        refresh();
        return;
    }
    // Registration may start the host and wait for it, which takes seconds:
    // off the main thread, with the first snapshot asked for once it is done.
    // The destructor joins the thread before the hand-over (a member) goes,
    // and the hand-over drops the call unrun if the model goes first.
    registration_ = std::thread([this, registrar = registrar_] {
        registrar();
        (void)handOver_.post([this] { refresh(); });
    });
}

void AppModel::refresh() {
    client_->send(ControlRequest::snapshot(),
                  [self = QPointer<AppModel>(this)](std::optional<ControlResponse> answer) {
                      if (!self || !answer) {
                          return;
                      }
                      if (auto* snapshot = std::get_if<ControlResponse::Snapshot>(&answer->value)) {
                          self->applySnapshot(snapshot->snapshot);
                      }
                  });
}

namespace {

// What an operation's answer means for the operator.
Result<void> outcomeOf(const std::optional<ControlResponse>& answer) {
    if (!answer) {
        return fail(std::string(AppModel::hostUnreachableMessage));
    }
    if (auto* failure = std::get_if<ControlResponse::Failure>(&answer->value)) {
        return fail(failure->message.empty() ? std::string("The host refused the change.")
                                             : failure->message);
    }
    return {};
}

} // namespace

void AppModel::sendThenRefresh(const ControlRequest& request, Outcome done) {
    client_->send(request, [self = QPointer<AppModel>(this),
                            done = std::move(done)](std::optional<ControlResponse> answer) {
        if (!self) {
            return;
        }
        if (done) {
            done(outcomeOf(answer));
        }
        self->refresh();
    });
}

void AppModel::createEntry(const NewLedgerEntry& entry, Outcome done) {
    sendThenRefresh(ControlRequest::createEntry(entry), std::move(done));
}

void AppModel::updateEntry(const LedgerEntry& entry, Outcome done) {
    sendThenRefresh(ControlRequest::updateEntry(entry), std::move(done));
}

void AppModel::deleteEntry(const std::string& id) {
    sendThenRefresh(ControlRequest::deleteEntry(id), {});
}

void AppModel::renameAccount(const std::string& id, const std::string& displayName, Outcome done) {
    sendThenRefresh(ControlRequest::renameAccount(id, displayName), std::move(done));
}

void AppModel::deleteAccount(const std::string& id) {
    client_->send(ControlRequest::deleteAccount(id),
                  [self = QPointer<AppModel>(this), id](std::optional<ControlResponse>) {
                      if (!self) {
                          return;
                      }
                      if (self->selectedAccountID_ == id) {
                          self->setSelectedAccountID(std::nullopt);
                      }
                      self->refresh();
                  });
}

void AppModel::setAllowUnauthenticated(bool value) {
    sendThenRefresh(ControlRequest::setAllowUnauthenticated(value), {});
}

void AppModel::setStartingPoints(std::int64_t value) {
    sendThenRefresh(ControlRequest::setStartingPoints(std::max<std::int64_t>(value, 0)), {});
}

void AppModel::fetchHistory(const std::string& accountId, std::optional<std::int64_t> before,
                            HistoryDone done) {
    client_->send(
        ControlRequest::accountHistory(accountId, before),
        [self = QPointer<AppModel>(this), done = std::move(done)](std::optional<ControlResponse> answer) {
            if (!self || !done) {
                return;
            }
            if (!answer) {
                done(fail(std::string(hostUnreachableMessage)));
            } else if (auto* page = std::get_if<ControlResponse::EntriesPage>(&answer->value)) {
                done(std::move(*page));
            } else if (auto* failure = std::get_if<ControlResponse::Failure>(&answer->value)) {
                done(fail(failure->message));
            } else {
                done(fail("The host answered something other than a page of entries."));
            }
        });
}

void AppModel::applySnapshot(const Snapshot& snapshot) {
    if (assignIfChanged(accounts_, snapshot.accounts)) {
        emit accountsChanged();
    }
    if (assignIfChanged(entries_, snapshot.entries)) {
        emit entriesChanged();
    }
    if (assignIfChanged(connections_, snapshot.connections)) {
        emit connectionsChanged();
    }
    if (assignIfChanged(settings_, snapshot.settings)) {
        emit settingsChanged();
    }
    // The host lists its log oldest first and stamps whole seconds, so lines of
    // one second tie: reversed first, the later line of a tie stays in front.
    std::vector<ApiLogEntry> log(snapshot.recentApiLog.rbegin(), snapshot.recentApiLog.rend());
    std::stable_sort(log.begin(), log.end(),
                     [](const ApiLogEntry& a, const ApiLogEntry& b) { return a.timestamp > b.timestamp; });
    if (assignIfChanged(apiLog_, std::move(log))) {
        emit apiLogChanged();
    }
    if (assignIfChanged(hostVersion_, snapshot.hostVersion)) {
        emit hostVersionChanged();
    }
    setIsConnected(true);
    if (!selectedAccountID_ && !accounts_.empty()) {
        setSelectedAccountID(accounts_.front().id);
    }
}

void AppModel::apply(const ControlEvent& event) {
    if (const auto* call = std::get_if<ControlEvent::ApiCall>(&event.value)) {
        apiLog_.insert(apiLog_.begin(), call->entry);
        if (apiLog_.size() > apiLogCapacity) {
            apiLog_.resize(apiLogCapacity);
        }
        emit apiLogChanged();
        return;
    }
    // dataChanged and connectionsChanged: never applied in part.
    if (std::holds_alternative<ControlEvent::DataChanged>(event.value)) {
        emit ledgerChanged();
    }
    refresh();
}

void AppModel::setIsConnected(bool value) {
    if (assignIfChanged(isConnected_, value)) {
        emit isConnectedChanged();
    }
}

void AppModel::setReconnectDelays(std::chrono::milliseconds first, std::chrono::milliseconds max) {
    firstReconnectDelay_ = std::max(first, std::chrono::milliseconds(1));
    maxReconnectDelay_ = std::max(max, firstReconnectDelay_);
    nextReconnectDelay_ = firstReconnectDelay_;
}

void AppModel::retryNow() {
    reconnectTimer_.stop();
    nextReconnectDelay_ = firstReconnectDelay_;
    refresh();
}

void AppModel::hostReachable(bool reachable) {
    setIsConnected(reachable);
    if (reachable) {
        reconnectTimer_.stop();
        nextReconnectDelay_ = firstReconnectDelay_;
        if (assignIfChanged(isOffline_, false)) {
            emit isOfflineChanged();
        }
        return;
    }
    // Connections we can no longer see may be gone: show none rather than
    // stale ones, until a snapshot says again.
    if (assignIfChanged(connections_, std::vector<LiveConnection>{})) {
        emit connectionsChanged();
    }
    bool accountsChanged = false;
    for (Account& account : accounts_) {
        accountsChanged = assignIfChanged(account.isConnected, false) || accountsChanged;
    }
    if (accountsChanged) {
        emit this->accountsChanged();
    }
    if (assignIfChanged(isOffline_, true)) {
        emit isOfflineChanged();
    }
    if (!reconnectTimer_.isActive()) {
        reconnectTimer_.start(nextReconnectDelay_);
        nextReconnectDelay_ = std::min(nextReconnectDelay_ * 2, maxReconnectDelay_);
    }
}

} // namespace quorvane
