#pragma once

// Sending one call over the service transport and waiting for its answer.
//
// A ServiceClient speaks for the test program that holds it, with the
// identity that program carries (the quorvane_identity_* object it links):
// a test program linking the app's identity is an operator app to the host
// and may send control requests; one linking the bridge's identity sends
// agent messages.
//
// Threads: the free functions and ServiceClient's calls may be used from any
// thread; each blocks its caller until the answer, a transport failure or the
// time-out. Never call them from a callback of the same connection.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/ControlProtocol.h"
#include "common/Result.h"
#include "common/transport/ServiceConnection.h"
#include "tests/support/Waiting.h"

namespace quorvane::test {

// One control call on `connection`: the host's reply text, or an Error with
// the transport's description. After `timeout` the call is cancelled and the
// Error says "no answer in time".
[[nodiscard]] Result<std::string> callControl(ServiceConnection& connection, std::string request,
                                              std::chrono::milliseconds timeout = guardTimeout);

// One agent message on `connection`: the host's line, or nullopt when the host
// had none (a success); an Error as for callControl.
[[nodiscard]] Result<std::optional<std::string>> callAgent(ServiceConnection& connection, std::string message,
                                                           std::chrono::milliseconds timeout = guardTimeout);

// An identity reader that takes every peer for the Quorvane program with this
// identifier, for running both ends in one process.
[[nodiscard]] ProgramIdentityReader readerAs(std::string_view identifier);

// An environment whose XDG_RUNTIME_DIR is `runtimeDir` and whose other two
// bases are places inside it that do not exist.
[[nodiscard]] RuntimeEnvironment privateEnvironment(const std::string& runtimeDir);

// A receiver of pushes that drops them.
class IgnoringReceiver final : public QuorvaneClientProtocol {
public:
    void deliverAgentNotification(const std::string&) override {}
    void controlEvent(const std::string&) override {}
};

// A client of the host with its own connection, which drops the host's
// pushes. The connection is made at the first call.
class ServiceClient {
public:
    explicit ServiceClient(ConnectionOptions options = {});

    ServiceClient(const ServiceClient&) = delete;
    ServiceClient& operator=(const ServiceClient&) = delete;

    // A control request as JSON text, answered with the response's JSON text.
    [[nodiscard]] Result<std::string> controlText(std::string request,
                                                  std::chrono::milliseconds timeout = guardTimeout);
    // A control request, answered with the decoded response; an undecodable
    // response is an Error that quotes it.
    [[nodiscard]] Result<ControlResponse> control(const ControlRequest& request,
                                                  std::chrono::milliseconds timeout = guardTimeout);
    // One agent message line (see callAgent).
    [[nodiscard]] Result<std::optional<std::string>>
    agentMessage(std::string message, std::chrono::milliseconds timeout = guardTimeout);

    [[nodiscard]] ServiceConnection& connection() { return connection_; }

private:
    ServiceConnection connection_;
};

} // namespace quorvane::test
