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
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/ControlProtocol.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "round-trip bench: %s\n", what.c_str());
    std::exit(1);
}

// A child process with its standard input and output on pipes; standard error
// is shared with the benchmark. Killed and reaped when destroyed.
class Process {
public:
    Process(const std::string& program, const std::vector<std::string>& environment, bool pipes) {
        int in[2] = {-1, -1};
        int out[2] = {-1, -1};
        if (pipes && (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)) {
            fail("pipe2 failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (pipes) {
            posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        }
        std::vector<char*> envp;
        for (const auto& variable : environment) {
            envp.push_back(const_cast<char*>(variable.c_str()));
        }
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        const int error = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (pipes) {
            ::close(in[0]);
            ::close(out[1]);
            input_ = in[1];
            output_ = out[0];
        }
        if (error != 0) {
            fail("cannot start " + program + ": " + std::strerror(error));
        }
    }

    ~Process() {
        if (input_ >= 0) {
            ::close(input_);
        }
        if (output_ >= 0) {
            ::close(output_);
        }
        if (pid_ > 0) { // never -1 or 0: those would signal other processes
            ::kill(pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    [[nodiscard]] pid_t pid() const { return pid_; }

    void writeLine(const std::string& line) {
        std::string bytes = line + "\n";
        std::string_view rest(bytes);
        while (!rest.empty()) {
            const ssize_t n = ::write(input_, rest.data(), rest.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                fail("the bridge stopped reading");
            }
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // The next output line; fails the run after ten seconds without one.
    std::string readLine() {
        for (;;) {
            const auto end = buffer_.find('\n', scanned_);
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                scanned_ = 0;
                return line;
            }
            scanned_ = buffer_.size();
            pollfd entry{output_, POLLIN, 0};
            if (::poll(&entry, 1, 10'000) <= 0) {
                fail("no reply from the bridge within ten seconds");
            }
            char chunk[16384];
            const ssize_t n = ::read(output_, chunk, sizeof chunk);
            if (n <= 0) {
                fail("the bridge closed its output");
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Closes standard input and waits for the exit (the bridge ends at end of input).
    void finish() {
        ::close(input_);
        input_ = -1;
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffer_;
    std::size_t scanned_ = 0;
};

std::string initializeLine(const std::string& client) {
    return R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
           R"("capabilities":{},"clientInfo":{"name":")" +
           client + R"(","version":"1.0"}}})";
}

const std::string kGetBalance =
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

    ~HostFixture() {
        host_.reset();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    std::unique_ptr<Process> startBridge() const {
        return std::make_unique<Process>(QUORVANE_BRIDGE_PROGRAM, environment_, true);
    }

    // A bridge with its agent bound to an account (unauthenticated access is on
    // by default, so initialize binds it by its client name).
    std::unique_ptr<Process> startBoundBridge(const std::string& client) const {
        auto bridge = startBridge();
        bridge->writeLine(initializeLine(client));
        (void)bridge->readLine();
        bridge->writeLine(kGetBalance);
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
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/qv-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            fail("mkdtemp failed");
        }
        root_ = pattern;
        fs::path runtime = root_ / "run";
        const std::string service(quorvane::quorvaneServiceName);
        if ((runtime / "quorvane" / service).string().size() > 107) {
            fail("TMPDIR is too deep for a socket path; set TMPDIR=/tmp");
        }
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
        waitForSocket();
        // Let start-up work settle before the idle figure is taken.
        std::this_thread::sleep_for(200ms);
        idleAtStartKiB_ = statusKiB(hostPid(), "VmRSS");
    }

    void waitForSocket() const {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            if (ok) {
                return;
            }
            std::this_thread::sleep_for(5ms);
        }
        fail("the host did not start listening");
    }

    fs::path root_;
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
        bridge->writeLine(kGetBalance);
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
    constexpr int kCallsPerBridge = 50;
    std::int64_t calls = 0;
    for (auto _ : state) {
        std::vector<std::thread> agents;
        for (std::size_t b = 0; b < bridges.size(); ++b) {
            agents.emplace_back([&fixture, &bridge = bridges[b], sampler = b == 0] {
                for (int i = 0; i < kCallsPerBridge; ++i) {
                    bridge->writeLine(kGetBalance);
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
        calls += static_cast<std::int64_t>(count) * kCallsPerBridge;
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
