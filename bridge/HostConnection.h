#pragma once

// The bridge's view of its connection to the host, and the one way it sends a
// line over it. The main loop knows only this interface: the real connection
// runs over the service transport (TransportHostConnection), tests use fakes.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "bridge/BridgeOutput.h"
#include "common/ControlProtocol.h"
#include "common/ThreadSafety.h"

namespace quorvane {

// Longest wait for the host's answer to one line.
inline constexpr std::chrono::seconds defaultSendTimeout{30};

// How a connection's error handler begins the description of a call the host
// itself refused (the transport's failure frame): the host is there and has
// answered, so sending the line again cannot help.
inline constexpr std::string_view hostRefusedCallPrefix = "the host refused the call: ";

// A boolean with its own lock. The bridge has one: the reestablish flag, set
// when the connection was interrupted or invalidated or the session must be
// rebuilt, and taken by the main loop before each attempt. Thread-safe.
class Flag {
public:
    void set();
    // Answers the value and clears it, in one step.
    [[nodiscard]] bool take();
    [[nodiscard]] bool value() const;

private:
    mutable Mutex lock;
    bool value_ QUORVANE_GUARDED_BY(lock) = false;
};

// What became of one send: the host's answer (absent when it had nothing to
// answer, as for a notification), no answer at all, or a refusal by a live host.
struct SendOutcome {
    struct Reply {
        std::optional<std::string> text;
        // The sender's delivery hook has already handed the reply on.
        bool delivered = false;
        bool operator==(const Reply&) const = default;
    };
    struct Failure {
        // The host refused the call: a definitive answer, not to be retried.
        bool refused = false;
        bool operator==(const Failure&) const = default;
    };

    std::variant<Reply, Failure> value = Failure{};

    static SendOutcome reply(std::optional<std::string> text) { return {Reply{std::move(text)}}; }
    static SendOutcome failure() { return {Failure{}}; }
    static SendOutcome refusal() { return {Failure{true}}; }

    [[nodiscard]] bool isRefusal() const {
        const Failure* failed = std::get_if<Failure>(&value);
        return failed != nullptr && failed->refused;
    }

    [[nodiscard]] bool isFailure() const { return std::holds_alternative<Failure>(value); }
    // The reply, or nullptr for a failure.
    [[nodiscard]] const Reply* replied() const { return std::get_if<Reply>(&value); }

    bool operator==(const SendOutcome&) const = default;
};

// The result of one send, settled once by whichever comes first: the reply,
// the transport's failure or the time-out. Thread-safe.
class LockedOutcome {
public:
    // Stores the outcome and wakes the waiter when nothing was settled or
    // claimed yet; true then. Later outcomes change nothing and answer false.
    bool settle(SendOutcome outcome);

    // Reserves the outcome for the caller, who may then work on it before
    // settleClaimed(): true when nothing was settled or claimed yet. From
    // then on settle() answers false.
    [[nodiscard]] bool claim();
    // Stores the claimer's outcome and wakes the waiter. Only after claim()
    // answered true.
    void settleClaimed(SendOutcome outcome);

    // Waits until the outcome is settled or the deadline passes (steady
    // clock); true when settled. A claimed outcome is waited for past the
    // deadline: its claimer is already at work on it.
    [[nodiscard]] bool waitUntil(std::chrono::steady_clock::time_point deadline);

    // The settled outcome; failure while unsettled.
    [[nodiscard]] SendOutcome stored() const;

private:
    mutable Mutex lock;
    std::condition_variable_any settledSignal;
    enum class Phase { open, claimed, settled };
    Phase phase QUORVANE_GUARDED_BY(lock) = Phase::open;
    SendOutcome stored_ QUORVANE_GUARDED_BY(lock) = SendOutcome::failure();
};

// One connection to the host's service.
//
// Made by a ConnectionFactory, which hands it the exported object (the host's
// pushes go there, on any thread) and the reestablish flag (set by the
// connection, on any thread, when it is interrupted or invalidated). Used by
// one thread at a time; the handlers may run on other threads.
class HostConnection {
public:
    using ReplyHandler = std::function<void(std::optional<std::string>)>;
    using ErrorHandler = std::function<void(std::string description)>;
    // Gives up a started call: afterwards neither of its handlers starts to
    // run, and a handler already running has returned.
    using Cancel = std::function<void()>;

    virtual ~HostConnection() = default;

    // Starts one handleAgentMessage call with the line. Exactly one of the
    // handlers runs, once, on any thread (possibly before this returns),
    // unless the call is cancelled first. nullopt when this connection cannot
    // make calls at all (then neither handler ever runs).
    [[nodiscard]] virtual std::optional<Cancel> startCall(const std::string& line, ReplyHandler onReply,
                                                          ErrorHandler onError) = 0;

    // Gives the connection up for good. Later calls fail or are refused.
    virtual void invalidate() = 0;
};

// Makes a new connection to the host (without contacting it yet). May answer
// nullptr when no connection can be made; sends then fail.
using ConnectionFactory = std::function<std::unique_ptr<HostConnection>(
    std::shared_ptr<QuorvaneClientProtocol> exported, std::shared_ptr<Flag> reestablish)>;

// Hands a reply on from the transport thread that received it, before the
// sender wakes (one wake-up fewer on the way back to the agent). True when it
// did; false leaves the reply to the sender. It runs at most once per send and
// has returned before send() does, so it may use the sender's locals.
using ReplyDelivery = std::function<bool(const std::optional<std::string>& reply)>;

// Sends one line and waits at most `timeout` (steady clock) for the outcome.
// A transport failure is noted as "transport error: " + its description (a
// refusal by the host, whose description begins with hostRefusedCallPrefix,
// gives refusal() instead of failure()); a
// connection that cannot make the call (nullptr, or startCall answers nullopt)
// as "could not obtain remote proxy"; both give failure, as does the time-out,
// after which a late reply is dropped. A reply that comes in time is first
// offered to `deliver` (when given); the outcome says whether it took it.
// Blocks the calling thread.
[[nodiscard]] SendOutcome send(const std::string& line, HostConnection* connection, const NoteFunction& note,
                               std::chrono::steady_clock::duration timeout = defaultSendTimeout,
                               const ReplyDelivery& deliver = {});

} // namespace quorvane
