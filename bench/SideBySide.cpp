// quorvane_bench_side_by_side: what an agent sees of Quorvane, each figure
// printed next to the floor it is measured against in the same run.
//
// Measures (real quorvane-bridge and quorvane-host processes, driven through
// the bridge's standard input and output by this program):
//   getBalance round trip, p50                     floor: canned stdio server, same reply size,
//                                                  and a canned relay in front of one
//   getTransactions 25 / 100 entries, p50          floor: the same, and the page read in-process
//   first call after a host start (1M entries)     floor: the account's own balance query in-process
//   bridge start to first reply, host running      floor: canned server start to first reply
//   bridge start to first reply, host down         floor: host start to accepting connections
//   bridge resident memory                         floor: the canned server's
// plus the pipe round trip itself (an echo thread on two pipes).
//
// The ledger has 1,000 accounts and 1,000,000 entries (LedgerFixture.h); the
// bridge's agent is bound to one of them by its client information. Every
// latency is measured in `rounds` rounds, floor and figure interleaved; the
// table shows the median of the rounds' p50s and their range.
//
// The figures are kept in a file (default side-by-side.last in the working
// folder); a figure more than 25% above the previous run's gets a note. The
// program never fails on a figure: only a set-up failure ends it with status 1.
//
//   ./bench/quorvane_bench_side_by_side [--rounds N] [--calls N] [--previous FILE] [--programs DIR]
//
// --programs names the folder of the programs measured (default: this build's
// bin/), for example another build's, to put two builds side by side.
//
// Run from the build folder, on a quiet machine: the load average is printed
// before and after.

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sqlite3.h>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/BenchPrograms.h"
#include "bench/LedgerFixture.h"
#include "host/core/AccountCrypto.h"
#include "tests/support/Waiting.h"

namespace {

using namespace quorvane;
using namespace quorvane::bench;
using namespace std::chrono_literals;

constexpr double regressionNoteRatio = 1.25;

struct Options {
    int rounds = 5;
    int calls = 2000;
    std::string previous = "side-by-side.last";
    // The folder with quorvane-host, quorvane-bridge and quorvane: this build's
    // own, or another build's to compare with.
    std::filesystem::path programs = std::filesystem::path(QUORVANE_BRIDGE_PROGRAM).parent_path();
};

// The programs measured (Options::programs).
std::string hostProgram;
std::string bridgeProgram;

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == "--rounds" && hasValue) {
            options.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (argument == "--calls" && hasValue) {
            options.calls = std::max(10, std::atoi(argv[++i]));
        } else if (argument == "--previous" && hasValue) {
            options.previous = argv[++i];
        } else if (argument == "--programs" && hasValue) {
            options.programs = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--calls N] [--previous FILE] [--programs DIR]\n",
                         argv[0]);
            std::exit(2);
        }
    }
    return options;
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The median of the rounds and their range.
struct Figure {
    std::vector<double> rounds;

    [[nodiscard]] double median() const { return percentile(rounds, 0.5); }
    [[nodiscard]] double low() const {
        return rounds.empty() ? 0 : *std::min_element(rounds.begin(), rounds.end());
    }
    [[nodiscard]] double high() const {
        return rounds.empty() ? 0 : *std::max_element(rounds.begin(), rounds.end());
    }
};

// p50 of `calls` timed runs of `once`, in microseconds.
double p50Micros(int calls, const std::function<void()>& once) {
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        const auto start = BenchClock::now();
        once();
        samples.push_back(microsSince(start));
    }
    return percentile(std::move(samples), 0.5);
}

// ---- Floors -----------------------------------------------------------------

// A line to a thread and its echo back, over two pipes: the least any stdio
// round trip costs on this machine.
class PipeEcho {
public:
    PipeEcho() {
        if (::pipe2(toEcho_.data(), O_CLOEXEC) != 0 || ::pipe2(fromEcho_.data(), O_CLOEXEC) != 0) {
            benchFailed("cannot make pipes");
        }
        echo_ = std::thread([this] {
            char buffer[4096];
            for (;;) {
                const ssize_t n = ::read(toEcho_[0], buffer, sizeof buffer);
                if (n <= 0 || ::write(fromEcho_[1], buffer, static_cast<std::size_t>(n)) != n) {
                    return;
                }
            }
        });
    }
    ~PipeEcho() {
        ::close(toEcho_[1]);
        echo_.join();
        for (int fd : {toEcho_[0], fromEcho_[0], fromEcho_[1]}) {
            ::close(fd);
        }
    }
    PipeEcho(const PipeEcho&) = delete;
    PipeEcho& operator=(const PipeEcho&) = delete;

    void roundTrip() {
        static constexpr char line[] = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n";
        char buffer[128];
        if (::write(toEcho_[1], line, sizeof line - 1) != static_cast<ssize_t>(sizeof line - 1)) {
            benchFailed("pipe write failed");
        }
        std::size_t got = 0;
        while (got < sizeof line - 1) {
            const ssize_t n = ::read(fromEcho_[0], buffer, sizeof buffer);
            if (n <= 0) {
                benchFailed("pipe read failed");
            }
            got += static_cast<std::size_t>(n);
        }
    }

private:
    std::array<int, 2> toEcho_{-1, -1};
    std::array<int, 2> fromEcho_{-1, -1};
    std::thread echo_;
};

// The in-process reads a store makes for one agent, with the plain SQLite API
// on its own read-only connection: what the host cannot do without.
class InProcessReads {
public:
    explicit InProcessReads(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            benchFailed("cannot open the bench ledger in-process");
        }
    }
    ~InProcessReads() { sqlite3_close(db_); }
    InProcessReads(const InProcessReads&) = delete;
    InProcessReads& operator=(const InProcessReads&) = delete;

    // The account's own balance, by its index: prepared, stepped, finalized.
    std::int64_t balance(const std::string& accountId) {
        sqlite3_stmt* statement = prepare("SELECT COALESCE(SUM(CASE kind WHEN 'credit' THEN amount WHEN "
                                          "'debit' THEN -amount ELSE 0 END), 0)\n"
                                          "FROM ledger WHERE account_id = ?1;");
        sqlite3_bind_text(statement, 1, accountId.c_str(), -1, SQLITE_STATIC);
        const std::int64_t value =
            sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : 0;
        sqlite3_finalize(statement);
        return value;
    }

    // One page of the account's entries, newest first, every column read.
    std::size_t page(const std::string& accountId, int limit) {
        sqlite3_stmt* statement =
            prepare("SELECT id, account_id, kind, flag, amount, memo, created_at, updated_at, sequence\n"
                    "FROM ledger WHERE account_id = ?1 ORDER BY sequence DESC LIMIT ?2;");
        sqlite3_bind_text(statement, 1, accountId.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(statement, 2, limit);
        std::size_t bytes = 0;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            for (int column = 0; column < 9; ++column) {
                bytes += static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
            }
        }
        sqlite3_finalize(statement);
        return bytes;
    }

private:
    sqlite3_stmt* prepare(const char* sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK) {
            benchFailed(std::string("cannot prepare: ") + sqlite3_errmsg(db_));
        }
        return statement;
    }

    sqlite3* db_ = nullptr;
};

// ---- The programs ---------------------------------------------------------------

const ClientInfo benchClient{"bench-agent", "1.0", std::nullopt};

// A host started on the private folders, stopped (SIGTERM, then reaped) when destroyed.
class Host {
public:
    explicit Host(const PrivateFolders& folders) : started_(BenchClock::now()) {
        process_ = std::make_unique<Process>(hostProgram, folders.environment(), false);
        if (!test::waitForSocket(folders.socketPath(), 60s, &process_->child())) {
            benchFailed("the host did not start listening");
        }
        toSocketMicros_ = microsSince(started_);
    }
    ~Host() {
        process_->child().signal(SIGTERM);
        (void)process_->child().waitForExit(10s);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    [[nodiscard]] pid_t pid() const { return process_->pid(); }
    // From starting the program to the first connection it accepted.
    [[nodiscard]] double toSocketMicros() const { return toSocketMicros_; }

private:
    BenchClock::time_point started_;
    std::unique_ptr<Process> process_;
    double toSocketMicros_ = 0;
};

std::unique_ptr<Process> startBridge(const PrivateFolders& folders) {
    return std::make_unique<Process>(bridgeProgram, folders.environment(), true);
}

// A bridge whose agent is bound to the bench client's account.
std::unique_ptr<Process> startBoundBridge(const PrivateFolders& folders) {
    auto bridge = startBridge(folders);
    if (bridge->roundTrip(initializeLine(benchClient.name)).find("\"result\"") == std::string::npos) {
        benchFailed("initialize failed");
    }
    return bridge;
}

std::unique_ptr<Process> startCanned(std::size_t replyBytes) {
    return std::make_unique<Process>(QUORVANE_CANNED_PROGRAM, std::vector<std::string>{}, true,
                                     std::vector<std::string>{std::to_string(replyBytes)});
}

// A canned relay process in front of a canned server process: the shape of
// bridge and host, with nothing done in either.
std::unique_ptr<Process> startCannedRelay(std::size_t replyBytes) {
    return std::make_unique<Process>(QUORVANE_CANNED_PROGRAM, std::vector<std::string>{}, true,
                                     std::vector<std::string>{"relay", std::to_string(replyBytes)});
}

void expectContains(const std::string& reply, std::string_view text, const char* what) {
    if (reply.find(text) == std::string::npos) {
        benchFailed(std::string(what) + " answered: " + reply.substr(0, 300));
    }
}

// The pid of the process listening on the socket, when one accepts.
std::optional<pid_t> listenerPid(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return std::nullopt;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::optional<pid_t> pid;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
            pid = peer.pid;
        }
    }
    ::close(fd);
    return pid;
}

// ---- The run -----------------------------------------------------------------------

struct Row {
    std::string key;  // in the figures file
    std::string what; // the measure
    std::string unit; // of figure and floor
    Figure figure;
    std::string floorName;
    Figure floor;
    std::string target;
    bool measured = true;
    std::string why; // when not measured
};

Row makeRow(std::string key, std::string what, std::string unit, std::string floorName, std::string target) {
    Row row;
    row.key = std::move(key);
    row.what = std::move(what);
    row.unit = std::move(unit);
    row.floorName = std::move(floorName);
    row.target = std::move(target);
    return row;
}

std::map<std::string, double> readPrevious(const std::string& path) {
    std::map<std::string, double> figures;
    std::ifstream file(path);
    std::string key;
    double value = 0;
    while (file >> key >> value) {
        figures[key] = value;
    }
    return figures;
}

void printTable(const std::vector<Row>& rows, const std::map<std::string, double>& previous,
                const std::string& previousPath) {
    std::printf("\n%-44s %22s   %-40s %22s %7s   %s\n", "measure (median of rounds' p50, [range])",
                "Quorvane", "floor in this run", "floor", "ratio", "target");
    for (const Row& row : rows) {
        if (!row.measured) {
            std::printf("%-44s %22s   %s\n", row.what.c_str(), "not measured", row.why.c_str());
            continue;
        }
        char figure[64];
        char floor[64];
        std::snprintf(figure, sizeof figure, "%.1f %s [%.0f-%.0f]", row.figure.median(), row.unit.c_str(),
                      row.figure.low(), row.figure.high());
        std::snprintf(floor, sizeof floor, "%.1f %s [%.0f-%.0f]", row.floor.median(), row.unit.c_str(),
                      row.floor.low(), row.floor.high());
        const double ratio = row.floor.median() > 0 ? row.figure.median() / row.floor.median() : 0;
        std::printf("%-44s %22s   %-40s %22s %6.1fx   %s\n", row.what.c_str(), figure, row.floorName.c_str(),
                    floor, ratio, row.target.c_str());
    }
    bool noted = false;
    for (const Row& row : rows) {
        const auto before = previous.find(row.key);
        if (!row.measured || before == previous.end() || before->second <= 0) {
            continue;
        }
        const double now = row.figure.median();
        if (now > before->second * regressionNoteRatio) {
            std::printf("note: %s is %.0f%% above the previous run (%.1f -> %.1f %s)\n", row.what.c_str(),
                        (now / before->second - 1) * 100, before->second, now, row.unit.c_str());
            noted = true;
        }
    }
    if (!noted && !previous.empty()) {
        std::printf("no figure is more than 25%% above the previous run (%s)\n", previousPath.c_str());
    }
}

void writeFigures(const std::vector<Row>& rows, const std::string& path) {
    std::ofstream file(path, std::ios::trunc);
    for (const Row& row : rows) {
        if (row.measured) {
            file << row.key << ' ' << row.figure.median() << '\n';
        }
    }
    if (!file) {
        std::fprintf(stderr, "bench: cannot write the figures to %s\n", path.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    hostProgram = (options.programs / "quorvane-host").string();
    bridgeProgram = (options.programs / "quorvane-bridge").string();
    std::signal(SIGPIPE, SIG_IGN);
    // A host that the operator app's headless run starts detached is handed to
    // this process when its parent exits, so it can be stopped and reaped here.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);

    std::printf("load average before: %s (2 cores is busy above ~1)\n", loadAverage().c_str());
    std::printf("programs in %s; rounds %d, calls per round %d\n", options.programs.c_str(), options.rounds,
                options.calls);
    std::fflush(stdout);

    PrivateFolders folders;
    std::filesystem::create_directories(folders.ledgerPath().parent_path());
    ::chmod(folders.ledgerPath().parent_path().c_str(), 0700);
    const auto generating = BenchClock::now();
    const std::vector<std::string> accountIds =
        writeBenchLedger(folders.ledgerPath().string(), 7, [](int i, std::mt19937_64&) {
            const std::string name = i == 0 ? benchClient.name : "Agent " + std::to_string(i);
            return BenchAccount{name, R"({"name":")" + name + R"(","version":"1.0"})",
                                AccountCrypto::fingerprint(ClientInfo{name, "1.0", std::nullopt})};
        });
    const std::string& account = accountIds.front();
    std::printf("ledger of %d accounts and %d entries written in %.1f s\n", ledgerAccounts, ledgerEntries,
                microsSince(generating) / 1e6);
    std::fflush(stdout);

    Row pipe = makeRow("pipe_rtt_us", "pipe round trip (echo thread)", "us", "-", "-");
    Row balance = makeRow("getBalance_us", "getBalance round trip, p50", "us",
                          "canned stdio server, same size", "<= 60 us");
    Row tx25 = makeRow("getTransactions25_us", "getTransactions 25 entries, p50", "us",
                       "canned stdio server, same size", "<= 150 us");
    Row tx100 = makeRow("getTransactions100_us", "getTransactions 100 entries, p50", "us",
                        "canned stdio server, same size", "<= 300 us");
    Row relayBalance =
        makeRow("relayBalance_us", "  canned relay + canned server, same size", "us", "-", "-");
    Row relay100 = makeRow("relay100_us", "  the same for the 100-entry reply", "us", "-", "-");
    Row page25 = makeRow("page25_inprocess_us", "  the 25-entry page read in-process", "us", "-", "-");
    Row page100 = makeRow("page100_inprocess_us", "  the 100-entry page read in-process", "us", "-", "-");
    Row firstCall = makeRow("firstCall_ms", "first getBalance after host start (1M)", "ms",
                            "account's own balance query in-process", "<= 10 ms");
    Row startUp = makeRow("bridgeStartHostUp_ms", "bridge start to first reply, host up", "ms",
                          "canned server start to first reply", "<= 10 ms");
    Row startDown = makeRow("bridgeStartHostDown_ms", "bridge start to first reply, host down", "ms",
                            "host start to accepting (1M ledger)", "<= 100 ms");
    Row bridgeRss = makeRow("bridgeRss_KiB", "bridge resident memory (VmRSS)", "KiB", "canned server's VmRSS",
                            "<= 2560 KiB");

    // In-process reads first, before any host holds the file.
    volatile std::int64_t sink = 0;
    {
        InProcessReads reads(folders.ledgerPath().string());
        for (int round = 0; round < options.rounds; ++round) {
            firstCall.floor.rounds.push_back(p50Micros(20, [&] { sink = reads.balance(account); }) / 1000);
            page25.figure.rounds.push_back(p50Micros(200, [&] { (void)reads.page(account, 25); }));
            page100.figure.rounds.push_back(p50Micros(200, [&] { (void)reads.page(account, 100); }));
        }
    }

    std::size_t balanceBytes = 0;
    std::size_t tx25Bytes = 0;
    std::size_t tx100Bytes = 0;
    {
        Host host(folders);
        auto bridge = startBoundBridge(folders);
        const std::string tx25Line = getTransactionsRequest(25);
        const std::string tx100Line = getTransactionsRequest(100);
        const std::string balanceReply = bridge->roundTrip(getBalanceRequest);
        expectContains(balanceReply, "\"balance\"", "getBalance");
        balanceBytes = balanceReply.size() + 1;
        const std::string tx25Reply = bridge->roundTrip(tx25Line);
        expectContains(tx25Reply, "\"transactions\"", "getTransactions");
        tx25Bytes = tx25Reply.size() + 1;
        const std::string tx100Reply = bridge->roundTrip(tx100Line);
        tx100Bytes = tx100Reply.size() + 1;
        std::printf("reply sizes: getBalance %zu, getTransactions 25: %zu, 100: %zu bytes\n", balanceBytes,
                    tx25Bytes, tx100Bytes);
        std::fflush(stdout);

        auto cannedBalance = startCanned(balanceBytes);
        auto canned25 = startCanned(tx25Bytes);
        auto canned100 = startCanned(tx100Bytes);
        auto relayedBalance = startCannedRelay(balanceBytes);
        auto relayed100 = startCannedRelay(tx100Bytes);
        PipeEcho echo;
        const int txCalls = std::max(10, options.calls / 4);
        // The steady state is measured: the host's start-up work (its totals
        // pass over the whole ledger) is done first.
        if (!waitUntilIdle(host.pid(), 200ms, 60s)) {
            std::printf("note: the host was still busy after 60 s; measuring anyway\n");
        }
        // Warm both sides up before the first round.
        for (int i = 0; i < 200; ++i) {
            (void)bridge->roundTrip(getBalanceRequest);
            (void)cannedBalance->roundTrip(pingRequest);
            (void)relayedBalance->roundTrip(pingRequest);
        }
        for (int round = 0; round < options.rounds; ++round) {
            pipe.figure.rounds.push_back(p50Micros(options.calls, [&] { echo.roundTrip(); }));
            balance.floor.rounds.push_back(
                p50Micros(options.calls, [&] { (void)cannedBalance->roundTrip(getBalanceRequest); }));
            balance.figure.rounds.push_back(
                p50Micros(options.calls, [&] { (void)bridge->roundTrip(getBalanceRequest); }));
            tx25.floor.rounds.push_back(p50Micros(txCalls, [&] { (void)canned25->roundTrip(tx25Line); }));
            tx25.figure.rounds.push_back(p50Micros(txCalls, [&] { (void)bridge->roundTrip(tx25Line); }));
            tx100.floor.rounds.push_back(p50Micros(txCalls, [&] { (void)canned100->roundTrip(tx100Line); }));
            tx100.figure.rounds.push_back(p50Micros(txCalls, [&] { (void)bridge->roundTrip(tx100Line); }));
            relayBalance.figure.rounds.push_back(
                p50Micros(options.calls, [&] { (void)relayedBalance->roundTrip(getBalanceRequest); }));
            relay100.figure.rounds.push_back(
                p50Micros(txCalls, [&] { (void)relayed100->roundTrip(tx100Line); }));
        }
        bridgeRss.figure.rounds.push_back(statusKiB(bridge->pid(), "VmRSS"));
        bridgeRss.floor.rounds.push_back(statusKiB(cannedBalance->pid(), "VmRSS"));
        bridge->finish();

        // A new bridge for each start, with the host already listening.
        for (int round = 0; round < options.rounds; ++round) {
            std::vector<double> bridgeStarts;
            std::vector<double> cannedStarts;
            for (int i = 0; i < 10; ++i) {
                auto start = BenchClock::now();
                auto fresh = startBridge(folders);
                expectContains(fresh->roundTrip(pingRequest), "\"result\"", "ping");
                bridgeStarts.push_back(microsSince(start) / 1000);
                fresh->finish();
                start = BenchClock::now();
                auto canned = startCanned(balanceBytes);
                (void)canned->roundTrip(pingRequest);
                cannedStarts.push_back(microsSince(start) / 1000);
                canned->finish();
            }
            startUp.figure.rounds.push_back(percentile(bridgeStarts, 0.5));
            startUp.floor.rounds.push_back(percentile(cannedStarts, 0.5));
        }
    }

    // The first call after each start of a host on the large ledger.
    for (int round = 0; round < options.rounds; ++round) {
        Host host(folders);
        startDown.floor.rounds.push_back(host.toSocketMicros() / 1000);
        auto bridge = startBoundBridge(folders);
        const auto start = BenchClock::now();
        expectContains(bridge->roundTrip(getBalanceRequest), "\"balance\"", "getBalance");
        firstCall.figure.rounds.push_back(microsSince(start) / 1000);
        bridge->finish();
    }

    // With no host: the bridge has the operator app's program start it.
    const std::filesystem::path registration = options.programs / "quorvane";
    if (!std::filesystem::exists(registration)) {
        startDown.measured = false;
        startDown.why = "no program quorvane beside the bridge (build the app)";
    } else {
        for (int round = 0; round < options.rounds; ++round) {
            const auto start = BenchClock::now();
            auto bridge = startBridge(folders);
            expectContains(bridge->roundTrip(pingRequest), "\"result\"", "ping after bootstrap");
            startDown.figure.rounds.push_back(microsSince(start) / 1000);
            bridge->finish();
            const std::optional<pid_t> started = listenerPid(folders.socketPath());
            if (!started) {
                benchFailed("no host answers after the bootstrap");
            }
            ::kill(*started, SIGTERM);
            int status = 0;
            while (::waitpid(*started, &status, 0) < 0 && errno == EINTR) {
            }
            // Whatever else the headless run left (nothing, normally).
            while (::waitpid(-1, &status, WNOHANG) > 0) {
            }
        }
    }

    const std::vector<Row> rows{pipe,   balance, relayBalance, tx25,    tx100,     relay100,
                                page25, page100, firstCall,    startUp, startDown, bridgeRss};
    const std::map<std::string, double> previous = readPrevious(options.previous);
    printTable(rows, previous, options.previous);
    writeFigures(rows, options.previous);
    std::printf("load average after: %s\n", loadAverage().c_str());
    return 0;
}
