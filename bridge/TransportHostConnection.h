#pragma once

// The bridge's connection to the host over the service transport.

#include <atomic>
#include <memory>

#include "bridge/HostConnection.h"
#include "common/transport/ServiceConnection.h"

namespace quorvane {

// A HostConnection over one ServiceConnection: the exported object receives
// the pushes, and both the interruption and the invalidation handler set the
// reestablish flag. Nothing is connected before the first call. After
// invalidate() the connection makes no more calls (startCall answers
// nullopt). Destruction waits for the connection's transport threads.
class TransportHostConnection final : public HostConnection {
public:
    TransportHostConnection(std::shared_ptr<QuorvaneClientProtocol> exported,
                            std::shared_ptr<Flag> reestablish, ConnectionOptions options = {});

    [[nodiscard]] std::optional<Cancel> startCall(const std::string& line, ReplyHandler onReply,
                                                  ErrorHandler onError) override;
    void invalidate() override;

private:
    ServiceConnection connection;
    std::atomic<bool> invalidated{false};
};

// The factory the bridge program uses.
[[nodiscard]] ConnectionFactory transportConnectionFactory(ConnectionOptions options = {});

} // namespace quorvane
