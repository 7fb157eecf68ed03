// quorvane-bridge: the MCP server an agent's client starts. Relays JSON-RPC
// lines between standard input and output and the Quorvane host.
//
//   quorvane-bridge                 the host at its usual place
//   quorvane-bridge --socket PATH   the host's agent socket at PATH, for a
//                                   bridge confined in a sandbox
//
// Exit status 0 at the end of input; 2 for a command line it does not take.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <unistd.h>

#include "bridge/BridgeLoop.h"
#include "bridge/BridgeOutput.h"
#include "bridge/TransportHostConnection.h"
#include "common/transport/Frame.h"

namespace {

constexpr std::string_view usage = "usage: quorvane-bridge [--socket PATH]";

struct CommandLine {
    std::optional<std::string> socketPath;
};

// nullopt for a command line the bridge does not take.
std::optional<CommandLine> parseCommandLine(int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        std::optional<std::string> value;
        if (argument == "--socket" && i + 1 < argc) {
            value = argv[++i];
        } else if (argument.starts_with("--socket=")) {
            value = std::string(argument.substr(std::string_view("--socket=").size()));
        }
        if (!value || value->empty() || line.socketPath) {
            return std::nullopt;
        }
        line.socketPath = std::move(value);
    }
    return line;
}

} // namespace

int main(int argc, char** argv) {
    quorvane::ignoreSigpipe();

    const std::optional<CommandLine> commandLine = parseCommandLine(argc, argv);
    if (!commandLine) {
        quorvane::note(usage);
        return 2;
    }

    quorvane::ConnectionOptions options;
    if (commandLine->socketPath) {
        // Inside a sandbox the host's program cannot be read; the uid check
        // then stands alone, and the agent's log says so once.
        options.socketPath = commandLine->socketPath;
        auto told = std::make_shared<std::atomic<bool>>(false);
        options.onHostOutsideNamespaces = [told, path = *commandLine->socketPath] {
            if (!told->exchange(true)) {
                quorvane::note("the host at " + path +
                               " runs outside this sandbox, where its program cannot be checked; "
                               "accepting it on its user id alone");
            }
        };
    }

    quorvane::BridgeSetup setup;
    // Once the agent's reader has gone there is nobody left to serve.
    setup.writer = std::make_shared<quorvane::StdoutWriter>(STDOUT_FILENO, [] { ::_exit(0); });
    setup.makeConnection = quorvane::transportConnectionFactory(std::move(options));

    // Deliberately never destroyed: at the end of input the process ends at
    // once, without waiting for pushes or transport threads still in flight.
    auto* bridge = new quorvane::BridgeLoop(std::move(setup));
    bridge->run();
    ::_exit(0);
}
