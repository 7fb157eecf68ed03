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

#include "common/ControlProtocol.h"
#include "tests/support/Child.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "round-trip bench: %s\n", what.c_str());
    std::exit(1);
}

// A bridge or host process (tests/support) with its standard input and output
// on pipes, or on /dev/null; standard error is shared with the benchmark.
// Killed and reaped when destroyed. Any failure ends the run.
class Process {
public:
    Process(const std::string& program, const std::vector<std::string>& environment, bool pipes)
        : child_(start(program, environment, pipes)) {}

    [[nodiscard]] pid_t pid() const { return child_->pid(); }
    [[nodiscard]] quorvane::test::Child& child() { return *child_; }

    void writeLine(const std::string& line) {
        if (!child_->writeLine(line)) {
            fail("the bridge stopped reading");
        }
    }

    // The next output line; fails the run after ten seconds without one.
    std::string readLine() {
        std::optional<std::string> line = child_->readLine(10s);
        if (!line) {
            fail("no reply from the bridge within ten seconds");
        }
        return std::move(*line);
    }

    // Closes standard input and waits for the exit (the bridge ends at end of input).
    void finish() { (void)child_->finish(); }

private:
    static std::unique_ptr<quorvane::test::Child>
    start(const std::string& program, const std::vector<std::string>& environment, bool pipes) {
        using quorvane::test::Child;
        Child::Options options;
        options.arguments = {program};
        options.environment = environment;
        options.input = pipes ? Child::Stream::pipe : Child::Stream::null;
        options.output = pipes ? Child::Stream::pipe : Child::Stream::null;
        options.error = Child::Stream::inherit;
        try {
            return std::make_unique<Child>(options);
        } catch (const std::exception& error) {
            fail(error.what());
        }
    }

    std::unique_ptr<quorvane::test::Child> child_;
};

std::string initializeLine(const std::string& client) {
    return R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
           R"("capabilities":{},"clientInfo":{"name":")" +
           client + R"(","version":"1.0"}}})";
}

const std::string getBalanceRequest =
    R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"getBalance","arguments":{}}})";

// VmRSS or VmHWM of a process, in KiB.
double statusKiB(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) {
            return std::strtod(line.c_str() + prefix.size(), nullptr);
        }
    }
    return 0;
}

// The host and its private folders, shared by every benchmark of the run.
class HostFixture {
public:
    static HostFixture& shared() {
        static HostFixture fixture;
        return fixture;
    }

    ~HostFixture() { host_.reset(); }

    std::unique_ptr<Process> startBridge() const {
        return std::make_unique<Process>(QUORVANE_BRIDGE_PROGRAM, environment_, true);
    }

    // A bridge with its agent bound to an account (unauthenticated access is on
    // by default, so initialize binds it by its client name).
    std::unique_ptr<Process> startBoundBridge(const std::string& client) const {
        auto bridge = startBridge();
        bridge->writeLine(initializeLine(client));
        (void)bridge->readLine();
        bridge->writeLine(getBalanceRequest);
        if (bridge->readLine().find("\"balance\"") == std::string::npos) {
            fail("getBalance did not answer a balance");
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
        fs::path runtime = root_ / "run";
        const std::string service(quorvane::quorvaneServiceName);
        for (const fs::path& folder : {runtime, root_ / "data", root_ / "home"}) {
            fs::create_directories(folder);
            ::chmod(folder.c_str(), 0700);
        }
        socketPath_ = (runtime / "quorvane" / service).string();
        for (char** variable = environ; *variable != nullptr; ++variable) {
            const std::string text = *variable;
            const std::string name = text.substr(0, text.find('='));
            if (name != "XDG_RUNTIME_DIR" && name != "XDG_DATA_HOME" && name != "HOME") {
                environment_.push_back(text);
            }
        }
        environment_.push_back("XDG_RUNTIME_DIR=" + runtime.string());
        environment_.push_back("XDG_DATA_HOME=" + (root_ / "data").string());
        environment_.push_back("HOME=" + (root_ / "home").string());

        host_ = std::make_unique<Process>(QUORVANE_HOST_PROGRAM, environment_, false);
        if (!quorvane::test::waitForSocket(socketPath_, 10s, &host_->child())) {
            fail("the host did not start listening");
        }
        // Let start-up work settle before the idle figure is taken.
        std::this_thread::sleep_for(200ms);
        idleAtStartKiB_ = statusKiB(hostPid(), "VmRSS");
    }

    // Room for the service socket below "<root>/run"; under /tmp when $TMPDIR is too deep.
    quorvane::test::TempDir folder_ = quorvane::test::TempDir::withSocketRoom(
        std::string_view("/run").size() + quorvane::test::TempDir::serviceSocketRoom(), "qv-bench-");
    fs::path root_ = folder_.path();
    std::string socketPath_;
    std::vector<std::string> environment_;
    std::unique_ptr<Process> host_;
    double idleAtStartKiB_ = 0;
    std::mutex lock_;
    double loadedKiB_ = 0;
};

double percentile(std::vector<double>& samples, double fraction) {
    if (samples.empty()) {
        return 0;
    }
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end());
    return samples[at];
}

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
BENCHMARK(SequentialGetBalance)->UseRealTime()->Unit(benchmark::microsecond);

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
        benchmark::Counter(static_cast<double>(calls), benchmark::Counter::isRate);
    for (auto& bridge : bridges) {
        bridge->finish();
    }
}
BENCHMARK(ConcurrentBridges)->Arg(16)->Arg(64)->UseRealTime()->Unit(benchmark::millisecond);

// Argument 0: the first line is a ping (transport and start-up only); 1: an
// initialize, which also stores the client's information.
void BridgeStartToFirstReply(benchmark::State& state) {
    auto& fixture = HostFixture::shared();
    const std::string line =
        state.range(0) == 0 ? R"({"jsonrpc":"2.0","id":1,"method":"ping"})" : initializeLine("bench-start");
    for (auto _ : state) {
        const auto start = Clock::now();
        auto bridge = fixture.startBridge();
        bridge->writeLine(line);
        benchmark::DoNotOptimize(bridge->readLine());
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        bridge->finish();
    }
}
BENCHMARK(BridgeStartToFirstReply)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::millisecond);

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
