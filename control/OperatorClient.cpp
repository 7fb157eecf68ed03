#include "control/OperatorClient.h"

#include <condition_variable>
#include <filesystem>
#include <system_error>
#include <utility>

#include "common/Coding.h"
#include "common/ThreadSafety.h"

namespace quorvane {

namespace {

// What an old host answers to a request it does not know.
constexpr std::string_view malformedRequestText = "Malformed control request";

// Settled once by whichever callback of one call runs first; shared with the
// callbacks, so a late one after a time-out touches nothing that is gone.
class Pending {
public:
    void settle(Result<std::string> outcome) QUORVANE_EXCLUDES(lock_) {
        MutexLock guard(lock_);
        if (!outcome_) {
            outcome_.emplace(std::move(outcome));
        }
        done_.notify_all();
    }

    // The outcome, or nullopt when none came within `timeout`.
    [[nodiscard]] std::optional<Result<std::string>> waitFor(std::chrono::milliseconds timeout)
        QUORVANE_EXCLUDES(lock_) {
        MutexLock guard(lock_);
        done_.wait_for(guard, timeout, [&]() QUORVANE_REQUIRES(lock_) { return outcome_.has_value(); });
        return std::move(outcome_);
    }

    // Waits for an outcome that is certain to come.
    [[nodiscard]] Result<std::string> wait() QUORVANE_EXCLUDES(lock_) {
        MutexLock guard(lock_);
        done_.wait(guard, [&]() QUORVANE_REQUIRES(lock_) { return outcome_.has_value(); });
        return std::move(*outcome_);
    }

private:
    Mutex lock_;
    std::condition_variable_any done_;
    std::optional<Result<std::string>> outcome_ QUORVANE_GUARDED_BY(lock_);
};

// A failure response as an Error, for the typed calls.
Error refusal(const ControlResponse::Failure& failure, bool newerRequest) {
    if (newerRequest && failure.message == malformedRequestText) {
        return fail("The host does not know this request; it may be older than this program.");
    }
    return fail(failure.message.empty() ? std::string("The host refused the request.") : failure.message);
}

bool isNewerRequest(const ControlRequest& request) {
    return std::holds_alternative<ControlRequest::AccountHistory>(request.value) ||
           std::holds_alternative<ControlRequest::ExportEntries>(request.value) ||
           std::holds_alternative<ControlRequest::ExportAccounts>(request.value) ||
           std::holds_alternative<ControlRequest::Backup>(request.value);
}

// The response's `Case`, or the reason there is none.
template <class Case>
Result<Case> expect(const ControlRequest& request, Result<ControlResponse> response) {
    if (!response) {
        return response.error();
    }
    if (auto* wanted = std::get_if<Case>(&response->value)) {
        return std::move(*wanted);
    }
    if (auto* failure = std::get_if<ControlResponse::Failure>(&response->value)) {
        return refusal(*failure, isNewerRequest(request));
    }
    return fail("The host answered something other than what was asked for.");
}

} // namespace

// Shared with the connection's exported object, which holds it weakly.
class OperatorClient::Core {
public:
    explicit Core(ConnectionOptions options) : options_(std::move(options)) {}

    // The object the host's pushes reach.
    struct Exported final : QuorvaneClientProtocol {
        explicit Exported(std::weak_ptr<Core> owner) : core(std::move(owner)) {}
        void controlEvent(const std::string& json) override {
            if (auto owner = core.lock()) {
                owner->receive(json);
            }
        }
        void deliverAgentNotification(const std::string&) override {}
        std::weak_ptr<Core> core;
    };

    void connect(const std::shared_ptr<Core>& self) {
        connection_ = std::make_unique<ServiceConnection>(std::make_shared<Exported>(self), options_);
        connection_->setInterruptionHandler([weak = std::weak_ptr<Core>(self)] {
            if (auto owner = weak.lock()) {
                owner->dropped();
            }
        });
    }

    void setEventHandler(EventHandler handler) QUORVANE_EXCLUDES(handlersLock_) {
        MutexLock guard(handlersLock_);
        onEvent_ = std::move(handler);
    }
    void setDropHandler(DropHandler handler) QUORVANE_EXCLUDES(handlersLock_) {
        MutexLock guard(handlersLock_);
        onDrop_ = std::move(handler);
    }

    Result<std::string> call(std::string text, std::chrono::milliseconds timeout) {
        auto pending = std::make_shared<Pending>();
        CallHandle handle = connection_->control(
            std::move(text), [pending](std::string reply) { pending->settle(std::move(reply)); },
            [pending](std::string error) {
                pending->settle(fail("The host could not be reached (" + error + ")."));
            });
        if (auto outcome = pending->waitFor(timeout)) {
            return std::move(*outcome);
        }
        if (handle.cancel()) {
            return fail("The host gave no answer in time.");
        }
        return pending->wait(); // a callback ran after all: its outcome stands
    }

    void close() { connection_.reset(); }

private:
    void receive(const std::string& json) QUORVANE_EXCLUDES(handlersLock_) {
        auto event = QuorvaneCoding::decode<ControlEvent>(json);
        if (!event) {
            return;
        }
        EventHandler handler;
        {
            MutexLock guard(handlersLock_);
            handler = onEvent_;
        }
        if (handler) {
            handler(*event);
        }
    }

    void dropped() QUORVANE_EXCLUDES(handlersLock_) {
        DropHandler handler;
        {
            MutexLock guard(handlersLock_);
            handler = onDrop_;
        }
        if (handler) {
            handler();
        }
    }

    const ConnectionOptions options_;
    std::unique_ptr<ServiceConnection> connection_; // set once by connect(), reset by close()

    Mutex handlersLock_;
    EventHandler onEvent_ QUORVANE_GUARDED_BY(handlersLock_);
    DropHandler onDrop_ QUORVANE_GUARDED_BY(handlersLock_);
};

OperatorClient::OperatorClient(ConnectionOptions options)
    : core_(std::make_shared<Core>(std::move(options))) {
    core_->connect(core_);
}

OperatorClient::~OperatorClient() {
    // Joins the transport's threads: no handler runs after this.
    core_->close();
}

void OperatorClient::setEventHandler(EventHandler handler) {
    core_->setEventHandler(std::move(handler));
}

void OperatorClient::setDropHandler(DropHandler handler) {
    core_->setDropHandler(std::move(handler));
}

Result<ControlResponse> OperatorClient::request(const ControlRequest& request,
                                                std::chrono::milliseconds timeout) {
    std::optional<std::string> text = QuorvaneCoding::encodeToString(request);
    if (!text) {
        return fail("The request cannot be sent: it holds text that is not valid UTF-8.");
    }
    Result<std::string> reply = core_->call(std::move(*text), timeout);
    if (!reply) {
        return reply.error();
    }
    std::optional<ControlResponse> response = QuorvaneCoding::decode<ControlResponse>(*reply);
    if (!response) {
        return fail("The host's answer could not be read; it may be newer than this program.");
    }
    return std::move(*response);
}

Result<Snapshot> OperatorClient::snapshot() {
    const ControlRequest asked = ControlRequest::snapshot();
    auto answer = expect<ControlResponse::Snapshot>(asked, request(asked));
    if (!answer) {
        return answer.error();
    }
    return std::move(answer->snapshot);
}

Result<void> OperatorClient::change(const ControlRequest& asked) {
    auto answer = expect<ControlResponse::Ok>(asked, request(asked));
    if (!answer) {
        return answer.error();
    }
    return {};
}

Result<ControlResponse::EntriesPage> OperatorClient::accountHistory(const std::string& accountId,
                                                                    std::optional<std::int64_t> before,
                                                                    std::optional<std::int64_t> limit) {
    const ControlRequest asked = ControlRequest::accountHistory(accountId, before, limit);
    return expect<ControlResponse::EntriesPage>(asked, request(asked));
}

Result<ControlResponse::EntriesPage> OperatorClient::exportEntries(std::optional<std::int64_t> after,
                                                                   std::optional<std::int64_t> limit) {
    const ControlRequest asked = ControlRequest::exportEntries(after, limit);
    return expect<ControlResponse::EntriesPage>(asked, request(asked));
}

Result<ControlResponse::AccountsPage> OperatorClient::exportAccounts(std::optional<std::string> after,
                                                                     std::optional<std::int64_t> limit) {
    const ControlRequest asked = ControlRequest::exportAccounts(std::move(after), limit);
    return expect<ControlResponse::AccountsPage>(asked, request(asked));
}

namespace {

// Walks pages from `fetch(cursor)` until one says no more follows (or comes
// empty) or `visit` says stop; `records(page)` are a page's records and
// `cursorOf(record)` the cursor that continues after one.
template <class Cursor, class Fetch, class Records, class CursorOf, class Visit>
Result<void> walkPages(std::optional<Cursor> cursor, const Fetch& fetch, const Records& records,
                       const CursorOf& cursorOf, const Visit& visit) {
    for (;;) {
        auto page = fetch(cursor);
        if (!page) {
            return page.error();
        }
        const auto& rows = records(*page);
        for (const auto& row : rows) {
            if (!visit(row)) {
                return {};
            }
        }
        if (!page->more || rows.empty()) {
            return {};
        }
        cursor = cursorOf(rows.back());
    }
}

} // namespace

Result<void> OperatorClient::forEachHistoryEntry(const std::string& accountId,
                                                 const std::function<bool(const LedgerEntry&)>& visit,
                                                 std::optional<std::int64_t> before) {
    return walkPages(
        before, [&](std::optional<std::int64_t> cursor) { return accountHistory(accountId, cursor); },
        [](const auto& page) -> const auto& { return page.entries; },
        [](const LedgerEntry& entry) { return entry.sequence; }, visit);
}

Result<void> OperatorClient::forEachExportedEntry(const std::function<bool(const LedgerEntry&)>& visit) {
    return walkPages(
        std::optional<std::int64_t>(),
        [&](std::optional<std::int64_t> cursor) { return exportEntries(cursor); },
        [](const auto& page) -> const auto& { return page.entries; },
        [](const LedgerEntry& entry) { return entry.sequence; }, visit);
}

Result<void> OperatorClient::forEachExportedAccount(const std::function<bool(const Account&)>& visit) {
    return walkPages(
        std::optional<std::string>(),
        [&](std::optional<std::string> cursor) { return exportAccounts(cursor); },
        [](const auto& page) -> const auto& { return page.accounts; },
        [](const Account& account) { return account.id; }, visit);
}

Result<void> OperatorClient::backup(const std::string& path, bool force, std::chrono::milliseconds timeout) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) {
        return fail("Cannot name the backup file " + path + ": " + error.message() + ".");
    }
    const ControlRequest asked = ControlRequest::backup(absolute.string(), force);
    auto answer = expect<ControlResponse::Ok>(asked, request(asked, timeout));
    if (!answer) {
        return answer.error();
    }
    return {};
}

} // namespace quorvane
