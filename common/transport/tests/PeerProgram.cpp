// A small program that speaks the service protocol for the transport tests. It
// is built four times: carrying the host, bridge or app identity, or none.
//
//   serve <runtime dir> [--admit-any]       run a listener with an echo service;
//                                           prints "ready", serves until stdin ends
//   call <runtime dir> <agent|control> <text>
//                                           one call through ServiceConnection;
//                                           prints "reply:<text>", "absent" or "error:<description>"
//   rawcall <socket path> <agent|control> <text>
//                                           one call frame over a bare socket, no checks;
//                                           prints "reply:<text>", "failure:<text>" or "closed"
//   listen-fd <fd>                          listen on an inherited bound socket and accept;
//                                           prints "ready", holds connections until stdin ends

#include "common/transport/Frame.h"
#include "common/transport/RuntimePlaces.h"
#include "common/transport/ServiceConnection.h"
#include "common/transport/ServiceListener.h"
#include "tests/support/ServiceClient.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace quorvane;

namespace {

class EchoService final : public QuorvaneServiceProtocol {
public:
    void handleAgentMessage(const std::string& message,
                            std::function<void(std::optional<std::string>)> reply) override {
        if (message == "none") {
            reply(std::nullopt);
        } else if (message == "exit") {
            std::_Exit(3); // dies in the middle of a call
        } else {
            reply("echo:" + message);
        }
    }
    void control(const std::string& request, std::function<void(std::string)> reply) override {
        reply("ctl:" + request);
    }
};

void waitForEndOfInput() {
    char buffer[64];
    while (::read(0, buffer, sizeof buffer) > 0) {
    }
}

void say(const std::string& line) {
    std::cout << line << std::endl;
}

int serve(const std::string& runtimeDir, bool admitAny) {
    RuntimeEnvironment env;
    env.xdgRuntimeDir = runtimeDir;
    env.uid = ::geteuid();
    auto resolved = resolveServicePlaces(env, FolderUse::create);
    if (!resolved.ok()) {
        say("error:" + resolved.error().message);
        return 1;
    }
    auto locked = ServiceLock::acquire(*resolved);
    if (!locked.lock) {
        say("error:" + locked.error);
        return 1;
    }
    ListenerOptions options;
    if (admitAny) {
        options.identityReader = [](pid_t) {
            return Result<ProgramIdentity>(
                ProgramIdentity{std::string(quorvaneTeamIdentifier), std::string(quorvaneBridgeIdentifier)});
        };
    }
    auto service = std::make_shared<EchoService>();
    auto started = ServiceListener::start(
        std::move(*locked.lock),
        [service](const AcceptedPeer&) {
            return ConnectionSetup{service, {}};
        },
        options);
    if (!started.ok()) {
        say("error:" + started.error().message);
        return 1;
    }
    say("ready");
    waitForEndOfInput();
    return 0;
}

int call(const std::string& runtimeDir, const std::string& op, const std::string& text) {
    RuntimeEnvironment env;
    env.xdgRuntimeDir = runtimeDir;
    env.uid = ::geteuid();
    test::ServiceClient client(ConnectionOptions{env, {}});
    std::string outcome;
    if (op == "agent") {
        const auto reply = client.agentMessage(text);
        outcome = !reply ? "error:" + reply.error().message : *reply ? "reply:" + **reply : "absent";
    } else {
        const auto reply = client.controlText(text);
        outcome = reply ? "reply:" + *reply : "error:" + reply.error().message;
    }
    if (outcome == "error:no answer in time") {
        say("timeout");
        return 1;
    }
    say(outcome);
    return 0;
}

int rawcall(const std::string& path, const std::string& op, const std::string& text) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        say(std::string("error:connect: ") + std::strerror(errno));
        return 1;
    }
    const Operation operation = op == "agent" ? Operation::handleAgentMessage : Operation::control;
    if (!sendAll(fd, encodeFrame({FrameKind::call, operation, 1, false, text}, maxFrameToHost))) {
        say("closed");
        return 0;
    }
    ReadResult read = readFrame(fd, maxFrameFromHost);
    if (read.status != ReadStatus::frame) {
        say("closed");
    } else if (read.frame.kind == FrameKind::failure) {
        say("failure:" + read.frame.payload);
    } else {
        say("reply:" + read.frame.payload);
    }
    ::close(fd);
    return 0;
}

int listenFd(int fd) {
    if (::listen(fd, 16) != 0) {
        say(std::string("error:listen: ") + std::strerror(errno));
        return 1;
    }
    std::thread acceptor([fd] {
        std::vector<int> held;
        for (;;) {
            const int c = ::accept(fd, nullptr, nullptr);
            if (c < 0) {
                break;
            }
            held.push_back(c);
        }
        for (int c : held) {
            ::close(c);
        }
    });
    say("ready");
    waitForEndOfInput();
    ::shutdown(fd, SHUT_RDWR);
    acceptor.join();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    ignoreSigpipe();
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "serve") {
        return serve(args[1], args.size() >= 3 && args[2] == "--admit-any");
    }
    if (args.size() == 4 && args[0] == "call") {
        return call(args[1], args[2], args[3]);
    }
    if (args.size() == 4 && args[0] == "rawcall") {
        return rawcall(args[1], args[2], args[3]);
    }
    if (args.size() == 2 && args[0] == "listen-fd") {
        return listenFd(std::stoi(args[1]));
    }
    std::cerr << "usage: see the comment at the top of PeerProgram.cpp\n";
    return 2;
}
