#pragma once

// What the benchmarks that run the real programs share: a bridge or host
// process on pipes, a private set of runtime, data and home folders with the
// environment that points the programs at them, the agent lines they send,
// /proc figures and percentiles.
//
// Every set-up failure ends the benchmark program with one line on standard
// error. Not thread-safe unless a member says otherwise.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "common/ControlProtocol.h"
#include "tests/support/Child.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace quorvane::bench {

using BenchClock = std::chrono::steady_clock;

[[noreturn]] inline void benchFailed(const std::string& what) {
    std::fprintf(stderr, "bench: %s\n", what.c_str());
    std::exit(1);
}

// A bridge or host process (tests/support) with its standard input and output
// on pipes, or on /dev/null; standard error is shared with the benchmark.
// Killed and reaped when destroyed. Any failure ends the run.
class Process {
public:
    Process(const std::string& program, const std::vector<std::string>& environment, bool pipes,
            std::vector<std::string> arguments = {})
        : child_(start(program, environment, pipes, std::move(arguments))) {}

    [[nodiscard]] pid_t pid() const { return child_->pid(); }
    [[nodiscard]] test::Child& child() { return *child_; }

    void writeLine(std::string_view line) {
        if (!child_->writeLine(line)) {
            benchFailed("a benchmarked program stopped reading");
        }
    }

    // The next output line; fails the run after ten seconds without one.
    std::string readLine() {
        std::optional<std::string> line = child_->readLine(std::chrono::seconds(10));
        if (!line) {
            benchFailed("no reply from a benchmarked program within ten seconds");
        }
        return std::move(*line);
    }

    // Writes the line and answers the reply.
    std::string roundTrip(std::string_view line) {
        writeLine(line);
        return readLine();
    }

    // Closes standard input and waits for the exit (the bridge ends at end of input).
    void finish() { (void)child_->finish(); }

private:
    static std::unique_ptr<test::Child> start(const std::string& program,
                                              const std::vector<std::string>& environment, bool pipes,
                                              std::vector<std::string> arguments) {
        test::Child::Options options;
        options.arguments = {program};
        options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
        options.environment = environment;
        options.input = pipes ? test::Child::Stream::pipe : test::Child::Stream::null;
        options.output = pipes ? test::Child::Stream::pipe : test::Child::Stream::null;
        options.error = test::Child::Stream::inherit;
        try {
            return std::make_unique<test::Child>(options);
        } catch (const std::exception& error) {
            benchFailed(error.what());
        }
    }

    std::unique_ptr<test::Child> child_;
};

// Private runtime, data and home folders (0700) under $TMPDIR, or /tmp when
// that is too deep for the service socket, removed with everything in them.
class PrivateFolders {
public:
    PrivateFolders() {
        for (const std::filesystem::path& folder : {runtime(), data(), home()}) {
            std::filesystem::create_directories(folder);
            ::chmod(folder.c_str(), 0700);
        }
        for (char** variable = environ; *variable != nullptr; ++variable) {
            const std::string text = *variable;
            const std::string name = text.substr(0, text.find('='));
            if (name != "XDG_RUNTIME_DIR" && name != "XDG_DATA_HOME" && name != "XDG_CONFIG_HOME" &&
                name != "HOME") {
                environment_.push_back(text);
            }
        }
        environment_.push_back("XDG_RUNTIME_DIR=" + runtime().string());
        environment_.push_back("XDG_DATA_HOME=" + data().string());
        environment_.push_back("XDG_CONFIG_HOME=" + (home() / ".config").string());
        environment_.push_back("HOME=" + home().string());
    }

    [[nodiscard]] std::filesystem::path runtime() const { return root() / "run"; }
    [[nodiscard]] std::filesystem::path data() const { return root() / "data"; }
    [[nodiscard]] std::filesystem::path home() const { return root() / "home"; }
    // Where the host keeps its ledger under these folders.
    [[nodiscard]] std::filesystem::path ledgerPath() const { return data() / "Quorvane" / "ledger.sqlite"; }
    [[nodiscard]] std::string socketPath() const {
        return (runtime() / "quorvane" / std::string(quorvaneServiceName)).string();
    }
    // This process's environment with the folders above in place of its own.
    [[nodiscard]] const std::vector<std::string>& environment() const { return environment_; }

private:
    [[nodiscard]] std::filesystem::path root() const { return folder_.path(); }

    test::TempDir folder_ = test::TempDir::withSocketRoom(
        std::string_view("/run").size() + test::TempDir::serviceSocketRoom(), "qv-bench-");
    std::vector<std::string> environment_;
};

inline std::string initializeLine(const std::string& client) {
    return R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
           R"("capabilities":{},"clientInfo":{"name":")" +
           client + R"(","version":"1.0"}}})";
}

inline constexpr std::string_view getBalanceRequest =
    R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"getBalance","arguments":{}}})";

inline constexpr std::string_view pingRequest = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";

inline std::string getTransactionsRequest(int limit) {
    return R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"getTransactions",)"
           R"("arguments":{"limit":)" +
           std::to_string(limit) + "}}}";
}

// VmRSS, VmHWM or another "kB" field of /proc/<pid>/status, in KiB; 0 when absent.
inline double statusKiB(pid_t pid, const char* field) {
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

// The CPU time a process has used so far, in clock ticks (utime + stime of
// /proc/<pid>/stat); nullopt when it cannot be read.
inline std::optional<unsigned long long> cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t nameEnd = text.rfind(')'); // the program name may hold spaces
    if (nameEnd == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(text.substr(nameEnd + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) {
            utime = std::strtoull(field.c_str(), nullptr, 10);
        } else if (number == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
            return utime + stime;
        }
    }
    return std::nullopt;
}

// Waits until the process has used no CPU for `quiet` (its start-up work done,
// such as the host's totals pass), at most `limit`. False when it never did.
inline bool waitUntilIdle(pid_t pid, std::chrono::milliseconds quiet, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::optional<unsigned long long> last = cpuTicks(pid);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(quiet);
        const std::optional<unsigned long long> now = cpuTicks(pid);
        if (!now) {
            return false;
        }
        if (now == last) {
            return true;
        }
        last = now;
    }
    return false;
}

// The sample at `fraction` (0.5 for the median) of the sorted samples; 0 for none.
inline double percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) {
        return 0;
    }
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(at), samples.end());
    return samples[at];
}

inline double microsSince(BenchClock::time_point start) {
    return std::chrono::duration<double, std::micro>(BenchClock::now() - start).count();
}

} // namespace quorvane::bench
