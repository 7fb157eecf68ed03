#pragma once

// The service contract between the host and its two kinds of peers (bridges and
// operator apps): the service name, the peer identity requirements, the two
// protocols and the control messages. JSON forms: see Coding.h.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

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

    using Value = std::variant<Snapshot, CreateEntry, UpdateEntry, DeleteEntry, RenameAccount, DeleteAccount,
                               SetAllowUnauthenticated, SetStartingPoints>;
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

    using Value = std::variant<Snapshot, Ok, Failure>;
    Value value;

    static ControlResponse snapshot(quorvane::Snapshot s) { return {Snapshot{std::move(s)}}; }
    static ControlResponse ok() { return {Ok{}}; }
    static ControlResponse failure(std::string message) { return {Failure{std::move(message)}}; }

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
