#include "common/Coding.h"

#include <array>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorvane::QuorvaneCoding {
namespace {

// ---- Encoding -------------------------------------------------------------------

Json put(const std::string& v) {
    return v;
}
Json put(std::int64_t v) {
    return v;
}
Json put(bool v) {
    return v;
}
Json put(Date v) {
    return formatIsoDate(v);
}

template <class E>
requires std::is_enum_v<E> Json put(E v) {
    return std::string(rawValue(v));
}

template <HasFieldTable R>
Json put(const R& v);

template <class T>
Json put(const std::vector<T>& items) {
    Json out = Json::array();
    out.get_ref<Json::array_t&>().reserve(items.size());
    for (const auto& item : items) {
        out.push_back(put(item));
    }
    return out;
}

template <class T>
void putMember(Json& object, std::string_view key, const T& v) {
    object[std::string(key)] = put(v);
}

// An absent optional writes no key at all (never null).
template <class T>
void putMember(Json& object, std::string_view key, const std::optional<T>& v) {
    if (v) {
        object[std::string(key)] = put(*v);
    }
}

// A record: one key per row of its field table.
template <HasFieldTable R>
Json put(const R& v) {
    Json o = Json::object();
    forEachField(v, [&](std::string_view key, const auto& member) { putMember(o, key, member); });
    return o;
}

// A control message: one key, the case name, whose value is always an object.
Json message(std::string_view caseName, Json payload = Json::object()) {
    Json o = Json::object();
    o[std::string(caseName)] = std::move(payload);
    return o;
}

template <class T>
Json unlabelled(const T& v) {
    Json o = Json::object();
    o["_0"] = put(v);
    return o;
}

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// Case names in declaration order; the index is the variant index.
constexpr std::array<std::string_view, 12> requestCases{"snapshot",
                                                        "createEntry",
                                                        "updateEntry",
                                                        "deleteEntry",
                                                        "renameAccount",
                                                        "deleteAccount",
                                                        "setAllowUnauthenticated",
                                                        "setStartingPoints",
                                                        "accountHistory",
                                                        "exportEntries",
                                                        "exportAccounts",
                                                        "backup"};
constexpr std::array<std::string_view, 5> responseCases{"snapshot", "ok", "failure", "entriesPage",
                                                        "accountsPage"};
constexpr std::array<std::string_view, 3> eventCases{"apiCall", "dataChanged", "connectionsChanged"};

static_assert(std::variant_size_v<ControlRequest::Value> == requestCases.size());
static_assert(std::variant_size_v<ControlResponse::Value> == responseCases.size());
static_assert(std::variant_size_v<ControlEvent::Value> == eventCases.size());

Json put(const ControlRequest& v) {
    const std::string_view name = requestCases[v.value.index()];
    return std::visit(
        Overloaded{
            [&](const ControlRequest::Snapshot&) { return message(name); },
            [&](const ControlRequest::CreateEntry& c) { return message(name, unlabelled(c.entry)); },
            [&](const ControlRequest::UpdateEntry& c) { return message(name, unlabelled(c.entry)); },
            [&](const ControlRequest::DeleteEntry& c) {
                return message(name, {{"id", c.id}});
            },
            [&](const ControlRequest::RenameAccount& c) {
                return message(name, {{"id", c.id}, {"displayName", c.displayName}});
            },
            [&](const ControlRequest::DeleteAccount& c) {
                return message(name, {{"id", c.id}});
            },
            [&](const ControlRequest::SetAllowUnauthenticated& c) {
                return message(name, unlabelled(c.value));
            },
            [&](const ControlRequest::SetStartingPoints& c) { return message(name, unlabelled(c.value)); },
            [&](const ControlRequest::AccountHistory& c) {
                Json payload = {{"accountId", c.accountId}};
                putMember(payload, "before", c.before);
                putMember(payload, "limit", c.limit);
                return message(name, std::move(payload));
            },
            [&](const ControlRequest::ExportEntries& c) {
                Json payload = Json::object();
                putMember(payload, "after", c.after);
                putMember(payload, "limit", c.limit);
                return message(name, std::move(payload));
            },
            [&](const ControlRequest::ExportAccounts& c) {
                Json payload = Json::object();
                putMember(payload, "after", c.after);
                putMember(payload, "limit", c.limit);
                return message(name, std::move(payload));
            },
            [&](const ControlRequest::Backup& c) {
                return message(name, {{"path", c.path}, {"force", c.force}});
            },
        },
        v.value);
}

Json put(const ControlResponse& v) {
    const std::string_view name = responseCases[v.value.index()];
    return std::visit(
        Overloaded{
            [&](const ControlResponse::Snapshot& c) { return message(name, unlabelled(c.snapshot)); },
            [&](const ControlResponse::Ok&) { return message(name); },
            [&](const ControlResponse::Failure& c) { return message(name, unlabelled(c.message)); },
            [&](const ControlResponse::EntriesPage& c) {
                return message(name, {{"entries", put(c.entries)}, {"more", c.more}});
            },
            [&](const ControlResponse::AccountsPage& c) {
                Json payload = {{"accounts", put(c.accounts)}, {"more", c.more}};
                if (c.unseenCounts) {
                    payload["unseenCounts"] = *c.unseenCounts;
                }
                return message(name, std::move(payload));
            },
        },
        v.value);
}

Json put(const ControlEvent& v) {
    const std::string_view name = eventCases[v.value.index()];
    return std::visit(Overloaded{
                          [&](const ControlEvent::ApiCall& c) { return message(name, unlabelled(c.entry)); },
                          [&](const ControlEvent::DataChanged&) { return message(name); },
                          [&](const ControlEvent::ConnectionsChanged&) { return message(name); },
                      },
                      v.value);
}

// ---- Decoding -------------------------------------------------------------------

// Collects the reason of a failure. The innermost reader states what was wrong;
// every enclosing reader then prepends its key or index while the failure
// unwinds, so a successful decode never builds any text.
class Reader {
public:
    explicit Reader(bool wantsReason) : wantsReason_(wantsReason) {}

    bool fail(std::string_view reason) {
        if (wantsReason_) {
            reason_ = reason;
        }
        return false;
    }

    bool failAt(std::string_view key) {
        if (wantsReason_) {
            std::string segment = ".";
            segment += key;
            path_.insert(0, segment);
        }
        return false;
    }

    bool failAt(std::size_t index) {
        if (wantsReason_) {
            path_.insert(0, "[" + std::to_string(index) + "]");
        }
        return false;
    }

    [[nodiscard]] std::string reason() const {
        if (path_.empty()) {
            return reason_;
        }
        return (path_.front() == '.' ? path_.substr(1) : path_) + ": " + reason_;
    }

private:
    bool wantsReason_;
    std::string reason_;
    std::string path_;
};

bool get(Reader& r, const Json& j, std::string& out) {
    if (!j.is_string()) {
        return r.fail("expected a string");
    }
    out = j.get_ref<const std::string&>();
    return true;
}

bool get(Reader& r, const Json& j, std::int64_t& out) {
    const auto v = jsonInt64(j);
    if (!v) {
        return r.fail("expected an integer that fits 64 bits");
    }
    out = *v;
    return true;
}

bool get(Reader& r, const Json& j, bool& out) {
    if (!j.is_boolean()) {
        return r.fail("expected a boolean");
    }
    out = j.get<bool>();
    return true;
}

bool get(Reader& r, const Json& j, Date& out) {
    if (!j.is_string()) {
        return r.fail("expected a date string");
    }
    const auto date = parseIsoDate(j.get_ref<const std::string&>());
    if (!date) {
        return r.fail("expected a date of the form YYYY-MM-DDTHH:MM:SSZ");
    }
    out = *date;
    return true;
}

constexpr std::string_view typeName(TransactionKind) {
    return "TransactionKind";
}
constexpr std::string_view typeName(LedgerFlag) {
    return "LedgerFlag";
}
constexpr std::string_view typeName(IdentityMode) {
    return "IdentityMode";
}
constexpr std::string_view typeName(ApiLogEntry::Direction) {
    return "Direction";
}

template <class E>
requires std::is_enum_v<E>
bool get(Reader& r, const Json& j, E& out) {
    if (!j.is_string()) {
        return r.fail(std::string("expected a ") + std::string(typeName(E{})) + " string");
    }
    const auto v = fromRawValue<E>(j.get_ref<const std::string&>());
    if (!v) {
        return r.fail(std::string("unknown ") + std::string(typeName(E{})) + " value");
    }
    out = *v;
    return true;
}

template <HasFieldTable R>
bool get(Reader& r, const Json& j, R& out);

template <class T>
bool get(Reader& r, const Json& j, std::vector<T>& out) {
    if (!j.is_array()) {
        return r.fail("expected an array");
    }
    out.clear();
    out.reserve(j.size());
    for (std::size_t i = 0; i < j.size(); ++i) {
        T item{};
        if (!get(r, j[i], item)) {
            return r.failAt(i);
        }
        out.push_back(std::move(item));
    }
    return true;
}

// A required member of an object: missing, null or mistyped fails.
template <class T>
bool field(Reader& r, const Json& object, std::string_view key, T& out) {
    const auto it = object.find(key);
    if (it == object.end()) {
        r.fail("required value is missing");
        return r.failAt(key);
    }
    if (it->is_null()) {
        r.fail("required value is null");
        return r.failAt(key);
    }
    if (!get(r, *it, out)) {
        return r.failAt(key);
    }
    return true;
}

// An optional member: missing and null both mean absent.
template <class T>
bool optionalField(Reader& r, const Json& object, std::string_view key, std::optional<T>& out) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        out.reset();
        return true;
    }
    T v{};
    if (!get(r, *it, v)) {
        return r.failAt(key);
    }
    out = std::move(v);
    return true;
}

bool isObject(Reader& r, const Json& j) {
    return j.is_object() || r.fail("expected an object");
}

template <class T>
bool member(Reader& r, const Json& object, std::string_view key, T& out) {
    return field(r, object, key, out);
}

template <class T>
bool member(Reader& r, const Json& object, std::string_view key, std::optional<T>& out) {
    return optionalField(r, object, key, out);
}

// A record: every row of its field table, in order; the first failure stops.
template <HasFieldTable R>
bool get(Reader& r, const Json& j, R& out) {
    if (!isObject(r, j)) {
        return false;
    }
    bool ok = true;
    forEachField(out, [&](std::string_view key, auto& m) { ok = ok && member(r, j, key, m); });
    return ok;
}

// Finds the one case of a control message. Only keys that name a case count;
// the value under that key must be an object (its payload).
template <std::size_t N>
bool findCase(Reader& r, const Json& j, const std::array<std::string_view, N>& cases, std::size_t& index,
              const Json*& payload) {
    if (!isObject(r, j)) {
        return false;
    }
    std::size_t found = 0;
    for (std::size_t i = 0; i < N; ++i) {
        const auto it = j.find(cases[i]);
        if (it != j.end()) {
            ++found;
            index = i;
            payload = &*it;
        }
    }
    if (found != 1) {
        return r.fail(invalidKeyCountMessage);
    }
    if (!payload->is_object()) {
        r.fail("expected an object");
        return r.failAt(cases[index]);
    }
    return true;
}

// Reads the payload value under `label` into a fresh T and hands it to `make`.
template <class T, class Out, class Make>
bool payloadValue(Reader& r, const Json& payload, std::string_view caseName, std::string_view label, Out& out,
                  Make make) {
    T v{};
    if (!field(r, payload, label, v)) {
        return r.failAt(caseName);
    }
    out = make(std::move(v));
    return true;
}

bool get(Reader& r, const Json& j, ControlRequest& out) {
    std::size_t index = 0;
    const Json* p = nullptr;
    if (!findCase(r, j, requestCases, index, p)) {
        return false;
    }
    const std::string_view name = requestCases[index];
    switch (index) {
    case 0:
        out = ControlRequest::snapshot();
        return true;
    case 1:
        return payloadValue<NewLedgerEntry>(r, *p, name, "_0", out, ControlRequest::createEntry);
    case 2:
        return payloadValue<LedgerEntry>(r, *p, name, "_0", out, ControlRequest::updateEntry);
    case 3:
        return payloadValue<std::string>(r, *p, name, "id", out, ControlRequest::deleteEntry);
    case 4: {
        std::string id;
        std::string displayName;
        if (!field(r, *p, "id", id) || !field(r, *p, "displayName", displayName)) {
            return r.failAt(name);
        }
        out = ControlRequest::renameAccount(std::move(id), std::move(displayName));
        return true;
    }
    case 5:
        return payloadValue<std::string>(r, *p, name, "id", out, ControlRequest::deleteAccount);
    case 6:
        return payloadValue<bool>(r, *p, name, "_0", out, ControlRequest::setAllowUnauthenticated);
    case 7:
        return payloadValue<std::int64_t>(r, *p, name, "_0", out, ControlRequest::setStartingPoints);
    case 8: {
        ControlRequest::AccountHistory c;
        if (!field(r, *p, "accountId", c.accountId) || !optionalField(r, *p, "before", c.before) ||
            !optionalField(r, *p, "limit", c.limit)) {
            return r.failAt(name);
        }
        out = {std::move(c)};
        return true;
    }
    case 9: {
        ControlRequest::ExportEntries c;
        if (!optionalField(r, *p, "after", c.after) || !optionalField(r, *p, "limit", c.limit)) {
            return r.failAt(name);
        }
        out = {std::move(c)};
        return true;
    }
    case 10: {
        ControlRequest::ExportAccounts c;
        if (!optionalField(r, *p, "after", c.after) || !optionalField(r, *p, "limit", c.limit)) {
            return r.failAt(name);
        }
        out = {std::move(c)};
        return true;
    }
    case 11: {
        // A request without "force" never replaces a file.
        std::optional<bool> force;
        std::string path;
        if (!field(r, *p, "path", path) || !optionalField(r, *p, "force", force)) {
            return r.failAt(name);
        }
        out = ControlRequest::backup(std::move(path), force.value_or(false));
        return true;
    }
    default:
        return r.fail("unknown case");
    }
}

bool get(Reader& r, const Json& j, ControlResponse& out) {
    std::size_t index = 0;
    const Json* p = nullptr;
    if (!findCase(r, j, responseCases, index, p)) {
        return false;
    }
    const std::string_view name = responseCases[index];
    switch (index) {
    case 0:
        return payloadValue<Snapshot>(r, *p, name, "_0", out, ControlResponse::snapshot);
    case 1:
        out = ControlResponse::ok();
        return true;
    case 2:
        return payloadValue<std::string>(r, *p, name, "_0", out, ControlResponse::failure);
    case 3: {
        ControlResponse::EntriesPage c;
        if (!field(r, *p, "entries", c.entries) || !field(r, *p, "more", c.more)) {
            return r.failAt(name);
        }
        out = {std::move(c)};
        return true;
    }
    case 4: {
        ControlResponse::AccountsPage c;
        if (!field(r, *p, "accounts", c.accounts) || !field(r, *p, "more", c.more) ||
            !optionalField(r, *p, "unseenCounts", c.unseenCounts)) {
            return r.failAt(name);
        }
        // One count per account, or the counts would name the wrong accounts.
        if (c.unseenCounts && c.unseenCounts->size() != c.accounts.size()) {
            r.fail("one count per account expected");
            r.failAt("unseenCounts");
            return r.failAt(name);
        }
        out = {std::move(c)};
        return true;
    }
    default:
        return r.fail("unknown case");
    }
}

bool get(Reader& r, const Json& j, ControlEvent& out) {
    std::size_t index = 0;
    const Json* p = nullptr;
    if (!findCase(r, j, eventCases, index, p)) {
        return false;
    }
    switch (index) {
    case 0:
        return payloadValue<ApiLogEntry>(r, *p, eventCases[index], "_0", out, ControlEvent::apiCall);
    case 1:
        out = ControlEvent::dataChanged();
        return true;
    case 2:
        out = ControlEvent::connectionsChanged();
        return true;
    default:
        return r.fail("unknown case");
    }
}

} // namespace

template <class T>
Json encode(const T& value) {
    return put(value);
}

template <class T>
std::optional<T> decodeTree(const Json& tree, std::string* error) {
    Reader reader(error != nullptr);
    T value{};
    if (!get(reader, tree, value)) {
        if (error != nullptr) {
            *error = reader.reason();
        }
        return std::nullopt;
    }
    return value;
}

#define QUORVANE_CODING_INSTANTIATE(T)                                                                       \
    template Json encode<T>(const T&);                                                                       \
    template std::optional<T> decodeTree<T>(const Json&, std::string*);

QUORVANE_CODING_INSTANTIATE(ClientInfo)
QUORVANE_CODING_INSTANTIATE(ClientInfoField)
QUORVANE_CODING_INSTANTIATE(Account)
QUORVANE_CODING_INSTANTIATE(LedgerEntry)
QUORVANE_CODING_INSTANTIATE(NewLedgerEntry)
QUORVANE_CODING_INSTANTIATE(LiveConnection)
QUORVANE_CODING_INSTANTIATE(ApiLogEntry)
QUORVANE_CODING_INSTANTIATE(Settings)
QUORVANE_CODING_INSTANTIATE(Snapshot)
QUORVANE_CODING_INSTANTIATE(ControlRequest)
QUORVANE_CODING_INSTANTIATE(ControlResponse)
QUORVANE_CODING_INSTANTIATE(ControlEvent)

#undef QUORVANE_CODING_INSTANTIATE

} // namespace quorvane::QuorvaneCoding
