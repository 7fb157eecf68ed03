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
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/LedgerFixture.h"
#include "host/core/AccountCrypto.h"
#include "host/core/HostEngine.h"
#include "tests/support/TempDir.h"

namespace {

using namespace quorvane;

constexpr int accountCount = bench::ledgerAccounts;
constexpr int entryCount = bench::ledgerEntries;

const ClientInfo benchClient{"bench-agent", "1.0", std::nullopt};

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

    ~BenchEngine() { engine.reset(); }

    std::unique_ptr<HostEngine> engine;
    std::shared_ptr<DiscardingPeer> peer = std::make_shared<DiscardingPeer>();
    std::string boundAccount;

private:
    BenchEngine() {
        const std::string path = folder_.file("ledger.sqlite");
        const auto started = std::chrono::steady_clock::now();
        // The first account's fingerprint is the bench client's.
        boundAccount = bench::writeBenchLedger(path, 7, [](int i, std::mt19937_64&) {
                           const std::string name = "Agent " + std::to_string(i);
                           return bench::BenchAccount{
                               name, R"({"name":"Agent )" + std::to_string(i) + R"(","version":"1.0"})",
                               i == 0 ? AccountCrypto::fingerprint(benchClient)
                                      : AccountCrypto::fingerprint(ClientInfo{name, "1.0", std::nullopt})};
                       }).front();
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
        std::fprintf(stderr, "bench ledger: %d accounts, %d entries, built in %.1f s\n", accountCount,
                     entryCount, seconds);
    }

    test::TempDir folder_{std::string{}, "qv-engine-"};
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

// getTransactions on the same connection, a page of `limit` entries (the
// reply written to text, the tool result around it and the API log's copy).
void BM_GetTransactionsLine(benchmark::State& state) {
    auto& bench = BenchEngine::shared();
    const std::string line =
        R"({"jsonrpc":"2.0","id":42,"method":"tools/call","params":{"name":"getTransactions","arguments":{"limit":)" +
        std::to_string(state.range(0)) + "}}}";
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto reply = bench.engine->handleAgentMessage(line, "agent");
        bytes = reply ? reply->size() : 0;
        benchmark::DoNotOptimize(reply);
    }
    state.counters["reply bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_GetTransactionsLine)->Arg(25)->Arg(100)->Unit(benchmark::kMicrosecond);

// The operator's snapshot: every account with its balance, the newest 2,000
// entries, the connections and the API log.
void BM_BuildSnapshot(benchmark::State& state) {
    auto& bench = BenchEngine::shared();
    for (auto _ : state) {
        Snapshot snapshot = bench.engine->buildSnapshot();
        if (snapshot.accounts.size() != accountCount || snapshot.entries.size() != 2000) {
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
