#include "common/Records.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace quorvane {
namespace {

constexpr std::int64_t int64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t int64Max = std::numeric_limits<std::int64_t>::max();

template <class T>
using Mutations = std::vector<std::pair<const char*, std::function<void(T&)>>>;

// Every field takes part in equality: changing any one of them makes the copy
// unequal. For hashable records it also changes the hash (a fixed, deterministic
// value, so a collision here would be a real weakness of the mixing).
template <class T>
void expectEveryFieldCounts(const T& base, const Mutations<T>& mutations, bool hashable) {
    T same = base;
    EXPECT_EQ(same, base);
    for (const auto& [name, mutate] : mutations) {
        T changed = base;
        mutate(changed);
        EXPECT_NE(changed, base) << name;
        if constexpr (requires { std::hash<T>{}(base); }) {
            if (hashable) {
                EXPECT_EQ(std::hash<T>{}(same), std::hash<T>{}(base));
                EXPECT_NE(std::hash<T>{}(changed), std::hash<T>{}(base)) << name;
            }
        }
    }
}

const Date sampleDate = makeDate(2025, 3, 4, 5, 6, 7);

ClientInfo sampleClient() {
    return {"claude-code", "1.0", "Claude Code"};
}

TEST(Records, EqualityAndHashCoverEveryField) {
    expectEveryFieldCounts<ClientInfo>(sampleClient(),
                                       {
                                           {"name", [](auto& v) { v.name = "other"; }},
                                           {"version", [](auto& v) { v.version.reset(); }},
                                           {"version empty", [](auto& v) { v.version = ""; }},
                                           {"title", [](auto& v) { v.title = "T"; }},
                                       },
                                       true);
    expectEveryFieldCounts<ClientInfoField>({"name", "x"},
                                            {
                                                {"key", [](auto& v) { v.key = "title"; }},
                                                {"value", [](auto& v) { v.value = "y"; }},
                                                {"swapped", [](auto& v) { std::swap(v.key, v.value); }},
                                            },
                                            true);
    expectEveryFieldCounts<Account>(
        {"A1", "Agent", IdentityMode::clientInfo, sampleClient(), std::vector<ClientInfoField>{{"name", "x"}},
         10, sampleDate, true},
        {
            {"id", [](auto& v) { v.id = "A2"; }},
            {"displayName", [](auto& v) { v.displayName = "B"; }},
            {"identityMode", [](auto& v) { v.identityMode = IdentityMode::credential; }},
            {"clientInfo", [](auto& v) { v.clientInfo->title.reset(); }},
            {"clientInfo absent", [](auto& v) { v.clientInfo.reset(); }},
            {"clientInfoFields",
             [](auto& v) {
                 v.clientInfoFields->push_back({"a", "b"});
             }},
            {"clientInfoFields empty", [](auto& v) { v.clientInfoFields->clear(); }},
            {"clientInfoFields absent", [](auto& v) { v.clientInfoFields.reset(); }},
            {"balance", [](auto& v) { v.balance = -10; }},
            {"createdAt", [](auto& v) { v.createdAt += std::chrono::seconds(1); }},
            {"isConnected", [](auto& v) { v.isConnected = false; }},
        },
        true);
    expectEveryFieldCounts<LedgerEntry>(
        {"E1", "A1", TransactionKind::debit, LedgerFlag::penalty, 5, "late", sampleDate, sampleDate, 42},
        {
            {"id", [](auto& v) { v.id = "E2"; }},
            {"accountId", [](auto& v) { v.accountId = "A2"; }},
            {"kind", [](auto& v) { v.kind = TransactionKind::credit; }},
            {"flag", [](auto& v) { v.flag = LedgerFlag::bonus; }},
            {"amount", [](auto& v) { v.amount = 6; }},
            {"memo", [](auto& v) { v.memo = "early"; }},
            {"createdAt", [](auto& v) { v.createdAt -= std::chrono::hours(1); }},
            {"updatedAt", [](auto& v) { v.updatedAt += std::chrono::hours(1); }},
            {"sequence", [](auto& v) { v.sequence = 43; }},
        },
        true);
    expectEveryFieldCounts<NewLedgerEntry>({"A1", TransactionKind::credit, LedgerFlag::bonus, 5, "m"},
                                           {
                                               {"accountId", [](auto& v) { v.accountId = "A2"; }},
                                               {"kind", [](auto& v) { v.kind = TransactionKind::note; }},
                                               {"flag", [](auto& v) { v.flag = LedgerFlag::none; }},
                                               {"amount", [](auto& v) { v.amount = -5; }},
                                               {"memo", [](auto& v) { v.memo = ""; }},
                                           },
                                           false);
    expectEveryFieldCounts<LiveConnection>({"C1", sampleClient(), std::string("A1"), true, sampleDate},
                                           {
                                               {"id", [](auto& v) { v.id = "C2"; }},
                                               {"clientInfo", [](auto& v) { v.clientInfo.reset(); }},
                                               {"accountId", [](auto& v) { v.accountId.reset(); }},
                                               {"authenticated", [](auto& v) { v.authenticated = false; }},
                                               {"connectedAt", [](auto& v) { v.connectedAt = Date{}; }},
                                           },
                                           true);
    expectEveryFieldCounts<ApiLogEntry>(
        {"L1", "C1", std::string("A1"), std::string("Claude"), ApiLogEntry::Direction::response,
         std::string("tools/call"), "{}", sampleDate},
        {
            {"id", [](auto& v) { v.id = "L2"; }},
            {"connectionId", [](auto& v) { v.connectionId = "C2"; }},
            {"accountId", [](auto& v) { v.accountId.reset(); }},
            {"clientLabel", [](auto& v) { v.clientLabel = "Other"; }},
            {"direction", [](auto& v) { v.direction = ApiLogEntry::Direction::notification; }},
            {"method", [](auto& v) { v.method.reset(); }},
            {"payload", [](auto& v) { v.payload = "[]"; }},
            {"timestamp", [](auto& v) { v.timestamp += std::chrono::seconds(1); }},
        },
        true);
    expectEveryFieldCounts<Settings>(
        {true, 50000},
        {
            {"allowUnauthenticated", [](auto& v) { v.allowUnauthenticated = false; }},
            {"startingPoints", [](auto& v) { v.startingPoints = 0; }},
        },
        true);
    expectEveryFieldCounts<Snapshot>(
        {{Account{"A1", "Agent", IdentityMode::credential, std::nullopt, std::nullopt, 0, sampleDate, false}},
         {LedgerEntry{"E1", "A1", TransactionKind::note, LedgerFlag::none, 0, "", sampleDate, sampleDate, 1}},
         {LiveConnection{"C1", std::nullopt, std::nullopt, false, sampleDate}},
         {true, 50000},
         {},
         "0.1.11 (12)",
         std::nullopt},
        {
            {"accounts", [](auto& v) { v.accounts.clear(); }},
            {"entries", [](auto& v) { v.entries[0].sequence = 2; }},
            {"connections", [](auto& v) { v.connections[0].authenticated = true; }},
            {"settings", [](auto& v) { v.settings.startingPoints = 1; }},
            {"recentApiLog", [](auto& v) { v.recentApiLog.push_back({}); }},
            {"hostVersion", [](auto& v) { v.hostVersion = "0.1.10 (11)"; }},
            {"omitted", [](auto& v) { v.omitted = SnapshotOmissions{}; }},
        },
        false);
}

TEST(Records, HashesFollowFieldOrder) {
    // Two fields holding the same texts in swapped places must not collide.
    EXPECT_NE(std::hash<ClientInfo>{}({"a", std::string("b"), std::nullopt}),
              std::hash<ClientInfo>{}({"a", std::nullopt, std::string("b")}));
    EXPECT_NE(std::hash<ApiLogEntry>{}(
                  {"L", "C", std::string("x"), std::nullopt, {}, std::nullopt, "", sampleDate}),
              std::hash<ApiLogEntry>{}(
                  {"L", "C", std::nullopt, std::string("x"), {}, std::nullopt, "", sampleDate}));
}

TEST(Records, SignedAmountFollowsTheKind) {
    struct Case {
        TransactionKind kind;
        std::int64_t amount;
        std::int64_t expected;
    };
    const Case cases[] = {
        {TransactionKind::credit, 5, 5},
        {TransactionKind::credit, -5, -5},
        {TransactionKind::credit, int64Min, int64Min},
        {TransactionKind::credit, int64Max, int64Max},
        {TransactionKind::debit, 5, -5},
        {TransactionKind::debit, -5, 5},
        {TransactionKind::debit, 0, 0},
        {TransactionKind::debit, int64Max, -int64Max},
        // The negation of the most negative amount has no 64-bit value: it saturates.
        {TransactionKind::debit, int64Min, int64Max},
        {TransactionKind::note, 5, 0},
        {TransactionKind::note, int64Min, 0},
        {TransactionKind::note, int64Max, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(signedAmount(c.kind, c.amount), c.expected) << rawValue(c.kind) << " " << c.amount;
        LedgerEntry entry{"E", "A", c.kind, LedgerFlag::none, c.amount, "", sampleDate, sampleDate, 1};
        EXPECT_EQ(entry.signedAmount(), c.expected) << rawValue(c.kind) << " " << c.amount;
    }
}

TEST(Records, DisplayLabelPrefersAnyTitle) {
    EXPECT_EQ((ClientInfo{"name", std::nullopt, std::string("Title")}).displayLabel(), "Title");
    EXPECT_EQ((ClientInfo{"name", std::string("1.0"), std::nullopt}).displayLabel(), "name");
    // An empty title is still a title.
    EXPECT_EQ((ClientInfo{"name", std::nullopt, std::string("")}).displayLabel(), "");
}

TEST(Records, ClientInfoFieldIsIdentifiedByItsKey) {
    EXPECT_EQ((ClientInfoField{"version", "1.0"}).id(), "version");
}

TEST(Records, VersionConstants) {
    EXPECT_EQ(QuorvaneVersion::marketing, "0.1.11");
    EXPECT_EQ(QuorvaneVersion::build, "12");
    EXPECT_EQ(QuorvaneVersion::displayString, "0.1.11 (12)");
    EXPECT_EQ(std::string(QuorvaneVersion::displayString),
              std::string(QuorvaneVersion::marketing) + " (" + std::string(QuorvaneVersion::build) + ")");
}

TEST(Records, EnumerationsRoundTripTheirRawValues) {
    ASSERT_EQ(allCases<TransactionKind>.size(), 3u);
    EXPECT_EQ(rawValue(allCases<TransactionKind>[0]), "credit");
    EXPECT_EQ(rawValue(allCases<TransactionKind>[1]), "debit");
    EXPECT_EQ(rawValue(allCases<TransactionKind>[2]), "note");
    ASSERT_EQ(allCases<LedgerFlag>.size(), 3u);
    EXPECT_EQ(rawValue(allCases<LedgerFlag>[0]), "none");
    EXPECT_EQ(rawValue(allCases<LedgerFlag>[1]), "bonus");
    EXPECT_EQ(rawValue(allCases<LedgerFlag>[2]), "penalty");

    for (auto k : allCases<TransactionKind>) {
        EXPECT_EQ(fromRawValue<TransactionKind>(rawValue(k)), k);
    }
    for (auto f : allCases<LedgerFlag>) {
        EXPECT_EQ(fromRawValue<LedgerFlag>(rawValue(f)), f);
    }
    for (auto m : {IdentityMode::credential, IdentityMode::clientInfo}) {
        EXPECT_EQ(fromRawValue<IdentityMode>(rawValue(m)), m);
    }
    EXPECT_EQ(rawValue(IdentityMode::clientInfo), "clientInfo");
    for (auto d : {ApiLogEntry::Direction::request, ApiLogEntry::Direction::response,
                   ApiLogEntry::Direction::notification}) {
        EXPECT_EQ(fromRawValue<ApiLogEntry::Direction>(rawValue(d)), d);
    }
    EXPECT_EQ(rawValue(ApiLogEntry::Direction::notification), "notification");

    for (const char* raw : {"", "Credit", "credit ", "refund", "client_info"}) {
        EXPECT_FALSE(fromRawValue<TransactionKind>(raw)) << raw;
        EXPECT_FALSE(fromRawValue<LedgerFlag>(raw)) << raw;
        EXPECT_FALSE(fromRawValue<IdentityMode>(raw)) << raw;
        EXPECT_FALSE(fromRawValue<ApiLogEntry::Direction>(raw)) << raw;
    }
}

} // namespace
} // namespace quorvane
