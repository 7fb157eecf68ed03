#include "bridge/BridgeMessages.h"

namespace quorvane {

std::optional<RequestId> requestId(std::string_view line) {
    TopLevelIdText idText;
    std::optional<Json> message = parseJson(line, JsonTopLevel::containerOnly, &idText);
    if (!message || !message->is_object()) {
        return std::nullopt;
    }
    auto found = message->find("id");
    if (found == message->end()) {
        return std::nullopt;
    }
    RequestId id{std::move(*found), std::nullopt};
    if (id.value.is_number()) {
        id.numberLexeme = std::move(idText.numberLexeme);
    }
    return id;
}

std::string errorLine(const RequestId& id, std::string_view message) {
    // Written member by member, so that a number keeps the agent's own text.
    std::optional<std::string> idText = id.numberLexeme;
    if (!idText) {
        idText = serializeJson(id.value);
    }
    const std::optional<std::string> messageText = serializeJsonString(message);
    if (!idText || !messageText) {
        return std::string(errorLineFallback);
    }
    std::string line = R"({"jsonrpc":"2.0","id":)";
    line += *idText;
    line += R"(,"error":{"code":-32000,"message":)";
    line += *messageText;
    line += "}}";
    return line;
}

bool isNotAuthenticated(std::string_view reply) {
    // Most replies cannot mention the word at all and are never parsed.
    if (!jsonTextMayMention(reply, "not_authenticated")) {
        return false;
    }
    const std::optional<Json> message = parseJson(reply);
    if (!message) {
        return false;
    }
    const Json* result = jsonObjectMember(*message, "result");
    if (result == nullptr) {
        return false;
    }
    const Json* isError = jsonMember(*result, "isError");
    if (isError == nullptr || !isError->is_boolean() || !isError->get<bool>()) {
        return false;
    }
    const Json* content = jsonObjectMember(*result, "structuredContent");
    const std::string* error = content != nullptr ? jsonStringMember(*content, "error") : nullptr;
    return error != nullptr && *error == "not_authenticated";
}

} // namespace quorvane
