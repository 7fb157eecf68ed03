#include "app/tests/AppModelTestSupport.h"

#include <QCoreApplication>
#include <QTest>

#include <charconv>
#include <cstring>
#include <string_view>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/Coding.h"

namespace quorvane::apptest {

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    return QTest::qWaitFor(condition, static_cast<int>(limit.count()));
}

void settle(std::chrono::milliseconds duration) {
    QTest::qWait(static_cast<int>(duration.count()));
}

// ---- World ------------------------------------------------------------------------

World::World()
    : folder_(test::TempDir::withSocketRoom(
          std::string_view("/runtime").size() + test::TempDir::serviceSocketRoom(), "appmodel.")),
      root_(folder_.path()), runtime_(root_ / "runtime") {
    std::filesystem::create_directories(runtime_);
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
    std::filesystem::create_directories(root_ / "data");
    std::filesystem::create_directories(root_ / "home");
    std::filesystem::create_directories(root_ / "bin");
}

RuntimeEnvironment World::runtimeEnvironment() const {
    RuntimeEnvironment environment;
    environment.xdgRuntimeDir = runtime_.string();
    environment.uid = ::getuid();
    return environment;
}

std::filesystem::path World::socketPath() const {
    return runtime_ / "quorvane" / std::string(quorvaneServiceName);
}

std::vector<std::string> World::environment() const {
    return {
        "XDG_RUNTIME_DIR=" + runtime_.string(),
        "XDG_DATA_HOME=" + (root_ / "data").string(),
        "XDG_CONFIG_HOME=" + (root_ / "home" / ".config").string(),
        "HOME=" + (root_ / "home").string(),
        // An empty folder: no service manager, no registration side effects.
        "PATH=" + (root_ / "bin").string(),
        "LANG=C.UTF-8",
    };
}

ConnectionOptions World::connectionOptions(bool fakeHost) const {
    ConnectionOptions options;
    options.environment = runtimeEnvironment();
    if (fakeHost) {
        options.identityReader = [](pid_t) {
            return Result<ProgramIdentity>(
                ProgramIdentity{std::string(quorvaneTeamIdentifier), std::string(quorvaneHostIdentifier)});
        };
    }
    return options;
}

// ---- Real programs ------------------------------------------------------------------

namespace {

std::unique_ptr<Child> startProgram(const std::string& program, const World& world,
                                    const std::filesystem::path& errorFile) {
    Child::Options options;
    options.arguments = {program};
    options.environment = world.environment();
    options.error = Child::Stream::file;
    options.errorFile = errorFile.string();
    return std::make_unique<Child>(options);
}

} // namespace

std::unique_ptr<Child> startHost(const World& world) {
    auto host = startProgram(QUORVANE_HOST_PROGRAM, world, world.root() / "host.err");
    if (!test::waitForSocket(world.socketPath().string(), 20s, host.get())) {
        ADD_FAILURE() << "the host did not get ready: " << host->errorOutput();
    }
    return host;
}

Agent::Agent(const World& world, const std::string& clientName)
    : name_(clientName),
      child_(startProgram(QUORVANE_BRIDGE_PROGRAM, world, world.root() / ("bridge-" + clientName + ".err"))) {
}

bool Agent::initialize() {
    const Json line{{"jsonrpc", "2.0"},
                    {"id", 1},
                    {"method", "initialize"},
                    {"params",
                     {{"protocolVersion", "2025-06-18"},
                      {"capabilities", Json::object()},
                      {"clientInfo", {{"name", name_}, {"version", "1.0"}}}}}};
    auto reply = call(*serializeJson(line));
    return reply && reply->find("\"result\"") != std::string::npos;
}

std::optional<std::string> Agent::call(const std::string& line) {
    if (!child_->writeLine(line)) {
        return std::nullopt;
    }
    auto reply = child_->readLine();
    if (!reply) {
        ADD_FAILURE() << "the bridge gave no answer to " << line
                      << "; its standard error: " << child_->errorOutput();
    }
    return reply;
}

// ---- FakeHost -----------------------------------------------------------------------

FakeHost::FakeHost(const World& world, Answer answer)
    : test::FakeHost(world.runtimeEnvironment(), Options{std::move(answer), {}, {}}) {
}

std::string snapshotAnswer(const Snapshot& snapshot) {
    return *QuorvaneCoding::encodeToString(ControlResponse::snapshot(snapshot));
}

std::string emptySnapshotAnswer() {
    Snapshot snapshot;
    snapshot.hostVersion = "fake";
    snapshot.settings = Settings{true, 50000};
    return snapshotAnswer(snapshot);
}

// ---- What the host has not read ----------------------------------------------------

std::optional<std::size_t> unreadByHost(const World& world) {
    auto places = resolveServicePlaces(world.runtimeEnvironment(), FolderUse::existingOnly);
    if (!places) {
        return std::nullopt;
    }
    // The app speaks on the control socket, agents on the other.
    const std::string control = places->controlSocketPath;
    const std::string agents = places->socketPath;
    std::optional<std::size_t> unread;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        // Other threads open and close descriptors meanwhile: a number may
        // name something else by now, which the checks below sort out.
        const std::string name = entry.path().filename().string();
        int fd = -1;
        if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc()) {
            continue;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) {
            continue;
        }
        sockaddr_un peer{};
        socklen_t length = sizeof(peer);
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
            peer.sun_family != AF_UNIX || length <= offsetof(sockaddr_un, sun_path)) {
            continue;
        }
        const std::size_t pathRoom = length - offsetof(sockaddr_un, sun_path);
        const std::string_view path(peer.sun_path, ::strnlen(peer.sun_path, pathRoom));
        if (path != control && path != agents) {
            continue;
        }
        // A Unix stream socket's output queue: bytes in the peer's receive
        // queue that it has not read.
        int queued = 0;
        if (::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0) {
            continue;
        }
        unread = unread.value_or(0) + static_cast<std::size_t>(queued);
    }
    return unread;
}

} // namespace quorvane::apptest
