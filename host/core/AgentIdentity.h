#pragma once

// Agent identity: which account an agent connection acts for. With
// unauthenticated access on, a connection whose client names itself is bound to
// the one account of its client-info fingerprint (created on first sight);
// with it off, agents sign up with a private key or log in with account id and
// key. Also the switch between the two modes.
//
// Ownership: the engine owns one instance; it refers to the engine's store and
// registry, which outlive it.
//
// Threading: every operation may be called from any thread. `bindMutex_` makes
// the look-up-then-create of a client-info account one step; it is held only
// around those store calls, never while the registry is called or anything is
// pushed. `signUpMutex_` guards the recent sign-ups of each connection and is
// held only to count them. Events go out after the change they announce.
//
// Bounds (common/Limits.h): client information beyond its limits is refused or
// cut before anything is stored, sign-up keys have a longest length, and each
// connection may sign up only so often.

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

#include "common/Json.h"
#include "common/Records.h"
#include "common/ThreadSafety.h"
#include "host/core/ConnectionRegistry.h"
#include "host/core/LedgerStore.h"

namespace quorvane {

class AgentIdentity {
public:
    // Characters (grapheme clusters) a sign-up key needs at least.
    static constexpr std::size_t minimumKeyCharacters = 40;

    using Clock = std::chrono::steady_clock;

    // `now` tells the time for the sign-up rate limit (tests pass their own).
    AgentIdentity(LedgerStore& store, ConnectionRegistry& registry,
                  std::function<Clock::time_point()> now = &Clock::now);

    AgentIdentity(const AgentIdentity&) = delete;
    AgentIdentity& operator=(const AgentIdentity&) = delete;

    // The client info of an initialize request's clientInfo object: nullopt
    // unless it is a non-empty object with a string "name"; other members are
    // taken when they are strings.
    [[nodiscard]] static std::optional<ClientInfo> parseClientInfo(const Json* object);

    // What an initialize's clientInfo object lets the host keep about the
    // client, within Limits:
    //   info: parseClientInfo, but nullopt when the name, version or title is
    //         longer than maxClientInfoFieldBytes (such a client counts as one
    //         that sent none, and then `json` is nullopt too);
    //   json: the object's compact text (keys sorted) when it has members and
    //         fits maxClientInfoJSONBytes; beyond that, the text of only the
    //         members that fit, name, title and version first, then the others
    //         in key order. nullopt for no object, an empty one, or none that fit.
    // A client within the bounds gets exactly what it would get without them.
    struct AnnouncedClient {
        std::optional<ClientInfo> info;
        std::optional<std::string> json;
    };
    [[nodiscard]] static AnnouncedClient announcedClient(const Json* object);

    // The signUp tool: a new credential account, with its opening credit of the
    // starting points written in the same transaction, bound to the connection.
    // Answers the MCP tool result, or an error result (nothing is bound then)
    // for a bad key, a connection over its sign-up rate (Limits::signUpsPerWindow
    // per signUpWindow, counted when the key is accepted) or an account that
    // could not be stored.
    [[nodiscard]] Json signUp(const Json& arguments, const std::string& connectionId)
        QUORVANE_EXCLUDES(bindMutex_, signUpMutex_);

    // The login tool: binds the connection to a credential account whose key
    // matches, and stores the connection's client info on it. Answers the MCP
    // tool result, or an error result that binds nothing.
    [[nodiscard]] Json login(const Json& arguments, const std::string& connectionId)
        QUORVANE_EXCLUDES(bindMutex_);

    // Binds the connection to the account of its client's fingerprint, created
    // (with its opening credit, in one transaction) when there is none. Whether the connection is now bound
    // (false when the account could not be created). Sends no event.
    [[nodiscard]] bool bindClientInfo(const std::string& connectionId, const ClientInfo& info)
        QUORVANE_EXCLUDES(bindMutex_);

    // Stores the setting, then rebinds every agent connection: on, each one
    // with client info is bound by fingerprint; off, every binding is dropped.
    // Then tells every agent the tool list changed and the apps that data and
    // connections changed. Whether the setting was stored; when it was not,
    // nothing else happens.
    [[nodiscard]] bool setAllowUnauthenticated(bool allow) QUORVANE_EXCLUDES(bindMutex_);

private:
    // The account of `fingerprint`, refreshed with `infoJSON` and `label`, or a
    // new seeded one; nullopt when it could not be created.
    [[nodiscard]] std::optional<std::string> accountForFingerprint(const std::string& fingerprint,
                                                                   const std::optional<std::string>& infoJSON,
                                                                   const std::string& label)
        QUORVANE_REQUIRES(bindMutex_);
    // Whether the connection may sign up now; counts the sign-up when it may.
    [[nodiscard]] bool admitSignUp(const std::string& connectionId) QUORVANE_EXCLUDES(signUpMutex_);

    LedgerStore& store_;
    ConnectionRegistry& registry_;
    const std::function<Clock::time_point()> now_;
    Mutex bindMutex_;
    Mutex signUpMutex_;
    // Times of each connection's sign-ups within the last window, oldest first.
    // Connections whose last sign-up is older than a window are swept out once
    // the map has doubled since the last sweep, so it holds only recent ones.
    std::unordered_map<std::string, std::deque<Clock::time_point>> signUps_ QUORVANE_GUARDED_BY(signUpMutex_);
    std::size_t sweepAtSize_ QUORVANE_GUARDED_BY(signUpMutex_) = 64;
};

} // namespace quorvane
