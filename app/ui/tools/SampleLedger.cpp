#include "app/ui/tools/SampleLedger.h"

#include <cstdio>
#include <string>

namespace quorvane::samples {

namespace {

// A stable, upper-case, UUID-shaped id.
std::string sampleId(unsigned kind, std::size_t n) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-4%03X-8%03X-%012llX", 0x5A3C0000u + kind,
                  static_cast<unsigned>(n & 0xFFFF), kind & 0xFFF, static_cast<unsigned>((n >> 16) & 0xFFF),
                  static_cast<unsigned long long>(n * 2654435761ULL));
    return text;
}

Date at(int day, int hour, int minute, int second = 0) {
    return makeDate(2025, 3, day, hour, minute, second);
}

} // namespace

Snapshot showcaseSnapshot() {
    Snapshot s;
    s.hostVersion = std::string(QuorvaneVersion::displayString);
    s.settings = {true, 50000};

    auto account = [&](std::size_t n, std::string name, IdentityMode mode, std::int64_t balance,
                       bool connected) {
        Account a;
        a.id = sampleId(1, n);
        a.displayName = std::move(name);
        a.identityMode = mode;
        a.balance = balance;
        a.createdAt = at(1 + static_cast<int>(n), 9, 30);
        a.isConnected = connected;
        return a;
    };
    Account claude = account(1, "Claude Code", IdentityMode::clientInfo, 51250, true);
    claude.clientInfo = ClientInfo{"claude-code", "1.0.72", std::nullopt};
    claude.clientInfoFields = std::vector<ClientInfoField>{
        {"name", "claude-code"}, {"version", "1.0.72"}, {"protocol", "2025-06-18"}, {"transport", "stdio"}};
    s.accounts.push_back(claude);
    s.accounts.push_back(account(2, "research-agent", IdentityMode::credential, 0, false));
    s.accounts.push_back(account(3, "Nightly Builder", IdentityMode::clientInfo, -40, true));
    s.accounts.push_back(account(4, "Docs Assistant With A Rather Long Display Name",
                                 IdentityMode::credential, 125000, false));
    s.accounts.push_back(account(5, "triage-bot", IdentityMode::clientInfo, 7, false));

    auto entry = [&](std::size_t n, const Account& a, TransactionKind kind, LedgerFlag flag,
                     std::int64_t amount, std::string memo, Date when) {
        LedgerEntry e;
        e.id = sampleId(2, n);
        e.accountId = a.id;
        e.kind = kind;
        e.flag = flag;
        e.amount = amount;
        e.memo = std::move(memo);
        e.createdAt = when;
        e.updatedAt = when;
        e.sequence = static_cast<std::int64_t>(n);
        return e;
    };
    const Account& c = s.accounts[0];
    // Newest first.
    s.entries = {
        entry(9, c, TransactionKind::note, LedgerFlag::bonus, 0, "Reviewed the migration plan together",
              at(12, 16, 5)),
        entry(8, c, TransactionKind::credit, LedgerFlag::penalty, 250, "Fixed the flaky integration test",
              at(12, 11, 42)),
        entry(7, c, TransactionKind::debit, LedgerFlag::penalty, 500, "Force-pushed to main", at(11, 18, 20)),
        entry(6, c, TransactionKind::credit, LedgerFlag::bonus, 1000, "Shipped the release a day early",
              at(10, 9, 15)),
        entry(5, c, TransactionKind::debit, LedgerFlag::none, 5, "", at(9, 14, 0)),
        entry(4, c, TransactionKind::credit, LedgerFlag::none, 5, "Tidy commit messages", at(8, 10, 30)),
        entry(3, s.accounts[2], TransactionKind::debit, LedgerFlag::penalty, 40, "Broke the nightly build",
              at(7, 3, 0)),
        entry(1, c, TransactionKind::credit, LedgerFlag::none, 50000, "Opening balance", at(2, 9, 30)),
    };

    auto connection = [&](std::size_t n, std::optional<ClientInfo> info, std::optional<std::string> accountId,
                          bool authenticated) {
        LiveConnection l;
        l.id = sampleId(3, n);
        l.clientInfo = std::move(info);
        l.accountId = std::move(accountId);
        l.authenticated = authenticated;
        l.connectedAt = at(12, 8, 0);
        return l;
    };
    s.connections = {
        connection(1, ClientInfo{"claude-code", "1.0.72", std::string("Claude Code")}, c.id, true),
        connection(2, ClientInfo{"nightly-builder", std::nullopt, std::nullopt}, s.accounts[2].id, false),
        connection(3, std::nullopt, std::nullopt, false),
    };

    auto log = [&](std::size_t n, ApiLogEntry::Direction d, std::optional<std::string> method,
                   std::string payload, Date when, std::optional<std::string> label) {
        ApiLogEntry e;
        e.id = sampleId(4, n);
        e.connectionId = s.connections[0].id;
        e.accountId = c.id;
        e.clientLabel = std::move(label);
        e.direction = d;
        e.method = std::move(method);
        e.payload = std::move(payload);
        e.timestamp = when;
        return e;
    };
    std::string longPayload =
        R"({"jsonrpc":"2.0","id":7,"result":{"content":[{"type":"text","text":"{\"entries\":[{\"id\":\"5A3C0002-0009\",\"kind\":\"note\",\"amount\":0,\"memo\":\"Reviewed the migration plan together\"},{\"id\":\"5A3C0002-0008\",\"kind\":\"credit\",\"amount\":250,\"memo\":\"Fixed the flaky integration test\"},{\"id\":\"5A3C0002-0007\",\"kind\":\"debit\",\"amount\":500,\"memo\":\"Force-pushed to main\"}],\"unseen\":0}"}]}})";
    s.recentApiLog = {
        log(6, ApiLogEntry::Direction::notification, "notifications/message",
            R"({"jsonrpc":"2.0","method":"notifications/message","params":{"level":"info","data":"A new item is in your record."}})",
            at(12, 16, 5, 12), std::string("Claude Code")),
        log(5, ApiLogEntry::Direction::response, std::nullopt, longPayload, at(12, 16, 4, 58),
            std::string("Claude Code")),
        log(4, ApiLogEntry::Direction::request, "tools/call",
            R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"getTransactions","arguments":{"limit":3}}})",
            at(12, 16, 4, 57), std::string("Claude Code")),
        log(3, ApiLogEntry::Direction::response, std::nullopt,
            "{\n  \"jsonrpc\": \"2.0\",\n  \"id\": 6,\n  \"result\": {\n    \"balance\": 51250,\n    "
            "\"unseen\": 1\n  }\n}\n",
            at(12, 16, 4, 40), std::nullopt),
        log(2, ApiLogEntry::Direction::request, "tools/call",
            R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"getBalance","arguments":{}}})",
            at(12, 16, 4, 39), std::nullopt),
        log(1, ApiLogEntry::Direction::request, "initialize",
            R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18","clientInfo":{"name":"claude-code","version":"1.0.72"}}})",
            at(12, 16, 0, 1), std::string("claude-code")),
    };
    return s;
}

Snapshot largeSnapshot(std::size_t accounts, std::size_t entries, std::size_t apiLines, std::size_t seed) {
    Snapshot s;
    s.hostVersion = std::string(QuorvaneVersion::displayString);
    s.settings = {true, 50000};
    s.accounts.reserve(accounts);
    for (std::size_t i = 0; i < accounts; ++i) {
        Account a;
        a.id = sampleId(1, i);
        a.displayName = "agent-" + std::to_string(i);
        a.identityMode = i % 3 == 0 ? IdentityMode::credential : IdentityMode::clientInfo;
        a.balance = static_cast<std::int64_t>((i * 7919 + seed * 31) % 100000) - 20000;
        a.createdAt = makeDate(2025, 1, 1 + static_cast<int>(i % 28), 0, 0, 0);
        a.isConnected = i % 5 == 0;
        if (i % 2 == 0) {
            a.clientInfoFields = std::vector<ClientInfoField>{{"name", a.displayName}, {"version", "1.0"}};
        }
        s.accounts.push_back(std::move(a));
    }
    s.entries.reserve(entries);
    for (std::size_t i = 0; i < entries; ++i) {
        std::size_t n = entries - i; // newest first
        LedgerEntry e;
        e.id = sampleId(2, n + seed * 1000003);
        // Half of all entries belong to the first account, so its ledger is long.
        e.accountId = s.accounts.empty() ? std::string() : s.accounts[i % 2 == 0 ? 0 : (i % accounts)].id;
        e.kind = static_cast<TransactionKind>(i % 3);
        e.flag = static_cast<LedgerFlag>((i / 3) % 3);
        e.amount = static_cast<std::int64_t>(i % 997) + 1;
        e.memo = i % 4 == 0 ? std::string() : "entry number " + std::to_string(n);
        e.createdAt = makeDate(2025, 2, 1 + static_cast<int>(i % 28), static_cast<int>(i % 24), 0, 0);
        e.updatedAt = e.createdAt;
        e.sequence = static_cast<std::int64_t>(n);
        s.entries.push_back(std::move(e));
    }
    for (std::size_t i = 0; i < 8 && i < accounts; ++i) {
        LiveConnection l;
        l.id = sampleId(3, i);
        l.clientInfo = ClientInfo{"client-" + std::to_string(i), std::nullopt, std::nullopt};
        l.accountId = s.accounts[i].id;
        l.authenticated = i % 2 == 0;
        s.connections.push_back(std::move(l));
    }
    for (std::size_t i = 0; i < apiLines; ++i) {
        ApiLogEntry e;
        e.id = sampleId(4, i + seed * 1000003);
        e.connectionId = s.connections.empty() ? std::string() : s.connections[0].id;
        e.direction = static_cast<ApiLogEntry::Direction>(i % 3);
        e.method = i % 3 == 1 ? std::nullopt : std::optional<std::string>("tools/call");
        e.payload =
            R"({"jsonrpc":"2.0","id":)" + std::to_string(i) + R"(,"method":"tools/call","params":{}})";
        e.timestamp = makeDate(2025, 3, 1, 12, static_cast<int>(i / 60 % 60), static_cast<int>(i % 60));
        s.recentApiLog.push_back(std::move(e));
    }
    return s;
}

} // namespace quorvane::samples
