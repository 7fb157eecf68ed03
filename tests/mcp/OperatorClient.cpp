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
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/ControlProtocol.h"
#include "common/transport/Frame.h"
#include "common/transport/ServiceConnection.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class IgnoringReceiver final : public quorvane::QuorvaneClientProtocol {
public:
    void deliverAgentNotification(const std::string&) override {}
    void controlEvent(const std::string&) override {}
};

struct Pending {
    std::mutex lock;
    std::condition_variable done;
    bool settled = false;
    std::optional<std::string> reply;
    std::string error;
};

// One request on a fresh connection: the response, or nullopt with `error` set.
std::optional<std::string> requestOnce(const std::string& request, std::string& error) {
    quorvane::ServiceConnection connection(std::make_shared<IgnoringReceiver>());
    auto pending = std::make_shared<Pending>();
    quorvane::CallHandle call = connection.control(
        request,
        [pending](std::string reply) {
            std::lock_guard guard(pending->lock);
            pending->settled = true;
            pending->reply = std::move(reply);
            pending->done.notify_all();
        },
        [pending](std::string description) {
            std::lock_guard guard(pending->lock);
            pending->settled = true;
            pending->error = std::move(description);
            pending->done.notify_all();
        });
    std::unique_lock guard(pending->lock);
    if (!pending->done.wait_for(guard, 10s, [&] { return pending->settled; })) {
        guard.unlock();
        call.cancel();
        error = "no answer within 10 s";
        return std::nullopt;
    }
    error = pending->error;
    return pending->reply;
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
