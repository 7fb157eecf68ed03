// quorvane_mcp_operator: a stand-in for the operator app in the MCP client tests.
// It carries the app's identity, finds the host exactly as the app does (from
// its own environment), sends one control request and prints the host's
// response on one line.
//
//   quorvane_mcp_operator [--wait MILLISECONDS] REQUEST-JSON
//
// With --wait, a request that fails at the transport (no host yet, or one still
// starting) is tried again until that much time has passed, which makes it the
// readiness check for a freshly started host.
//
// Exit status: 0 with the response on standard output; 1 when no response came
// (the reason on standard error); 2 for bad arguments.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "common/transport/Frame.h"
#include "tests/support/ServiceClient.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One request on a fresh connection: the response, or nullopt with `error` set.
std::optional<std::string> requestOnce(const std::string& request, std::string& error) {
    quorvane::test::ServiceClient client;
    quorvane::Result<std::string> reply = client.controlText(request, 10s);
    if (!reply) {
        error = reply.error().message;
        return std::nullopt;
    }
    return std::move(*reply);
}

int usage() {
    std::fputs("usage: quorvane_mcp_operator [--wait MILLISECONDS] REQUEST-JSON\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    quorvane::ignoreSigpipe();

    std::chrono::milliseconds wait{0};
    int at = 1;
    if (at < argc && std::string(argv[at]) == "--wait") {
        if (at + 1 >= argc) {
            return usage();
        }
        char* end = nullptr;
        const long value = std::strtol(argv[at + 1], &end, 10);
        if (end == argv[at + 1] || *end != '\0' || value < 0) {
            return usage();
        }
        wait = std::chrono::milliseconds(value);
        at += 2;
    }
    if (at + 1 != argc) {
        return usage();
    }
    const std::string request = argv[at];

    const auto deadline = Clock::now() + wait;
    std::string error;
    for (;;) {
        if (std::optional<std::string> reply = requestOnce(request, error)) {
            std::printf("%s\n", reply->c_str());
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (Clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(20ms); // between two attempts on a host that is starting
    }
    std::fprintf(stderr, "quorvane_mcp_operator: %s\n", error.c_str());
    return 1;
}
