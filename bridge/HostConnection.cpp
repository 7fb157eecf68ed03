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
        if (phase != Phase::open) {
            return false;
        }
        phase = Phase::settled;
        stored_ = std::move(outcome);
    }
    settledSignal.notify_all();
    return true;
}

bool LockedOutcome::claim() {
    MutexLock guard(lock);
    if (phase != Phase::open) {
        return false;
    }
    phase = Phase::claimed;
    return true;
}

void LockedOutcome::settleClaimed(SendOutcome outcome) {
    {
        MutexLock guard(lock);
        phase = Phase::settled;
        stored_ = std::move(outcome);
    }
    settledSignal.notify_all();
}

bool LockedOutcome::waitUntil(std::chrono::steady_clock::time_point deadline) {
    MutexLock guard(lock);
    while (phase != Phase::settled) {
        if (phase == Phase::claimed) {
            settledSignal.wait(guard);
        } else if (settledSignal.wait_until(guard, deadline) == std::cv_status::timeout &&
                   phase == Phase::open) {
            return false;
        }
    }
    return true;
}

SendOutcome LockedOutcome::stored() const {
    MutexLock guard(lock);
    return stored_;
}

SendOutcome send(const std::string& line, HostConnection* connection, const NoteFunction& note,
                 std::chrono::steady_clock::duration timeout, const ReplyDelivery& deliver) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto outcome = std::make_shared<LockedOutcome>();

    std::optional<HostConnection::Cancel> cancel;
    if (connection != nullptr) {
        cancel = connection->startCall(
            line,
            [outcome, &deliver](std::optional<std::string> reply) {
                // Claimed before `deliver` is touched: the sender cannot time
                // out and return meanwhile, nor report the call as failed after
                // the agent has had its reply. A reply after the time-out ends here.
                if (!outcome->claim()) {
                    return;
                }
                bool delivered = false;
                try {
                    delivered = deliver && deliver(reply);
                } catch (...) {
                    // Not handed on: the sender has it.
                }
                outcome->settleClaimed({SendOutcome::Reply{std::move(reply), delivered}});
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

    if (!outcome->waitUntil(deadline) && !outcome->settle(SendOutcome::failure())) {
        (void)outcome->waitUntil(deadline); // claimed just in time: being delivered
    }
    // Drops a reply that is still on its way; a late one could do no harm
    // either (it finds the outcome settled).
    (*cancel)();
    return outcome->stored();
}

} // namespace quorvane
