#include "tests/support/ServiceClient.h"

#include <condition_variable>
#include <mutex>

#include <unistd.h>

#include "common/Coding.h"

namespace quorvane::test {

namespace {

// Settled once by whichever callback runs; shared with the callbacks, so a
// late one after a time-out touches nothing that is gone.
template <typename T>
struct Pending {
    std::mutex lock;
    std::condition_variable done;
    std::optional<Result<T>> outcome;

    void settle(Result<T> result) {
        std::lock_guard guard(lock);
        outcome.emplace(std::move(result));
        done.notify_all();
    }
};

template <typename T, typename Start>
Result<T> callAndWait(Start&& start, std::chrono::milliseconds timeout) {
    auto pending = std::make_shared<Pending<T>>();
    CallHandle call = start(pending);
    std::unique_lock guard(pending->lock);
    if (!pending->done.wait_for(guard, timeout, [&] { return pending->outcome.has_value(); })) {
        guard.unlock();
        if (call.cancel()) {
            return fail("no answer in time");
        }
        guard.lock(); // a callback ran after all: its outcome stands
        pending->done.wait(guard, [&] { return pending->outcome.has_value(); });
    }
    return std::move(*pending->outcome);
}

} // namespace

Result<std::string> callControl(ServiceConnection& connection, std::string request,
                                std::chrono::milliseconds timeout) {
    return callAndWait<std::string>(
        [&](const std::shared_ptr<Pending<std::string>>& pending) {
            return connection.control(
                std::move(request), [pending](std::string reply) { pending->settle(std::move(reply)); },
                [pending](std::string error) { pending->settle(fail(std::move(error))); });
        },
        timeout);
}

Result<std::optional<std::string>> callAgent(ServiceConnection& connection, std::string message,
                                             std::chrono::milliseconds timeout) {
    using Reply = std::optional<std::string>;
    return callAndWait<Reply>(
        [&](const std::shared_ptr<Pending<Reply>>& pending) {
            return connection.handleAgentMessage(
                std::move(message), [pending](Reply reply) { pending->settle(std::move(reply)); },
                [pending](std::string error) { pending->settle(fail(std::move(error))); });
        },
        timeout);
}

ProgramIdentityReader readerAs(std::string_view identifier) {
    return [id = std::string(identifier)](pid_t) {
        return Result<ProgramIdentity>(ProgramIdentity{std::string(quorvaneTeamIdentifier), id});
    };
}

RuntimeEnvironment privateEnvironment(const std::string& runtimeDir) {
    RuntimeEnvironment env;
    env.xdgRuntimeDir = runtimeDir;
    env.uid = ::geteuid();
    env.runUserBase = runtimeDir + "/no-run-user";
    env.tmpBase = runtimeDir + "/no-tmp";
    return env;
}

ServiceClient::ServiceClient(ConnectionOptions options)
    : connection_(std::make_shared<IgnoringReceiver>(), std::move(options)) {
}

Result<std::string> ServiceClient::controlText(std::string request, std::chrono::milliseconds timeout) {
    return callControl(connection_, std::move(request), timeout);
}

Result<ControlResponse> ServiceClient::control(const ControlRequest& request,
                                               std::chrono::milliseconds timeout) {
    const std::optional<std::string> text = QuorvaneCoding::encodeToString(request);
    if (!text) {
        return fail("cannot encode the control request");
    }
    Result<std::string> reply = controlText(*text, timeout);
    if (!reply) {
        return reply.error();
    }
    std::string decodeError;
    std::optional<ControlResponse> response = QuorvaneCoding::decode<ControlResponse>(*reply, &decodeError);
    if (!response) {
        return fail("undecodable control response: " + decodeError + ": " + *reply);
    }
    return std::move(*response);
}

Result<std::optional<std::string>> ServiceClient::agentMessage(std::string message,
                                                               std::chrono::milliseconds timeout) {
    return callAgent(connection_, std::move(message), timeout);
}

} // namespace quorvane::test
