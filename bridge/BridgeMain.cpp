// quorvane-bridge: the MCP server an agent's client starts. Relays JSON-RPC
// lines between standard input and output and the Quorvane host.

#include <memory>

#include <unistd.h>

#include "bridge/BridgeLoop.h"
#include "bridge/TransportHostConnection.h"
#include "common/transport/Frame.h"

int main() {
    quorvane::ignoreSigpipe();

    quorvane::BridgeSetup setup;
    // Once the agent's reader has gone there is nobody left to serve.
    setup.writer = std::make_shared<quorvane::StdoutWriter>(STDOUT_FILENO, [] { ::_exit(0); });
    setup.makeConnection = quorvane::transportConnectionFactory();

    // Deliberately never destroyed: at the end of input the process ends at
    // once, without waiting for pushes or transport threads still in flight.
    auto* bridge = new quorvane::BridgeLoop(std::move(setup));
    bridge->run();
    ::_exit(0);
}
