#pragma once

// The bridge's memory of the lines that rebuild an agent's session on a new
// connection to the host: the last "initialize" request and a login request.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/Json.h"
#include "common/ThreadSafety.h"

namespace quorvane {

// One per bridge process. Every operation may be called from any thread: JSON
// is parsed outside the lock, and the lock is held only to read or replace the
// two lines. Nothing is written anywhere; the lines live as long as the object.
// All reading of JSON is lenient: text that is not JSON or not of the expected
// shape changes nothing.
//
// Text is parsed only when it may matter: a line or reply without the words
// looked for (written out, or possibly hidden behind a \u escape) cannot, so
// most lines and replies are never parsed at all.
class SessionReplayCache {
public:
    SessionReplayCache() = default;
    SessionReplayCache(const SessionReplayCache&) = delete;
    SessionReplayCache& operator=(const SessionReplayCache&) = delete;

    // Looks at a line the agent sends, before it is forwarded. An "initialize"
    // request replaces the remembered initialize line; nothing else is kept here.
    void observeRequest(std::string_view line);

    // What the reply to a request can change here, decided once per request
    // (the bridge keeps it with the request while it waits for the reply).
    struct ReplyInterest {
        enum class Kind {
            none,   // nothing: the reply is not looked at
            login,  // a "login" tool call: remembered when its reply succeeds
            signUp, // a "signUp" tool call with a string key
        };
        Kind kind = Kind::none;
        std::string signUpKey; // for signUp only

        bool operator==(const ReplyInterest&) const = default;
    };

    // The interest of a request line. Parses the line only when it may be a
    // login or signUp tool call. Pure; safe on any thread.
    [[nodiscard]] static ReplyInterest interestIn(std::string_view request);

    // Looks at a forwarded request and the host's reply (absent when none came).
    // A successful "login" tool call is remembered verbatim; a successful
    // "signUp" with a string key and an account id in its result is remembered
    // as a login line made up from the two.
    void observeResponse(std::string_view request, std::optional<std::string_view> reply);
    // The same with the request's interest already known (interestIn(request)).
    void observeResponse(std::string_view request, const ReplyInterest& interest,
                         std::optional<std::string_view> reply);

    // The lines to send again on a new connection, in the order initialize,
    // login, without the absent ones and without any line equal to `excluding`
    // (the line about to be forwarded). Zero, one or two lines.
    [[nodiscard]] std::vector<std::string> replayLines(std::string_view excluding) const;

    // Whether a session can be rebuilt: an initialize line is known. A login
    // line alone does not count.
    [[nodiscard]] bool canReestablish() const;

private:
    struct Summary {
        std::string method;
        std::optional<std::string> toolName; // params "name", when a string
        std::optional<Json> arguments;       // params "arguments", when an object
    };

    [[nodiscard]] static std::optional<Summary> summarize(std::string_view line);
    [[nodiscard]] static bool replySucceeded(const Json& reply);
    [[nodiscard]] static std::optional<std::string> accountId(const Json& fromReply);
    [[nodiscard]] static std::optional<std::string> makeLoginLine(const std::string& accountId,
                                                                  const std::string& key);

    void storeLoginLine(std::string line) QUORVANE_EXCLUDES(lock);

    mutable Mutex lock;
    std::optional<std::string> initializeLine QUORVANE_GUARDED_BY(lock);
    std::optional<std::string> loginLine QUORVANE_GUARDED_BY(lock);
};

} // namespace quorvane
