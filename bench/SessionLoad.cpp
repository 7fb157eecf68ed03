// Load on a real host: many agent sessions at once, and what the host keeps
// of them afterwards. The program speaks as bridges do (it carries the
// bridge's identity) over raw connections, all driven from one thread, and
// watches the host's threads and resident memory in /proc.
//
//   quorvane_bench_sessions [sessions N] [calls M]
//       N sessions (default 1000) at once, each an initialize and M getBalance
//       calls (default 100), one at a time per session: every call answered?
//       Threads and RSS of the host before, at most during, and idle after.
//   quorvane_bench_sessions heavy [waves W] [sessions N]
//       W waves (default 5) of N sessions (default 20), each asking for a
//       page of 30 entries of about 100 KB (a reply of about 3 MB) and then
//       dropped without reading it all; RSS before, at most, and idle after.
//   quorvane_bench_sessions stalled [sessions N] [notes K]
//       N sessions (default 20) of one agent that never read, while the
//       operator adds K notes of about 100 KB (default 100) to its account:
//       each note is pushed to every session. RSS before, at most, idle after.
//
// The operator's side of the last two goes through quorvanectl, found beside
// the host program. QUORVANE_BENCH_HOST names another host program to load
// (an older build, say). Idle means: every session closed and the host's RSS
// unchanged for a second.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/ControlProtocol.h"
#include "common/transport/Frame.h"
#include "tests/support/Child.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiting.h"

namespace {

using namespace quorvane;
using Clock = std::chrono::steady_clock;

struct HostStatus {
    long rssKiB = 0;
    int threads = 0;
};

HostStatus statusOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    HostStatus status;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            status.rssKiB = std::stol(line.substr(6));
        } else if (line.rfind("Threads:", 0) == 0) {
            status.threads = std::stoi(line.substr(8));
        }
    }
    return status;
}

std::string mib(long kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(kib) / 1024.0);
    return text;
}

std::string callFrame(std::uint64_t id, const std::string& line) {
    return encodeFrame({FrameKind::call, Operation::handleAgentMessage, id, false, line}, maxFrameToHost);
}

std::string initializeLine(int id, const std::string& name) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
           R"(,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},)"
           R"("clientInfo":{"name":")" +
           name + R"(","version":"1.0"}}})";
}

std::string toolCallLine(int id, const std::string& tool, const std::string& arguments = "{}") {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":{"name":")" +
           tool + R"(","arguments":)" + arguments + "}}";
}

std::string hostProgram() {
    const char* other = std::getenv("QUORVANE_BENCH_HOST");
    return other != nullptr && *other != '\0' ? other : QUORVANE_HOST_PROGRAM;
}

// A host in private folders, with the programs beside it.
class Host {
public:
    Host() : folder_(test::TempDir::withSocketRoom(64, "load")) {
        for (const char* name : {"run", "data", "home", "path"}) {
            ::mkdir(folder_.file(name).c_str(), 0700);
        }
        environment_ = {"XDG_RUNTIME_DIR=" + folder_.file("run"), "XDG_DATA_HOME=" + folder_.file("data"),
                        "HOME=" + folder_.file("home"), "PATH=" + folder_.file("path")};
        test::Child::Options options;
        options.arguments = {hostProgram()};
        options.environment = environment_;
        options.input = test::Child::Stream::null;
        options.output = test::Child::Stream::null;
        child_ = std::make_unique<test::Child>(options);
        if (!test::waitForSocket(socketPath(), test::guardTimeout, child_.get())) {
            throw std::runtime_error("the host did not start: " + child_->errorOutput());
        }
    }

    [[nodiscard]] std::string socketPath() const {
        return folder_.file("run") + "/quorvane/" + std::string(quorvaneServiceName);
    }
    [[nodiscard]] pid_t pid() const { return child_->pid(); }
    [[nodiscard]] HostStatus status() const { return statusOf(child_->pid()); }
    [[nodiscard]] std::string errors() const { return child_->errorOutput(); }

    // Runs quorvanectl with these arguments; true when it succeeded.
    bool control(std::vector<std::string> arguments) const {
        const std::string program = hostProgram();
        arguments.insert(arguments.begin(), program.substr(0, program.rfind('/')) + "/quorvanectl");
        test::Child::Options options;
        options.arguments = std::move(arguments);
        options.environment = environment_;
        options.input = test::Child::Stream::null;
        options.output = test::Child::Stream::null;
        test::Child ctl(options);
        return ctl.waitForExit() == 0;
    }

    // Of the resident memory, how much is the host's own heap and stacks
    // (anonymous) rather than mapped files (its program and libraries).
    [[nodiscard]] long anonymousKiB() const {
        std::ifstream in("/proc/" + std::to_string(child_->pid()) + "/smaps_rollup");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("Anonymous:", 0) == 0) {
                return std::stol(line.substr(10));
            }
        }
        return -1;
    }

    // RSS once the host has settled: unchanged for a second.
    [[nodiscard]] long idleRss() const {
        long last = -1;
        for (int i = 0; i < 60; ++i) {
            const long now = status().rssKiB;
            if (now == last) {
                return now;
            }
            last = now;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        return last;
    }

private:
    test::TempDir folder_;
    std::vector<std::string> environment_;
    std::unique_ptr<test::Child> child_;
};

int connectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    return fd;
}

// One agent session: a connection and what it has read.
struct Session {
    int fd = -1;
    std::string input;
    int answered = 0;
};

// The whole replies at the front of a session's input.
int takeReplies(Session& session) {
    int replies = 0;
    for (;;) {
        if (session.input.size() < frameHeaderSize) {
            return replies;
        }
        unsigned char header[frameHeaderSize];
        std::memcpy(header, session.input.data(), frameHeaderSize);
        Frame frame;
        std::size_t length = 0;
        if (decodeFrameHeader(header, maxFrameFromHost, frame, length) != ReadStatus::frame) {
            throw std::runtime_error("the host sent a bad frame");
        }
        if (session.input.size() < frameHeaderSize + length) {
            return replies;
        }
        session.input.erase(0, frameHeaderSize + length);
        if (frame.kind == FrameKind::reply) {
            ++replies;
        } else if (frame.kind == FrameKind::failure) {
            throw std::runtime_error("the host refused a call: " + frame.payload.substr(0, 200));
        }
    }
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Sessions with one call outstanding each, until each has `calls` answers;
// `next(session index, answers so far)` is the next line. Samples the host
// meanwhile into `peak`.
void drive(std::vector<Session>& sessions, int calls, const std::function<std::string(int, int)>& next,
           const Host& host, HostStatus& peak) {
    int remaining = static_cast<int>(sessions.size());
    auto lastSample = Clock::now();
    while (remaining > 0) {
        std::vector<pollfd> fds;
        fds.reserve(sessions.size());
        for (const Session& s : sessions) {
            fds.push_back({s.fd, static_cast<short>(s.answered < calls ? POLLIN : 0), 0});
        }
        if (::poll(fds.data(), fds.size(), 100) < 0) {
            throw std::runtime_error("poll failed");
        }
        if (Clock::now() - lastSample > std::chrono::milliseconds(50)) {
            const HostStatus now = host.status();
            peak.rssKiB = std::max(peak.rssKiB, now.rssKiB);
            peak.threads = std::max(peak.threads, now.threads);
            lastSample = Clock::now();
        }
        for (std::size_t i = 0; i < sessions.size(); ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            Session& s = sessions[i];
            char buffer[65536];
            const ssize_t n = ::recv(s.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                throw std::runtime_error("session " + std::to_string(i) + " was closed by the host");
            }
            s.input.append(buffer, static_cast<std::size_t>(n));
            for (int r = takeReplies(s); r > 0; --r) {
                s.answered += 1;
                if (s.answered < calls) {
                    const auto id = static_cast<std::uint64_t>(s.answered + 1);
                    if (!sendAll(s.fd, callFrame(id, next(static_cast<int>(i), s.answered)))) {
                        throw std::runtime_error("cannot send");
                    }
                } else {
                    --remaining;
                }
            }
        }
    }
}

std::vector<Session> openSessions(const Host& host, int count, const std::function<std::string(int)>& name) {
    std::vector<Session> sessions(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        sessions[static_cast<std::size_t>(i)].fd = connectTo(host.socketPath());
        if (sessions[static_cast<std::size_t>(i)].fd < 0) {
            throw std::runtime_error("cannot connect session " + std::to_string(i));
        }
        if (!sendAll(sessions[static_cast<std::size_t>(i)].fd, callFrame(1, initializeLine(1, name(i))))) {
            throw std::runtime_error("cannot send");
        }
    }
    return sessions;
}

void closeSessions(std::vector<Session>& sessions) {
    for (Session& s : sessions) {
        ::close(s.fd);
    }
    sessions.clear();
}

void report(const char* what, const Host& host, const HostStatus& before, const HostStatus& peak, long idle) {
    if (*what != '\0') {
        std::printf("%s\n", what);
    }
    std::printf("  host RSS before %s, at most %s, idle after %s (%s of it heap and stacks); threads "
                "before %d, at most %d\n",
                mib(before.rssKiB).c_str(), mib(peak.rssKiB).c_str(), mib(idle).c_str(),
                mib(host.anonymousKiB()).c_str(), before.threads, peak.threads);
}

int sessionsRun(int count, int calls) {
    Host host;
    const HostStatus before = host.status();
    HostStatus peak = before;
    const auto start = Clock::now();
    std::vector<Session> sessions =
        openSessions(host, count, [](int i) { return "load-" + std::to_string(i); });
    drive(
        sessions, calls + 1, [](int, int answered) { return toolCallLine(answered + 1, "getBalance"); }, host,
        peak);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    int answered = 0;
    for (const Session& s : sessions) {
        answered += s.answered - 1;
    }
    closeSessions(sessions);
    const long idle = host.idleRss();
    std::printf("%d sessions x %d getBalance calls: %d answered in %.2f s (%.0f calls/s)\n", count, calls,
                answered, seconds, answered / seconds);
    report("", host, before, peak, idle);
    return answered == count * calls ? 0 : 1;
}

int heavyRun(int waves, int count) {
    Host host;
    std::vector<Session> first = openSessions(host, 1, [](int) { return std::string("heavy"); });
    HostStatus ignored;
    drive(
        first, 1, [](int, int) { return std::string(); }, host, ignored);
    const std::string memo(100 * 1000, 'm');
    for (int i = 0; i < 30; ++i) {
        if (!host.control({"note", "heavy", memo})) {
            std::fprintf(stderr, "quorvanectl could not add a note\n");
            return 1;
        }
    }
    closeSessions(first);
    const HostStatus before = host.status();
    HostStatus peak = before;
    for (int wave = 0; wave < waves; ++wave) {
        std::vector<Session> sessions = openSessions(host, count, [](int) { return std::string("heavy"); });
        drive(
            sessions, 2, [](int, int) { return toolCallLine(2, "getTransactions", R"({"limit":30})"); }, host,
            peak);
        // The next asks come and the sessions are dropped before reading.
        for (Session& s : sessions) {
            (void)sendAll(s.fd, callFrame(3, toolCallLine(3, "getTransactions", R"({"limit":30})")));
        }
        closeSessions(sessions);
    }
    const long idle = host.idleRss();
    report(("heavy replies: " + std::to_string(waves) + " waves of " + std::to_string(count) +
            " sessions, replies of about 3 MB")
               .c_str(),
           host, before, peak, idle);
    return 0;
}

int stalledRun(int count, int notes) {
    Host host;
    std::vector<Session> sessions = openSessions(host, count, [](int) { return std::string("stalled"); });
    HostStatus peak = host.status();
    drive(
        sessions, 1, [](int, int) { return std::string(); }, host, peak);
    const HostStatus before = host.status();
    peak = before;
    const std::string memo(100 * 1000, 'n');
    for (int i = 0; i < notes; ++i) {
        if (!host.control({"note", "stalled", memo})) {
            std::fprintf(stderr, "quorvanectl could not add a note\n");
            return 1;
        }
        const HostStatus now = host.status();
        peak.rssKiB = std::max(peak.rssKiB, now.rssKiB);
        peak.threads = std::max(peak.threads, now.threads);
    }
    closeSessions(sessions);
    const long idle = host.idleRss();
    report(("stalled readers: " + std::to_string(count) + " sessions, " + std::to_string(notes) +
            " notes of about 100 KB")
               .c_str(),
           host, before, peak, idle);
    const std::string errors = host.errors();
    std::printf("  host notes: %zu peers cut off for not reading\n",
                static_cast<std::size_t>(std::count(errors.begin(), errors.end(), '\n')));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    ignoreSigpipe();
    raiseDescriptorLimit();
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string mode = "sessions";
    if (!args.empty() && (args[0] == "heavy" || args[0] == "stalled")) {
        mode = args[0];
        args.erase(args.begin());
    }
    std::map<std::string, int> values;
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        values[args[i]] = std::stoi(args[i + 1]);
    }
    const auto value = [&](const char* name, int fallback) {
        auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    };
    try {
        if (mode == "heavy") {
            return heavyRun(value("waves", 5), value("sessions", 20));
        }
        if (mode == "stalled") {
            return stalledRun(value("sessions", 20), value("notes", 100));
        }
        return sessionsRun(value("sessions", 1000), value("calls", 100));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quorvane_bench_sessions: %s\n", error.what());
        return 1;
    }
}
