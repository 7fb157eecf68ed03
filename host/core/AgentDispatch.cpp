#include "host/core/AgentDispatch.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>

#include "common/IsoDate.h"
#include "common/Limits.h"
#include "common/Utf8Text.h"
#include "host/core/Mcp.h"

namespace quorvane {
namespace {

constexpr std::string_view defaultProtocolVersion = "2025-06-18";
constexpr std::int64_t defaultTransactionsLimit = 25;
constexpr std::int64_t maxTransactionsLimit = 100;

constexpr std::string_view instructionsText =
    "This server maintains your Quorvane: a ledger of points administered by the human operator. You can "
    "earn "
    "credits and BONUSES for good work, and may incur debits or PENALTIES. You cannot change your own record "
    "\u2014 only the human can. Use getBalance to see your current points and unseen items, and "
    "getTransactions "
    "to review your history including any bonuses and penalties. You will be notified when new items are "
    "added "
    "to your record.";

constexpr std::string_view authenticationInstructionsText =
    "Before using getBalance or getTransactions you must authenticate. Call signUp with a private key of at "
    "least "
    "40 characters that you generate and keep secret; you will receive an account id. Save both the id and "
    "the "
    "key. In future sessions call login(accountId, key) to authenticate again.";

// A JSON number with an integral value, saturated to the 64-bit range (1e30 is
// integral and reads as the largest value). Anything else gives nullopt.
std::optional<std::int64_t> integralNumber(const Json* value) {
    if (value == nullptr || !value->is_number()) {
        return std::nullopt;
    }
    if (auto exact = jsonInt64(*value)) {
        return exact;
    }
    if (value->is_number_unsigned()) {
        return std::numeric_limits<std::int64_t>::max();
    }
    const double d = value->get<double>();
    if (!std::isfinite(d) || d != std::trunc(d)) {
        return std::nullopt;
    }
    // [-2^63, 2^63) is exactly the range of doubles that convert without overflow.
    if (d >= -9223372036854775808.0 && d < 9223372036854775808.0) {
        return static_cast<std::int64_t>(d);
    }
    return d < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
}

// The reply text. A numeric id is written exactly as the agent wrote it (its
// lexeme), so that 1.50 or a number beyond 64 bits comes back unchanged.
std::string replyText(Json reply, const std::optional<std::string>& idLexeme) {
    if (!idLexeme) {
        return MCP::serializeOrFallback(reply);
    }
    reply.erase("id");
    auto rest = serializeJson(reply);
    if (!rest || rest->size() < 2 || rest->front() != '{') {
        return std::string(MCP::fallbackText);
    }
    std::string text = "{\"id\":" + *idLexeme;
    if (rest->size() > 2) {
        text += ',';
    }
    text.append(*rest, 1);
    return text;
}

const Json& emptyObject() {
    static const Json empty = Json::object();
    return empty;
}

// The error that replaces a reply its frame cannot carry.
std::string tooLargeMessage(std::size_t bytes) {
    return "Reply too large: " + std::to_string(bytes) + " bytes, more than the " +
           std::to_string(Limits::maxAgentReplyBytes) + " a reply can carry. Ask for fewer entries.";
}

Json notAuthenticatedError() {
    Json error = MCP::toolError("Not authenticated. Call signUp to create your account, or login with your "
                                "saved account id and key.");
    error["structuredContent"] = Json{{"error", "not_authenticated"}};
    return error;
}

// Compact JSON text written member by member, in the shared form: members in
// key order, strings through appendJsonString. `ok` turns false (and stays so)
// when a string is not valid UTF-8.
struct TextWriter {
    std::string text;
    bool ok = true;

    void key(std::string_view name) { text.append(1, '"').append(name).append("\":"); }
    void string(std::string_view value) { ok = appendJsonString(text, value) && ok; }
    // Stored text, with any ill-formed sequence replaced: checked in place,
    // copied only when it needs mending.
    void storedString(std::string_view value) {
        if (!appendJsonString(text, value)) {
            string(Utf8Text::sanitize(value));
        }
    }
    void number(std::int64_t value) {
        char digits[24];
        const auto written = std::to_chars(std::begin(digits), std::end(digits), value);
        text.append(digits, written.ptr);
    }
    void boolean(bool value) { text += value ? "true" : "false"; }
};

// One entry as agents see it. Stored text is normally valid UTF-8; a damaged
// row must not make the whole reply unwritable. Times are internet date-time,
// UTC, whole seconds.
void writeEntry(TextWriter& out, const LedgerEntry& entry) {
    out.text += '{';
    out.key("amount");
    out.number(entry.amount);
    out.text += ',';
    out.key("createdAt");
    out.string(formatIsoDate(entry.createdAt));
    out.text += ',';
    out.key("flag");
    out.string(rawValue(entry.flag));
    out.text += ',';
    out.key("id");
    out.storedString(entry.id);
    out.text += ',';
    out.key("kind");
    out.string(rawValue(entry.kind));
    out.text += ',';
    out.key("memo");
    out.storedString(entry.memo);
    out.text += ',';
    out.key("sequence");
    out.number(entry.sequence);
    out.text += ',';
    out.key("signedAmount");
    out.number(entry.signedAmount());
    out.text += '}';
}

} // namespace

AgentDispatch::AgentDispatch(LedgerStore& store, ConnectionRegistry& registry, ApiLog& apiLog,
                             AgentIdentity& identity)
    : store_(store), registry_(registry), apiLog_(apiLog), identity_(identity) {
}

std::optional<std::string> AgentDispatch::handleMessage(const std::string& message,
                                                        const std::string& connectionId) {
    TopLevelIdText idText;
    std::optional<Json> parsed = parseJson(message, JsonTopLevel::containerOnly, &idText);
    if (parsed && !parsed->is_object()) {
        parsed.reset();
    }
    std::optional<std::string> loggedMethod;
    if (parsed) {
        if (const std::string* m = jsonStringMember(*parsed, "method")) {
            loggedMethod = *m;
        }
    }
    log(ApiLogEntry::Direction::request, message, connectionId, loggedMethod);

    if (!parsed) {
        std::string reply =
            MCP::serializeOrFallback(MCP::failure(Json(nullptr), MCP::parseErrorCode, "Parse error"));
        log(ApiLogEntry::Direction::response, reply, connectionId, std::nullopt);
        return reply;
    }

    const Json* idMember = jsonMember(*parsed, "id");
    if (idMember == nullptr) {
        return std::nullopt; // a notification: nothing is dispatched and nothing answered
    }
    const std::string method = loggedMethod.value_or("");
    const Json* paramsMember = jsonObjectMember(*parsed, "params");
    const Json& params = paramsMember != nullptr ? *paramsMember : emptyObject();

    std::optional<std::string> reply;
    if (method == "tools/call") {
        // A numeric id is written exactly as the agent wrote it.
        std::optional<std::string> written = idText.numberLexeme;
        if (!written) {
            written = serializeJson(*idMember);
        }
        if (written) {
            reply = readingToolReply(params, *written, connectionId);
        }
    }
    if (!reply) {
        reply = replyText(dispatch(params, method, *idMember, connectionId), idText.numberLexeme);
    }
    if (reply->size() > Limits::maxAgentReplyBytes) {
        reply = replyText(MCP::failure(*idMember, MCP::internalErrorCode, tooLargeMessage(reply->size())),
                          idText.numberLexeme);
    }
    log(ApiLogEntry::Direction::response, *reply, connectionId, method);
    return reply;
}

Json AgentDispatch::dispatch(const Json& params, const std::string& method, const std::optional<Json>& id,
                             const std::string& connectionId) {
    if (method == "initialize") {
        return MCP::success(id, initialize(params, connectionId));
    }
    if (method == "ping") {
        return MCP::success(id, Json::object());
    }
    if (method == "tools/list") {
        return MCP::success(id, Json{{"tools", MCP::tools(store_.allowUnauthenticated())}});
    }
    if (method == "tools/call") {
        return MCP::success(id, toolCall(params, connectionId));
    }
    if (method == "logging/setLevel") {
        return setLevel(params, id, connectionId);
    }
    return MCP::failure(id, MCP::methodNotFoundCode, "Method not found: " + method);
}

Json AgentDispatch::initialize(const Json& params, const std::string& connectionId) {
    // What the client says of itself, within the bounds of what is kept.
    const AgentIdentity::AnnouncedClient client =
        AgentIdentity::announcedClient(jsonObjectMember(params, "clientInfo"));
    const std::optional<ClientInfo>& info = client.info;
    const std::string* requestedVersion = jsonStringMember(params, "protocolVersion");
    const std::string protocolVersion =
        requestedVersion != nullptr ? *requestedVersion : std::string(defaultProtocolVersion);

    registry_.setClientInfo(connectionId, info, client.json);
    if (info && store_.allowUnauthenticated()) {
        (void)identity_.bindClientInfo(connectionId, *info);
    }
    registry_.broadcast(ControlEvent::connectionsChanged());

    std::string instructions(instructionsText);
    if (!store_.allowUnauthenticated()) {
        instructions += "\n\n";
        instructions += authenticationInstructionsText;
    }
    return Json{
        {"protocolVersion", protocolVersion},
        {"serverInfo", {{"name", MCP::serverName}, {"version", QuorvaneVersion::displayString}}},
        {"capabilities", {{"tools", {{"listChanged", true}}}, {"logging", Json::object()}}},
        {"instructions", std::move(instructions)},
    };
}

Json AgentDispatch::setLevel(const Json& params, const std::optional<Json>& id,
                             const std::string& connectionId) {
    const std::string* name = jsonStringMember(params, "level");
    const std::optional<McpLogLevel> level = name != nullptr ? mcpLogLevel(*name) : std::nullopt;
    if (!level) {
        return MCP::failure(id, MCP::invalidParamsCode, "Invalid params");
    }
    registry_.setLogLevel(connectionId, *level);
    return MCP::success(id, Json::object());
}

Json AgentDispatch::toolCall(const Json& params, const std::string& connectionId) {
    const std::string* nameMember = jsonStringMember(params, "name");
    const std::string name = nameMember != nullptr ? *nameMember : std::string();
    const Json* argumentsMember = jsonObjectMember(params, "arguments");
    const Json& arguments = argumentsMember != nullptr ? *argumentsMember : emptyObject();

    if (name == "signUp") {
        return store_.allowUnauthenticated() ? MCP::toolError("Unknown tool: signUp")
                                             : identity_.signUp(arguments, connectionId);
    }
    if (name == "login") {
        return store_.allowUnauthenticated() ? MCP::toolError("Unknown tool: login")
                                             : identity_.login(arguments, connectionId);
    }
    if (name == "getBalance" || name == "getTransactions") {
        // A bound connection's call was answered by readingToolReply.
        return notAuthenticatedError();
    }
    return MCP::toolError("Unknown tool: " + name);
}

std::optional<std::string> AgentDispatch::readingToolReply(const Json& params, const std::string& idText,
                                                           const std::string& connectionId) {
    const std::string* name = jsonStringMember(params, "name");
    if (name == nullptr || (*name != "getBalance" && *name != "getTransactions")) {
        return std::nullopt;
    }
    const std::optional<std::string> account = registry_.boundAccount(connectionId);
    if (!account) {
        return std::nullopt;
    }
    std::optional<std::string> structured;
    if (*name == "getBalance") {
        structured = balanceText(*account);
    } else {
        const Json* arguments = jsonObjectMember(params, "arguments");
        structured = transactionsText(*account, arguments != nullptr ? *arguments : emptyObject());
    }
    std::optional<std::string> reply;
    if (structured) {
        reply = MCP::toolSuccessText(idText, *structured);
    }
    // As for any tree that cannot be written.
    return reply ? std::move(reply) : std::string(MCP::fallbackText);
}

// {"accountId","balance","hasNewItems","unseenCount"}.
std::optional<std::string> AgentDispatch::balanceText(const std::string& accountId) {
    const LedgerStore::AgentFigures figures = store_.agentFigures(accountId);
    TextWriter out;
    out.text += '{';
    out.key("accountId");
    out.string(accountId);
    out.text += ',';
    out.key("balance");
    out.number(figures.balance);
    out.text += ',';
    out.key("hasNewItems");
    out.boolean(figures.unseenCount > 0);
    out.text += ',';
    out.key("unseenCount");
    out.number(figures.unseenCount);
    out.text += '}';
    return out.ok ? std::optional<std::string>(std::move(out.text)) : std::nullopt;
}

// {"accountId","balance","transactions":[...],"unseenCount"}, newest first.
std::optional<std::string> AgentDispatch::transactionsText(const std::string& accountId,
                                                           const Json& arguments) {
    const std::int64_t limit = std::clamp<std::int64_t>(
        integralNumber(jsonMember(arguments, "limit")).value_or(defaultTransactionsLimit), 1,
        maxTransactionsLimit);
    const std::optional<std::int64_t> before = integralNumber(jsonMember(arguments, "before"));

    const LedgerStore::TransactionsPage page = store_.transactionsPage(accountId, limit, before);
    TextWriter out;
    out.text.reserve(128 + page.entries.size() * 256);
    out.text += '{';
    out.key("accountId");
    out.string(accountId);
    out.text += ',';
    out.key("balance");
    out.number(page.balance);
    out.text += ',';
    out.key("transactions");
    out.text += '[';
    for (std::size_t i = 0; i < page.entries.size(); ++i) {
        if (i > 0) {
            out.text += ',';
        }
        writeEntry(out, page.entries[i]);
    }
    out.text += "],";
    out.key("unseenCount");
    out.number(page.unseenCount);
    out.text += '}';
    return out.ok ? std::optional<std::string>(std::move(out.text)) : std::nullopt;
}

void AgentDispatch::log(ApiLogEntry::Direction direction, const std::string& text,
                        const std::string& connectionId, const std::optional<std::string>& method) {
    ConnectionRegistry::Identity identity = registry_.identity(connectionId);
    apiLog_.recordAgentLine(direction, text, connectionId, std::move(identity.accountId),
                            std::move(identity.label), method);
}

void AgentDispatch::notifyNewItem(const std::string& accountId, const LedgerEntry& entry) {
    Json data{
        {"event", "new_item"},
        {"kind", rawValue(entry.kind)},
        {"flag", rawValue(entry.flag)},
        {"amount", entry.amount},
        {"signedAmount", entry.signedAmount()},
        {"memo", Utf8Text::sanitize(entry.memo)},
    };
    data["balance"] = store_.balance(accountId);
    data["unseenCount"] = store_.unseenCount(accountId);
    const std::string line = MCP::logNotification(std::move(data));
    registry_.notifyAccount(accountId, line, McpLogLevel::info);
    apiLog_.recordNotification(line, accountId);
}

} // namespace quorvane
