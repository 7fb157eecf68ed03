// The host engine under a large ledger: 1,000 accounts and 1,000,000 entries.
//
// What agents and the operator ask most often: a getBalance tools/call line on
// a bound agent connection (the whole road: parsing, both API log entries,
// store reads, reply text), and the operator's snapshot.
//
// The ledger file is generated once per run in a temporary folder (under
// $TMPDIR), in one transaction with the plain SQLite API, and removed at exit.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <sqlite3.h>
#include <string>
#include <vector>

#include "common/Uuid.h"
#include "host/core/AccountCrypto.h"
#include "host/core/HostEngine.h"
#include "host/core/SQLite.h"

namespace {

using namespace quorvane;
namespace fs = std::filesystem;

constexpr int kAccounts = 1000;
constexpr int kEntries = 1000000;

const ClientInfo kBenchClient{"bench-agent", "1.0", std::nullopt};

void check(int result, int expected, const char* what) {
    if (result != expected) {
        std::fprintf(stderr, "bench set-up: %s failed (%d)\n", what, result);
        std::exit(1);
    }
}

// An operator app or bridge that takes every push and drops it.
class DiscardingPeer final : public QuorvaneClientProtocol {
public:
    void deliverAgentNotification(const std::string& line) override { bytes += line.size(); }
    void controlEvent(const std::string& json) override { bytes += json.size(); }
    std::atomic<std::size_t> bytes{0};
};

class BenchEngine {
public:
    static BenchEngine& shared() {
        static BenchEngine bench;
        return bench;
    }

    ~BenchEngine() {
        engine.reset();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    std::unique_ptr<HostEngine> engine;
    std::shared_ptr<DiscardingPeer> peer = std::make_shared<DiscardingPeer>();
    std::string boundAccount;

private:
    BenchEngine() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qv-engine-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        folder_ = pattern;
        const std::string path = (folder_ / "ledger.sqlite").string();
        const auto started = std::chrono::steady_clock::now();
        generate(path);
        engine = std::make_unique<HostEngine>(path);

        // The agent connection: its client's fingerprint belongs to the first
        // account, so initialize binds it there.
        engine->connectionOpened("agent",
                                 [peer = peer]() -> std::shared_ptr<QuorvaneClientProtocol> { return peer; });
        const auto reply = engine->handleAgentMessage(
            R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
            R"("clientInfo":{"name":"bench-agent","version":"1.0"}}})",
            "agent");
        if (!reply || reply->find("\"error\"") != std::string::npos) {
            std::fprintf(stderr, "bench set-up: initialize failed\n");
            std::exit(1);
        }
        const auto seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        // The store reads every balance once, when the first one is asked for;
        // the cases below measure the steady state after that.
        const auto warmStart = std::chrono::steady_clock::now();
        (void)engine->buildSnapshot();
        std::fprintf(
            stderr, "first snapshot after opening: %.1f ms\n",
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - warmStart).count());
        std::fprintf(stderr, "bench ledger: %d accounts, %d entries, built in %.1f s\n", kAccounts, kEntries,
                     seconds);
    }

    void generate(const std::string& path) {
        SQLiteDatabase db(path);
        db.execute(ledgerSchemaScript);
        db.execute("PRAGMA synchronous = OFF; BEGIN;");
        std::mt19937_64 random(7);
        std::vector<std::string> accountIds;
        sqlite3_stmt* insertAccount = nullptr;
        check(sqlite3_prepare_v2(db.handle(),
                                 "INSERT INTO account (id, display_name, identity_mode, client_info_json, "
                                 "clientinfo_fingerprint, created_at, last_seen_sequence) "
                                 "VALUES (?1, ?2, 'clientInfo', ?3, ?4, ?5, 0);",
                                 -1, &insertAccount, nullptr),
              SQLITE_OK, "prepare account insert");
        const Date start = makeDate(2025, 1, 1, 0, 0, 0);
        for (int i = 0; i < kAccounts; ++i) {
            accountIds.push_back(newUuidString());
            const std::string name = "Agent " + std::to_string(i);
            const std::string json = R"({"name":"Agent )" + std::to_string(i) + R"(","version":"1.0"})";
            const std::string fingerprint =
                i == 0 ? AccountCrypto::fingerprint(kBenchClient)
                       : AccountCrypto::fingerprint(ClientInfo{name, "1.0", std::nullopt});
            const std::string created = formatIsoDate(start + std::chrono::seconds(i));
            sqlite3_bind_text(insertAccount, 1, accountIds.back().c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insertAccount, 2, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insertAccount, 3, json.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insertAccount, 4, fingerprint.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insertAccount, 5, created.c_str(), -1, SQLITE_TRANSIENT);
            check(sqlite3_step(insertAccount), SQLITE_DONE, "account insert");
            sqlite3_reset(insertAccount);
        }
        sqlite3_finalize(insertAccount);
        boundAccount = accountIds[0];

        sqlite3_stmt* insertEntry = nullptr;
        check(sqlite3_prepare_v2(db.handle(),
                                 "INSERT INTO ledger (id, account_id, kind, flag, amount, memo, created_at, "
                                 "updated_at, sequence) VALUES (?1, ?2, ?3, 'none', ?4, ?5, ?6, ?6, ?7);",
                                 -1, &insertEntry, nullptr),
              SQLITE_OK, "prepare entry insert");
        const char* kinds[] = {"credit", "credit", "debit", "note"};
        for (int sequence = 1; sequence <= kEntries; ++sequence) {
            const std::string id = newUuidString();
            const std::string created = formatIsoDate(start + std::chrono::seconds(kAccounts + sequence));
            sqlite3_bind_text(insertEntry, 1, id.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insertEntry, 2, accountIds[sequence % kAccounts].c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insertEntry, 3, kinds[random() % 4], -1, SQLITE_STATIC);
            sqlite3_bind_int64(insertEntry, 4, static_cast<sqlite3_int64>(random() % 10000));
            sqlite3_bind_text(insertEntry, 5, "Task reward for a finished job", -1, SQLITE_STATIC);
            sqlite3_bind_text(insertEntry, 6, created.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(insertEntry, 7, sequence);
            check(sqlite3_step(insertEntry), SQLITE_DONE, "entry insert");
            sqlite3_reset(insertEntry);
        }
        sqlite3_finalize(insertEntry);
        db.execute("INSERT INTO meta VALUES ('sequence_counter', '" + std::to_string(kEntries) +
                   "'); COMMIT;");
    }

    fs::path folder_;
};

void setOperatorAppOpen(BenchEngine& bench, bool open) {
    if (open) {
        bench.engine->connectionOpened(
            "app", [peer = bench.peer]() -> std::shared_ptr<QuorvaneClientProtocol> { return peer; });
        (void)bench.engine->control(R"({"setStartingPoints":{"_0":50000}})", "app");
    } else {
        bench.engine->connectionClosed("app");
    }
}

// getBalance on a bound connection whose account holds 1,000 entries, all
// unseen. Arg 1: an operator app is connected and receives every log line.
void BM_GetBalanceLine(benchmark::State& state) {
    auto& bench = BenchEngine::shared();
    setOperatorAppOpen(bench, state.range(0) == 1);
    const std::string line =
        R"({"jsonrpc":"2.0","id":42,"method":"tools/call","params":{"name":"getBalance","arguments":{}}})";
    for (auto _ : state) {
        auto reply = bench.engine->handleAgentMessage(line, "agent");
        benchmark::DoNotOptimize(reply);
    }
    auto reply = bench.engine->handleAgentMessage(line, "agent");
    if (!reply || reply->find(bench.boundAccount) == std::string::npos ||
        reply->find("not_authenticated") != std::string::npos) {
        state.SkipWithError("getBalance did not answer for the bound account");
    }
    setOperatorAppOpen(bench, false);
    state.counters["calls/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(state.range(0) == 1 ? "operator app open" : "no operator app");
}
BENCHMARK(BM_GetBalanceLine)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The operator's snapshot: every account with its balance, the newest 2,000
// entries, the connections and the API log.
void BM_BuildSnapshot(benchmark::State& state) {
    auto& bench = BenchEngine::shared();
    for (auto _ : state) {
        Snapshot snapshot = bench.engine->buildSnapshot();
        if (snapshot.accounts.size() != kAccounts || snapshot.entries.size() != 2000) {
            state.SkipWithError("unexpected snapshot size");
        }
        benchmark::DoNotOptimize(snapshot);
    }
}
BENCHMARK(BM_BuildSnapshot)->Unit(benchmark::kMillisecond);

// The same snapshot as the operator app receives it: request decoded, snapshot
// built and encoded into its JSON text.
void BM_SnapshotControlRequest(benchmark::State& state) {
    auto& bench = BenchEngine::shared();
    for (auto _ : state) {
        std::string response = bench.engine->control(R"({"snapshot":{}})", "operator");
        benchmark::DoNotOptimize(response);
    }
}
BENCHMARK(BM_SnapshotControlRequest)->Unit(benchmark::kMillisecond);

} // namespace
