// Round trips through the real programs: an agent's line written to a
// quorvane-bridge process, relayed to a quorvane-host process, answered and
// written back.
//
// - SequentialGetBalance: one bridge, one getBalance at a time; reports the
//   median (p50_us) and the 99th percentile (p99_us) of the round trip.
// - ConcurrentBridges/N: N bridges, each with its own agent, all sending
//   getBalance as fast as they are answered; reports calls per second.
// - BridgeStartToFirstReply/0 and /1: from starting a bridge process to
//   reading its reply to the first line (a ping, or an initialize).
// - HostResidentMemory: the host's VmRSS when idle after start, under the load
//   of 64 bridges, idle again afterwards, and its peak (VmHWM).
//
// One host serves the whole run, in private runtime, data and home folders
// under $TMPDIR that are removed at exit. Run from the build folder:
//   ./bench/quorvane_bench_roundtrip --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "bench/BenchPrograms.h"
#include "tests/support/Waiting.h"

namespace {

using namespace quorvane::bench;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The host and its private folders, shared by every benchmark of the run.
class HostFixture {
public:
    static HostFixture& shared() {
        static HostFixture fixture;
        return fixture;
    }

    ~HostFixture() { host_.reset(); }

    std::unique_ptr<Process> startBridge() const {
        return std::make_unique<Process>(QUORVANE_BRIDGE_PROGRAM, folders_.environment(), true);
    }

    // A bridge with its agent bound to an account (unauthenticated access is on
    // by default, so initialize binds it by its client name).
    std::unique_ptr<Process> startBoundBridge(const std::string& client) const {
        auto bridge = startBridge();
        bridge->writeLine(initializeLine(client));
        (void)bridge->readLine();
        bridge->writeLine(getBalanceRequest);
        if (bridge->readLine().find("\"balance\"") == std::string::npos) {
            benchFailed("getBalance did not answer a balance");
        }
        return bridge;
    }

    [[nodiscard]] pid_t hostPid() const { return host_->pid(); }
    [[nodiscard]] double idleAtStartKiB() const { return idleAtStartKiB_; }

    void sampleLoad() {
        std::lock_guard guard(lock_);
        loadedKiB_ = std::max(loadedKiB_, statusKiB(hostPid(), "VmRSS"));
    }
    [[nodiscard]] double loadedKiB() {
        std::lock_guard guard(lock_);
        return loadedKiB_;
    }

private:
    HostFixture() {
        host_ = std::make_unique<Process>(QUORVANE_HOST_PROGRAM, folders_.environment(), false);
        if (!quorvane::test::waitForSocket(folders_.socketPath(), 10s, &host_->child())) {
            benchFailed("the host did not start listening");
        }
        // Let start-up work settle before the idle figure is taken.
        std::this_thread::sleep_for(200ms);
        idleAtStartKiB_ = statusKiB(hostPid(), "VmRSS");
    }

    PrivateFolders folders_;
    std::unique_ptr<Process> host_;
    double idleAtStartKiB_ = 0;
    std::mutex lock_;
    double loadedKiB_ = 0;
};

void SequentialGetBalance(benchmark::State& state) {
    auto& fixture = HostFixture::shared();
    auto bridge = fixture.startBoundBridge("bench-sequential");
    std::vector<double> micros;
    micros.reserve(1 << 16);
    for (auto _ : state) {
        const auto start = Clock::now();
        bridge->writeLine(getBalanceRequest);
        benchmark::DoNotOptimize(bridge->readLine());
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    state.counters["p50_us"] = percentile(micros, 0.50);
    state.counters["p99_us"] = percentile(micros, 0.99);
    bridge->finish();
}
BENCHMARK(SequentialGetBalance)->UseRealTime()->Unit(benchmark::kMicrosecond);

void ConcurrentBridges(benchmark::State& state) {
    auto& fixture = HostFixture::shared();
    const auto count = static_cast<std::size_t>(state.range(0));
    std::vector<std::unique_ptr<Process>> bridges;
    for (std::size_t i = 0; i < count; ++i) {
        bridges.push_back(fixture.startBoundBridge("bench-concurrent-" + std::to_string(i)));
    }
    constexpr int callsPerBridge = 50;
    std::int64_t calls = 0;
    for (auto _ : state) {
        std::vector<std::thread> agents;
        for (std::size_t b = 0; b < bridges.size(); ++b) {
            agents.emplace_back([&fixture, &bridge = bridges[b], sampler = b == 0] {
                for (int i = 0; i < callsPerBridge; ++i) {
                    bridge->writeLine(getBalanceRequest);
                    benchmark::DoNotOptimize(bridge->readLine());
                    if (sampler && i % 10 == 0) {
                        fixture.sampleLoad();
                    }
                }
            });
        }
        for (auto& agent : agents) {
            agent.join();
        }
        calls += static_cast<std::int64_t>(count) * callsPerBridge;
    }
    fixture.sampleLoad();
    state.counters["calls_per_s"] =
        benchmark::Counter(static_cast<double>(calls), benchmark::Counter::kIsRate);
    for (auto& bridge : bridges) {
        bridge->finish();
    }
}
BENCHMARK(ConcurrentBridges)->Arg(16)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);

// Argument 0: the first line is a ping (transport and start-up only); 1: an
// initialize, which also stores the client's information.
void BridgeStartToFirstReply(benchmark::State& state) {
    auto& fixture = HostFixture::shared();
    const std::string line = state.range(0) == 0 ? std::string(pingRequest) : initializeLine("bench-start");
    for (auto _ : state) {
        const auto start = Clock::now();
        auto bridge = fixture.startBridge();
        bridge->writeLine(line);
        benchmark::DoNotOptimize(bridge->readLine());
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        bridge->finish();
    }
}
BENCHMARK(BridgeStartToFirstReply)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void HostResidentMemory(benchmark::State& state) {
    auto& fixture = HostFixture::shared();
    if (fixture.loadedKiB() == 0) { // when run alone: make the load here
        std::vector<std::unique_ptr<Process>> bridges;
        for (int i = 0; i < 64; ++i) {
            bridges.push_back(fixture.startBoundBridge("bench-memory-" + std::to_string(i)));
        }
        fixture.sampleLoad();
        for (auto& bridge : bridges) {
            bridge->finish();
        }
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(statusKiB(fixture.hostPid(), "VmRSS"));
    }
    // Closed connections are torn down on the host's threads; give them a moment.
    std::this_thread::sleep_for(200ms);
    state.counters["idle_start_KiB"] = fixture.idleAtStartKiB();
    state.counters["loaded_KiB"] = fixture.loadedKiB();
    state.counters["idle_after_KiB"] = statusKiB(fixture.hostPid(), "VmRSS");
    state.counters["peak_KiB"] = statusKiB(fixture.hostPid(), "VmHWM");
}
BENCHMARK(HostResidentMemory)->Iterations(1);

} // namespace
