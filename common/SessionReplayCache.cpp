#include "common/SessionReplayCache.h"

#include <utility>

namespace quorvane {

std::optional<SessionReplayCache::Summary> SessionReplayCache::summarize(std::string_view line) {
    const std::optional<Json> message = parseJson(line);
    if (!message) {
        return std::nullopt;
    }
    const std::string* method = jsonStringMember(*message, "method");
    if (method == nullptr) {
        return std::nullopt;
    }
    Summary summary{*method, std::nullopt, std::nullopt};
    if (const Json* params = jsonObjectMember(*message, "params")) {
        if (const std::string* name = jsonStringMember(*params, "name")) {
            summary.toolName = *name;
        }
        if (const Json* arguments = jsonObjectMember(*params, "arguments")) {
            summary.arguments = *arguments;
        }
    }
    return summary;
}

bool SessionReplayCache::replySucceeded(const Json& reply) {
    const Json* result = jsonObjectMember(reply, "result");
    if (result == nullptr) {
        return false; // an error response, or no result object
    }
    const Json* isError = jsonMember(*result, "isError");
    return !(isError != nullptr && isError->is_boolean() && isError->get<bool>());
}

std::optional<std::string> SessionReplayCache::accountId(const Json& fromReply) {
    const Json* result = jsonObjectMember(fromReply, "result");
    const Json* content = result != nullptr ? jsonObjectMember(*result, "structuredContent") : nullptr;
    const std::string* id = content != nullptr ? jsonStringMember(*content, "accountId") : nullptr;
    if (id == nullptr) {
        return std::nullopt;
    }
    return *id;
}

std::optional<std::string> SessionReplayCache::makeLoginLine(const std::string& accountId,
                                                             const std::string& key) {
    Json arguments = Json::object();
    arguments["accountId"] = accountId;
    arguments["key"] = key;
    Json params = Json::object();
    params["name"] = "login";
    params["arguments"] = std::move(arguments);
    Json request = Json::object();
    request["jsonrpc"] = "2.0";
    request["id"] = "qvn-replay-login";
    request["method"] = "tools/call";
    request["params"] = std::move(params);
    return serializeJson(request); // fails only on text that is not UTF-8
}

void SessionReplayCache::storeLoginLine(std::string line) {
    MutexLock guard(lock);
    loginLine = std::move(line);
}

void SessionReplayCache::observeRequest(std::string_view line) {
    if (!jsonTextMayMention(line, "initialize")) {
        return;
    }
    const std::optional<Summary> summary = summarize(line);
    if (!summary || summary->method != "initialize") {
        return;
    }
    std::string copy(line); // allocate before taking the lock
    MutexLock guard(lock);
    initializeLine = std::move(copy);
}

SessionReplayCache::ReplyInterest SessionReplayCache::interestIn(std::string_view request) {
    if (!jsonTextMayMention(request, "login") && !jsonTextMayMention(request, "signUp")) {
        return {};
    }
    const std::optional<Summary> summary = summarize(request);
    if (!summary || summary->method != "tools/call" || !summary->toolName) {
        return {};
    }
    if (*summary->toolName == "login") {
        return {ReplyInterest::Kind::login, {}};
    }
    if (*summary->toolName == "signUp" && summary->arguments) {
        if (const std::string* key = jsonStringMember(*summary->arguments, "key")) {
            return {ReplyInterest::Kind::signUp, *key};
        }
    }
    return {};
}

void SessionReplayCache::observeResponse(std::string_view request, std::optional<std::string_view> reply) {
    if (reply) {
        observeResponse(request, interestIn(request), reply);
    }
}

void SessionReplayCache::observeResponse(std::string_view request, const ReplyInterest& interest,
                                         std::optional<std::string_view> reply) {
    if (!reply || interest.kind == ReplyInterest::Kind::none) {
        return;
    }
    const std::optional<Json> message = parseJson(*reply);
    if (!message || !replySucceeded(*message)) {
        return;
    }
    if (interest.kind == ReplyInterest::Kind::login) {
        storeLoginLine(std::string(request));
        return;
    }
    const std::optional<std::string> id = accountId(*message);
    if (!id) {
        return;
    }
    std::optional<std::string> line = makeLoginLine(*id, interest.signUpKey);
    if (!line) {
        return;
    }
    storeLoginLine(std::move(*line));
}

std::vector<std::string> SessionReplayCache::replayLines(std::string_view excluding) const {
    std::vector<std::string> lines;
    MutexLock guard(lock);
    for (const std::optional<std::string>* line : {&initializeLine, &loginLine}) {
        if (*line && **line != excluding) {
            lines.push_back(**line);
        }
    }
    return lines;
}

bool SessionReplayCache::canReestablish() const {
    MutexLock guard(lock);
    return initializeLine.has_value();
}

} // namespace quorvane
