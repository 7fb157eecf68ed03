#include "app/tests/AppModelTestSupport.h"

#include <QCoreApplication>
#include <QTest>

#include <cstdint>
#include <cstring>
#include <string_view>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
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

std::optional<std::size_t> unreadAtHostControl(const World& world) {
    auto places = resolveServicePlaces(world.runtimeEnvironment(), FolderUse::existingOnly);
    if (!places) {
        return std::nullopt;
    }
    // The kernel's socket table, asked over netlink: no descriptor of another
    // thread is touched, so none can be closed or reused under us.
    const int diag = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag < 0) {
        return std::nullopt;
    }
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } ask{};
    ask.header.nlmsg_len = sizeof(ask);
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.request.sdiag_family = AF_UNIX;
    ask.request.udiag_states = ~0u;
    ask.request.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_RQLEN;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(diag, &ask, sizeof(ask), 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel)) <
        0) {
        ::close(diag);
        return std::nullopt;
    }
    std::optional<std::size_t> unread;
    alignas(nlmsghdr) char buffer[32768];
    for (bool done = false; !done;) {
        ssize_t got = ::recv(diag, buffer, sizeof(buffer), 0);
        if (got <= 0) {
            ::close(diag);
            return std::nullopt;
        }
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, got);
             header = NLMSG_NEXT(header, got)) {
            if (header->nlmsg_type == NLMSG_DONE) {
                done = true;
                break;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                ::close(diag);
                return std::nullopt;
            }
            const auto* socket = static_cast<const unix_diag_msg*>(NLMSG_DATA(header));
            if (socket->udiag_state == TCP_LISTEN) {
                continue; // its queue counts waiting connections, not bytes
            }
            // A connection the host accepted carries the listening socket's
            // name; its receive queue holds what the host has not read.
            std::string_view name;
            std::optional<std::uint32_t> queued;
            int left = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof(*socket)));
            for (auto* attribute = reinterpret_cast<const rtattr*>(socket + 1); RTA_OK(attribute, left);
                 attribute = RTA_NEXT(attribute, left)) {
                const auto* data = static_cast<const char*>(RTA_DATA(attribute));
                if (attribute->rta_type == UNIX_DIAG_NAME) {
                    name = std::string_view(data, ::strnlen(data, RTA_PAYLOAD(attribute)));
                } else if (attribute->rta_type == UNIX_DIAG_RQLEN &&
                           RTA_PAYLOAD(attribute) >= sizeof(unix_diag_rqlen)) {
                    unix_diag_rqlen lengths{};
                    std::memcpy(&lengths, data, sizeof(lengths));
                    queued = lengths.udiag_rqueue;
                }
            }
            if (queued && name == places->controlSocketPath) {
                unread = unread.value_or(0) + *queued;
            }
        }
    }
    ::close(diag);
    return unread;
}

} // namespace quorvane::apptest
