#include "bridge/HostConnection.h"

#include <utility>

namespace quorvane {

void Flag::set() {
    MutexLock guard(lock);
    value_ = true;
}

bool Flag::take() {
    MutexLock guard(lock);
    return std::exchange(value_, false);
}

bool Flag::value() const {
    MutexLock guard(lock);
    return value_;
}

bool LockedOutcome::settle(SendOutcome outcome) {
    {
        MutexLock guard(lock);
        if (settled) {
            return false;
        }
        settled = true;
        stored_ = std::move(outcome);
    }
    settledSignal.notify_all();
    return true;
}

bool LockedOutcome::waitUntil(std::chrono::steady_clock::time_point deadline) {
    MutexLock guard(lock);
    while (!settled) {
        if (settledSignal.wait_until(guard, deadline) == std::cv_status::timeout) {
            return settled;
        }
    }
    return true;
}

SendOutcome LockedOutcome::stored() const {
    MutexLock guard(lock);
    return stored_;
}

SendOutcome send(const std::string& line, HostConnection* connection, const NoteFunction& note,
                 std::chrono::steady_clock::duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto outcome = std::make_shared<LockedOutcome>();

    std::optional<HostConnection::Cancel> cancel;
    if (connection != nullptr) {
        cancel = connection->startCall(
            line,
            [outcome](std::optional<std::string> reply) {
                outcome->settle(SendOutcome::reply(std::move(reply)));
            },
            [outcome, note](std::string description) {
                const bool refused = description.starts_with(hostRefusedCallPrefix);
                note("transport error: " + description);
                outcome->settle(refused ? SendOutcome::refusal() : SendOutcome::failure());
            });
    }
    if (!cancel) {
        note("could not obtain remote proxy");
        return SendOutcome::failure();
    }

    if (!outcome->waitUntil(deadline)) {
        outcome->settle(SendOutcome::failure()); // does nothing if the answer came just in time
    }
    // Drops a reply that is still on its way; the handlers hold the outcome,
    // not this frame, so a late one could do no harm either.
    (*cancel)();
    return outcome->stored();
}

} // namespace quorvane
