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
// pushed. Events go out after the change they announce.

#include <optional>
#include <string>

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

    AgentIdentity(LedgerStore& store, ConnectionRegistry& registry);

    AgentIdentity(const AgentIdentity&) = delete;
    AgentIdentity& operator=(const AgentIdentity&) = delete;

    // The client info of an initialize request's clientInfo object: nullopt
    // unless it is a non-empty object with a string "name"; other members are
    // taken when they are strings.
    [[nodiscard]] static std::optional<ClientInfo> parseClientInfo(const Json* object);

    // The signUp tool: a new credential account (seeded with the starting
    // points) bound to the connection. Answers the MCP tool result, an error
    // result for a bad key or an account that could not be stored (nothing is
    // bound then).
    [[nodiscard]] Json signUp(const Json& arguments, const std::string& connectionId)
        QUORVANE_EXCLUDES(bindMutex_);

    // The login tool: binds the connection to a credential account whose key
    // matches, and stores the connection's client info on it. Answers the MCP
    // tool result, or an error result that binds nothing.
    [[nodiscard]] Json login(const Json& arguments, const std::string& connectionId)
        QUORVANE_EXCLUDES(bindMutex_);

    // Binds the connection to the account of its client's fingerprint, created
    // (and seeded) when there is none. Whether the connection is now bound
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
    void seedStartingBalance(const std::string& accountId);

    LedgerStore& store_;
    ConnectionRegistry& registry_;
    Mutex bindMutex_;
};

} // namespace quorvane
