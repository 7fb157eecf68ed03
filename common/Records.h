#pragma once

// The value records that cross process boundaries: built by the host from its
// database and connection table, carried to the operator app as JSON
// (see Coding.h), shown and edited there. Plain values: copy freely; equality
// compares every field in declaration order.
//
// Each record has one field table (RecordFields, beside the record): its
// fields in declaration order, each with its JSON key. The JSON encoder and
// decoder (Coding.cpp) and the hashes (Records.cpp) all walk that table, so a
// new field needs its member and one row in the table, nothing more.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "common/IsoDate.h"
#include "common/Version.h" // generated: QuorvaneVersion, carried in Snapshot::hostVersion

namespace quorvane {

// ---- Enumerations: raw value = case name --------------------------------------

enum class TransactionKind { credit, debit, note };
enum class LedgerFlag { none, bonus, penalty };
enum class IdentityMode { credential, clientInfo };

template <class E>
inline constexpr std::array<E, 0> allCases{};
template <>
inline constexpr std::array<TransactionKind, 3> allCases<TransactionKind>{
    TransactionKind::credit, TransactionKind::debit, TransactionKind::note};
template <>
inline constexpr std::array<LedgerFlag, 3> allCases<LedgerFlag>{LedgerFlag::none, LedgerFlag::bonus,
                                                                LedgerFlag::penalty};

[[nodiscard]] std::string_view rawValue(TransactionKind kind);
[[nodiscard]] std::string_view rawValue(LedgerFlag flag);
[[nodiscard]] std::string_view rawValue(IdentityMode mode);

// The case whose raw value is exactly `raw`; nullopt for any other text.
template <class E>
[[nodiscard]] std::optional<E> fromRawValue(std::string_view raw);

// The effect of an amount on a balance: the amount for a credit, its negation
// for a debit (the most negative amount saturates to the largest value),
// 0 for a note. The one rule every caller uses.
[[nodiscard]] std::int64_t signedAmount(TransactionKind kind, std::int64_t amount);

// ---- Field tables -----------------------------------------------------------

// One row of a field table: the JSON key and the member it names.
template <class Record, class Member>
struct RecordField {
    std::string_view key;
    Member Record::*member;
};
template <class Record, class Member>
RecordField(const char*, Member Record::*) -> RecordField<Record, Member>;

// Specialized beside each record: `static constexpr std::tuple list{...}` of
// RecordField rows in declaration order. The hash mixes the fields in row
// order, so reordering rows changes every hash.
template <class Record>
struct RecordFields;

template <class T>
concept HasFieldTable = requires {
    RecordFields<T>::list;
};

// Calls visit(key, member) for each row of the table of `record`, in table
// order. `member` is a reference into `record` (const when `record` is).
template <class Record, class Visit>
requires HasFieldTable<std::remove_const_t<Record>>
constexpr void forEachField(Record& record, Visit&& visit) {
    std::apply([&](const auto&... field) { (visit(field.key, record.*field.member), ...); },
               RecordFields<std::remove_const_t<Record>>::list);
}

// ---- Records ----------------------------------------------------------------

struct ClientInfo {
    std::string name;
    std::optional<std::string> version;
    std::optional<std::string> title;

    // The title when present (an empty title counts as present), else the name.
    [[nodiscard]] const std::string& displayLabel() const { return title ? *title : name; }
    bool operator==(const ClientInfo&) const = default;
};

template <>
struct RecordFields<ClientInfo> {
    static constexpr std::tuple list{
        RecordField{"name", &ClientInfo::name},
        RecordField{"version", &ClientInfo::version},
        RecordField{"title", &ClientInfo::title},
    };
};

struct ClientInfoField {
    std::string key;
    std::string value;

    [[nodiscard]] const std::string& id() const { return key; }
    bool operator==(const ClientInfoField&) const = default;
};

template <>
struct RecordFields<ClientInfoField> {
    static constexpr std::tuple list{
        RecordField{"key", &ClientInfoField::key},
        RecordField{"value", &ClientInfoField::value},
    };
};

struct Account {
    std::string id;
    std::string displayName;
    IdentityMode identityMode = IdentityMode::credential;
    std::optional<ClientInfo> clientInfo;
    std::optional<std::vector<ClientInfoField>> clientInfoFields;
    std::int64_t balance = 0;
    Date createdAt;
    bool isConnected = false;

    bool operator==(const Account&) const = default;
};

template <>
struct RecordFields<Account> {
    static constexpr std::tuple list{
        RecordField{"id", &Account::id},
        RecordField{"displayName", &Account::displayName},
        RecordField{"identityMode", &Account::identityMode},
        RecordField{"clientInfo", &Account::clientInfo},
        RecordField{"clientInfoFields", &Account::clientInfoFields},
        RecordField{"balance", &Account::balance},
        RecordField{"createdAt", &Account::createdAt},
        RecordField{"isConnected", &Account::isConnected},
    };
};

struct LedgerEntry {
    std::string id;
    std::string accountId;
    TransactionKind kind = TransactionKind::credit;
    LedgerFlag flag = LedgerFlag::none;
    std::int64_t amount = 0;
    std::string memo;
    Date createdAt;
    Date updatedAt;
    std::int64_t sequence = 0;

    [[nodiscard]] std::int64_t signedAmount() const { return quorvane::signedAmount(kind, amount); }
    bool operator==(const LedgerEntry&) const = default;
};

template <>
struct RecordFields<LedgerEntry> {
    static constexpr std::tuple list{
        RecordField{"id", &LedgerEntry::id},
        RecordField{"accountId", &LedgerEntry::accountId},
        RecordField{"kind", &LedgerEntry::kind},
        RecordField{"flag", &LedgerEntry::flag},
        RecordField{"amount", &LedgerEntry::amount},
        RecordField{"memo", &LedgerEntry::memo},
        RecordField{"createdAt", &LedgerEntry::createdAt},
        RecordField{"updatedAt", &LedgerEntry::updatedAt},
        RecordField{"sequence", &LedgerEntry::sequence},
    };
};

struct NewLedgerEntry {
    std::string accountId;
    TransactionKind kind = TransactionKind::credit;
    LedgerFlag flag = LedgerFlag::none;
    std::int64_t amount = 0;
    std::string memo;

    bool operator==(const NewLedgerEntry&) const = default;
};

template <>
struct RecordFields<NewLedgerEntry> {
    static constexpr std::tuple list{
        RecordField{"accountId", &NewLedgerEntry::accountId}, RecordField{"kind", &NewLedgerEntry::kind},
        RecordField{"flag", &NewLedgerEntry::flag},           RecordField{"amount", &NewLedgerEntry::amount},
        RecordField{"memo", &NewLedgerEntry::memo},
    };
};

struct LiveConnection {
    std::string id;
    std::optional<ClientInfo> clientInfo;
    std::optional<std::string> accountId;
    bool authenticated = false;
    Date connectedAt;

    bool operator==(const LiveConnection&) const = default;
};

template <>
struct RecordFields<LiveConnection> {
    static constexpr std::tuple list{
        RecordField{"id", &LiveConnection::id},
        RecordField{"clientInfo", &LiveConnection::clientInfo},
        RecordField{"accountId", &LiveConnection::accountId},
        RecordField{"authenticated", &LiveConnection::authenticated},
        RecordField{"connectedAt", &LiveConnection::connectedAt},
    };
};

struct ApiLogEntry {
    enum class Direction { request, response, notification };

    std::string id;
    std::string connectionId;
    std::optional<std::string> accountId;
    std::optional<std::string> clientLabel;
    Direction direction = Direction::request;
    std::optional<std::string> method;
    std::string payload;
    Date timestamp;

    bool operator==(const ApiLogEntry&) const = default;
};

template <>
struct RecordFields<ApiLogEntry> {
    static constexpr std::tuple list{
        RecordField{"id", &ApiLogEntry::id},
        RecordField{"connectionId", &ApiLogEntry::connectionId},
        RecordField{"accountId", &ApiLogEntry::accountId},
        RecordField{"clientLabel", &ApiLogEntry::clientLabel},
        RecordField{"direction", &ApiLogEntry::direction},
        RecordField{"method", &ApiLogEntry::method},
        RecordField{"payload", &ApiLogEntry::payload},
        RecordField{"timestamp", &ApiLogEntry::timestamp},
    };
};

[[nodiscard]] std::string_view rawValue(ApiLogEntry::Direction direction);

struct Settings {
    bool allowUnauthenticated = false;
    std::int64_t startingPoints = 0;

    bool operator==(const Settings&) const = default;
};

template <>
struct RecordFields<Settings> {
    static constexpr std::tuple list{
        RecordField{"allowUnauthenticated", &Settings::allowUnauthenticated},
        RecordField{"startingPoints", &Settings::startingPoints},
    };
};

// What a snapshot left out to stay within its size budget (the host's
// SnapshotBuilder): counts of records dropped, oldest API log lines, oldest
// entries, newest accounts and connections, and of texts shortened or client
// information views dropped.
struct SnapshotOmissions {
    std::int64_t apiLogEntries = 0;
    std::int64_t entries = 0;
    std::int64_t accounts = 0;
    std::int64_t connections = 0;
    std::int64_t shortenedTexts = 0;

    bool operator==(const SnapshotOmissions&) const = default;
};

template <>
struct RecordFields<SnapshotOmissions> {
    static constexpr std::tuple list{
        RecordField{"apiLogEntries", &SnapshotOmissions::apiLogEntries},
        RecordField{"entries", &SnapshotOmissions::entries},
        RecordField{"accounts", &SnapshotOmissions::accounts},
        RecordField{"connections", &SnapshotOmissions::connections},
        RecordField{"shortenedTexts", &SnapshotOmissions::shortenedTexts},
    };
};

struct Snapshot {
    std::vector<Account> accounts;
    std::vector<LedgerEntry> entries;
    std::vector<LiveConnection> connections;
    Settings settings;
    std::vector<ApiLogEntry> recentApiLog;
    std::string hostVersion;
    // Present only when something was left out; older readers ignore it.
    std::optional<SnapshotOmissions> omitted;

    bool operator==(const Snapshot&) const = default;
};

template <>
struct RecordFields<Snapshot> {
    static constexpr std::tuple list{
        RecordField{"accounts", &Snapshot::accounts},
        RecordField{"entries", &Snapshot::entries},
        RecordField{"connections", &Snapshot::connections},
        RecordField{"settings", &Snapshot::settings},
        RecordField{"recentApiLog", &Snapshot::recentApiLog},
        RecordField{"hostVersion", &Snapshot::hostVersion},
        RecordField{"omitted", &Snapshot::omitted},
    };
};

// ---- Hashing ----------------------------------------------------------------

// Mixes one more field into a running hash (order matters).
inline void hashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

} // namespace quorvane

template <>
struct std::hash<quorvane::ClientInfo> {
    std::size_t operator()(const quorvane::ClientInfo& v) const noexcept;
};
template <>
struct std::hash<quorvane::ClientInfoField> {
    std::size_t operator()(const quorvane::ClientInfoField& v) const noexcept;
};
template <>
struct std::hash<quorvane::Account> {
    std::size_t operator()(const quorvane::Account& v) const noexcept;
};
template <>
struct std::hash<quorvane::LedgerEntry> {
    std::size_t operator()(const quorvane::LedgerEntry& v) const noexcept;
};
template <>
struct std::hash<quorvane::LiveConnection> {
    std::size_t operator()(const quorvane::LiveConnection& v) const noexcept;
};
template <>
struct std::hash<quorvane::ApiLogEntry> {
    std::size_t operator()(const quorvane::ApiLogEntry& v) const noexcept;
};
template <>
struct std::hash<quorvane::Settings> {
    std::size_t operator()(const quorvane::Settings& v) const noexcept;
};
